// The real keychain refuses files that are not its own, not private, or tampered with, and
// leaves every refused file exactly as it found it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include "platform/files/fileBasics.h"
#include "platform/keychain/KeychainTesting.h"
#include "platform/keychain/accessObject.h"
#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainStatement.h"
#include "tests/keychain/FailingUnlock.h"
#include "tests/keychain/ForeignJournal.h"
#include "tests/keychain/RealKeychainFixture.h"
#include "tests/support/RunBinary.h"

namespace keychain_test {
namespace {

using testing_support::readFile;
using testing_support::writeFile;

const SecureBytes firstSecret{std::string_view("first secret: 32 bytes of data!!")};
const SecureBytes secondSecret{std::string_view("second secret: other 32 bytes!!!")};

// Public members: the spoiling functions of the table below work on them.
class KeychainFileTest : public ::testing::Test {
 public:
  void SetUp() override {
    path = home.loginKeychain();
    folder = path.substr(0, path.rfind('/'));
    SecKeychainRef keychain = createKeychainAt(path);
    ASSERT_EQ(addItem("device-1", firstSecret, openAccess(), keychain), errSecSuccess);
    ASSERT_EQ(addItem("device-2", secondSecret, openAccess(), keychain), errSecSuccess);
  }

  std::string blobHex(const std::string& sql) {
    // Reads a blob as hex through SQLite's own hex() for use in an UPDATE.
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    std::string value;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
  }

  KeychainHome home;
  std::string path;
  std::string folder;
};

struct FileCase {
  const char* name;
  std::function<void(KeychainFileTest&)> spoil;
  OSStatus lookup;
  OSStatus read;
  std::optional<OSStatus> add;  // only where an add can't change the file
};

const std::vector<FileCase>& fileCases() {
  static const std::vector<FileCase> cases = {
      {"garbage", [](KeychainFileTest& t) { writeFile(t.path, std::string(4096, '\x5A')); },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"empty file", [](KeychainFileTest& t) { writeFile(t.path, ""); }, errSecInvalidKeychain,
       errSecInvalidKeychain, errSecInvalidKeychain},
      {"truncated inside the header",
       [](KeychainFileTest& t) { writeFile(t.path, readFile(t.path).substr(0, 60)); },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"truncated by one page",
       [](KeychainFileTest& t) {
         std::string file = readFile(t.path);
         writeFile(t.path, file.substr(0, file.size() - 4096));
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"truncated mid-page",
       [](KeychainFileTest& t) {
         std::string file = readFile(t.path);
         writeFile(t.path, file.substr(0, file.size() - 100));
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"foreign SQLite database",
       [](KeychainFileTest& t) {
         unlink(t.path.c_str());
         runSql(t.path, "CREATE TABLE item(x); INSERT INTO item VALUES(1);");
         chmod(t.path.c_str(), 0600);
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"our id on a foreign schema",
       [](KeychainFileTest& t) {
         unlink(t.path.c_str());
         runSql(t.path, "PRAGMA application_id=" + std::to_string(keychain::applicationId) +
                            "; PRAGMA user_version=1; CREATE TABLE item(class, service, account);");
         chmod(t.path.c_str(), 0600);
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"newer format", [](KeychainFileTest& t) { runSql(t.path, "PRAGMA user_version=2"); },
       errSecWrongSecVersion, errSecWrongSecVersion, errSecWrongSecVersion},
      {"group-readable", [](KeychainFileTest& t) { chmod(t.path.c_str(), 0640); },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"owned by someone else",
       [](KeychainFileTest& t) {
         // Only root can give a file away; elsewhere the mode check stands in.
         if (chown(t.path.c_str(), 4242, 4242) != 0) chmod(t.path.c_str(), 0604);
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"oversized planted record",
       [](KeychainFileTest& t) {
         runSql(t.path,
                "UPDATE item SET access = zeroblob(9000000) WHERE account = "
                "CAST('device-1' AS BLOB)");
       },
       errSecSuccess, errSecInvalidKeychain, std::nullopt},
      {"hard-linked",
       [](KeychainFileTest& t) {
         ASSERT_EQ(link(t.path.c_str(), (t.home.root() + "/other-link").c_str()), 0);
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"symlink to a keychain",
       [](KeychainFileTest& t) {
         std::string real = t.home.root() + "/real.keychain-db";
         rename(t.path.c_str(), real.c_str());
         ASSERT_EQ(symlink(real.c_str(), t.path.c_str()), 0);
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"corrupt index page",
       [](KeychainFileTest& t) {
         long long page = queryInteger(
             t.path, "SELECT rootpage FROM sqlite_schema WHERE name='sqlite_autoindex_item_2'");
         std::string file = readFile(t.path);
         file.replace(static_cast<std::size_t>((page - 1) * 4096), 4096, 4096, '\xFF');
         writeFile(t.path, file);
       },
       errSecInvalidKeychain, errSecInvalidKeychain, errSecInvalidKeychain},
      {"KDF memory out of bounds",
       [](KeychainFileTest& t) { runSql(t.path, "UPDATE keychain SET memlimit = 68719476736"); },
       errSecSuccess, errSecInvalidKeychain, errSecInvalidKeychain},
      // Both inside what older versions accepted: each would make an unlock a long stall.
      {"KDF memory of 1 GiB",
       [](KeychainFileTest& t) { runSql(t.path, "UPDATE keychain SET memlimit = 1073741824"); },
       errSecSuccess, errSecInvalidKeychain, errSecInvalidKeychain},
      {"KDF of 10 passes",
       [](KeychainFileTest& t) { runSql(t.path, "UPDATE keychain SET opslimit = 10"); },
       errSecSuccess, errSecInvalidKeychain, errSecInvalidKeychain},
      {"KDF passes out of bounds",
       [](KeychainFileTest& t) { runSql(t.path, "UPDATE keychain SET opslimit = 1000000"); },
       errSecSuccess, errSecInvalidKeychain, errSecInvalidKeychain},
      {"keychain record missing",
       [](KeychainFileTest& t) { runSql(t.path, "DELETE FROM keychain"); }, errSecSuccess,
       errSecInvalidKeychain, errSecInvalidKeychain},
      {"flipped ciphertext byte",
       [](KeychainFileTest& t) {
         std::string hex =
             t.blobHex("SELECT hex(secret) FROM item WHERE account=CAST('device-1' AS BLOB)");
         hex[10] = hex[10] == '0' ? '1' : '0';
         runSql(t.path,
                "UPDATE item SET secret = x'" + hex + "' WHERE account = CAST('device-1' AS BLOB)");
       },
       errSecSuccess, errSecDecode, std::nullopt},
      {"swapped secrets",
       [](KeychainFileTest& t) {
         runSql(t.path,
                "UPDATE item SET nonce = (SELECT nonce FROM item i WHERE i.id != item.id), "
                "secret = (SELECT secret FROM item i WHERE i.id != item.id)");
       },
       errSecSuccess, errSecDecode, std::nullopt},
      {"swapped accounts",
       [](KeychainFileTest& t) {
         runSql(
             t.path,
             "UPDATE item SET account = CAST('x' AS BLOB) WHERE account = CAST('device-1' AS BLOB);"
             "UPDATE item SET account = CAST('device-1' AS BLOB) WHERE account = CAST('device-2' "
             "AS BLOB);"
             "UPDATE item SET account = CAST('device-2' AS BLOB) WHERE account = CAST('x' AS "
             "BLOB);");
       },
       errSecSuccess, errSecDecode, std::nullopt},
      {"access object edited",
       [](KeychainFileTest& t) {
         // Still well-formed, with a new descriptor: the ciphertext no longer matches it.
         OpaqueSecAccess access = keychain::newAccess("edited", nullptr);
         std::string blob = keychain::serializeAccess(access);
         runSql(t.path, "UPDATE item SET access = x'" + files::toHex(blob) + "'");
       },
       errSecSuccess, errSecDecode, std::nullopt},
      {"access object malformed",
       [](KeychainFileTest& t) { runSql(t.path, "UPDATE item SET access = x'46574101'"); },
       errSecSuccess, errSecInvalidKeychain, std::nullopt},
  };
  return cases;
}

TEST_F(KeychainFileTest, RefusedFilesAreLeftByteForByteUntouched) {
  // Each case spoils a fresh copy of the keychain SetUp made: the same bytes (so the same
  // keychain, still unlocked here) without paying for a new key derivation every time.
  const std::string pristine = readFile(path);
  for (const FileCase& c : fileCases()) {
    SCOPED_TRACE(c.name);
    unlink(path.c_str());
    unlink((home.root() + "/other-link").c_str());
    unlink((home.root() + "/real.keychain-db").c_str());
    writeFile(path, pristine, 0600);
    c.spoil(*this);
    const auto before = folderSnapshot(folder);
    const auto target = readFile(home.root() + "/real.keychain-db");

    EXPECT_EQ(lookup("device-1"), c.lookup);
    SecureBytes data;
    EXPECT_EQ(readData("device-1", data), c.read);
    EXPECT_TRUE(data.empty());
    if (c.add) {
      EXPECT_EQ(addItem("new", firstSecret, openAccess()), *c.add);
    }

    EXPECT_TRUE(folderSnapshot(folder) == before);
    EXPECT_TRUE(readFile(home.root() + "/real.keychain-db") == target);
    EXPECT_EQ(home.promptsShown(), 0);
  }
}

// What lies in a folder, without opening anything but regular files (a FIFO would block).
std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> entries;
  for (const auto& name : {"login.keychain-db", "login.keychain-db-journal"}) {
    struct stat info;
    std::string path = folder + "/" + name;
    if (lstat(path.c_str(), &info) != 0) continue;
    std::string entry = std::string(name) + " " + std::to_string(info.st_mode) + " " +
                        std::to_string(info.st_ino) + " " + std::to_string(info.st_nlink);
    if (S_ISREG(info.st_mode)) entry += " " + readFile(path);
    entries.push_back(entry);
  }
  return entries;
}

struct JournalCase {
  const char* name;
  std::function<void(const std::string& journal, const std::string& root)> plant;
};

TEST_F(KeychainFileTest, JournalThatIsNotAPrivateFileOfOursIsRefusedWithoutWaiting) {
  const std::string plain =
      std::string("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8) + std::string(504, '\0');
  const std::vector<JournalCase> cases = {
      {"FIFO",
       [](const std::string& j, const std::string&) { ASSERT_EQ(mkfifo(j.c_str(), 0600), 0); }},
      {"symlink",
       [&](const std::string& j, const std::string& root) {
         writeFile(root + "/elsewhere", plain);
         ASSERT_EQ(symlink((root + "/elsewhere").c_str(), j.c_str()), 0);
       }},
      {"directory",
       [](const std::string& j, const std::string&) { ASSERT_EQ(mkdir(j.c_str(), 0700), 0); }},
      {"owned by someone else",
       [&](const std::string& j, const std::string&) {
         writeFile(j, plain);
         chmod(j.c_str(), 0600);
         // Only root can give a file away; elsewhere the mode check stands in.
         if (chown(j.c_str(), 4242, 4242) != 0) chmod(j.c_str(), 0604);
       }},
      {"group-readable",
       [&](const std::string& j, const std::string&) {
         writeFile(j, plain);
         chmod(j.c_str(), 0640);
       }},
      {"hard-linked",
       [&](const std::string& j, const std::string& root) {
         writeFile(j, plain);
         chmod(j.c_str(), 0600);
         ASSERT_EQ(link(j.c_str(), (root + "/journal-link").c_str()), 0);
       }},
  };
  const std::string journal = path + "-journal";
  for (const JournalCase& c : cases) {
    SCOPED_TRACE(c.name);
    c.plant(journal, home.root());
    const auto before = entriesOf(folder);
    ASSERT_EQ(before.size(), 2u);

    EXPECT_EQ(lookup("device-1"), errSecInvalidKeychain);
    SecureBytes data;
    EXPECT_EQ(readData("device-1", data), errSecInvalidKeychain);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(addItem("new", firstSecret, openAccess()), errSecInvalidKeychain);

    EXPECT_EQ(entriesOf(folder), before);
    EXPECT_EQ(home.promptsShown(), 0);
    rmdir(journal.c_str());
    unlink(journal.c_str());
  }
  // With the journal gone the same keychain is whole again.
  EXPECT_EQ(lookup("device-1"), errSecSuccess);
}

TEST_F(KeychainFileTest, UntouchedKeychainStillReadsBack) {
  // The cases above fail for their fault alone: the same file unspoiled reads fine.
  SecureBytes data;
  ASSERT_EQ(readData("device-1", data), errSecSuccess);
  EXPECT_TRUE(data == firstSecret);
  ASSERT_EQ(readData("device-2", data), errSecSuccess);
  EXPECT_TRUE(data == secondSecret);
}

TEST_F(KeychainFileTest, ExistingFileIsNeverReplacedByKeychainCreation) {
  writeFile(home.scratch("taken.keychain-db"), "not a keychain");
  SecKeychainRef keychain;
  std::string taken = home.scratch("taken.keychain-db");
  EXPECT_EQ(SecKeychainCreate(taken.c_str(), 3, "pwd", false, nullptr, &keychain),
            errSecDuplicateKeychain);
  EXPECT_FALSE(keychain);
  EXPECT_EQ(readFile(taken), "not a keychain");
  // A dangling symlink counts as taken too.
  std::string dangling = home.scratch("dangling.keychain-db");
  ASSERT_EQ(symlink((home.root() + "/nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(SecKeychainCreate(dangling.c_str(), 3, "pwd", false, nullptr, &keychain),
            errSecDuplicateKeychain);
  struct stat info;
  EXPECT_NE(lstat((home.root() + "/nowhere").c_str(), &info), 0);
}

TEST_F(KeychainFileTest, KeychainIsOnePrivateFile) {
  struct stat info;
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(blobHex("PRAGMA journal_mode"), "delete");
  // No temporary name, journal or WAL left beside it.
  const auto entries = folderSnapshot(folder);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, "login.keychain-db");
}

TEST_F(KeychainFileTest, CreationInAReadOnlyFolderIsAWritePermissionError) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string readOnly = home.root() + "/read-only";
  mkdir(readOnly.c_str(), 0500);
  const std::string target = readOnly + "/new.keychain-db";
  SecKeychainRef keychain;
  EXPECT_EQ(SecKeychainCreate(target.c_str(), 3, "pwd", false, nullptr, &keychain), errSecWrPerm);
  EXPECT_FALSE(keychain);
  EXPECT_TRUE(folderSnapshot(readOnly).empty());
}

TEST_F(KeychainFileTest, KeychainFolderWritableByOthersIsUnusable) {
  chmod(folder.c_str(), 0777);
  const auto before = folderSnapshot(folder);
  EXPECT_EQ(lookup("device-1"), errSecNotAvailable);
  EXPECT_EQ(addItem("new", firstSecret, openAccess()), errSecNotAvailable);
  EXPECT_TRUE(folderSnapshot(folder) == before);
  chmod(folder.c_str(), 0700);
}

TEST_F(KeychainFileTest, SecretsPasswordAndKeyNeverReachTheFile) {
  const std::string file = readFile(path);
  for (const SecureBytes* secret : {&firstSecret, &secondSecret}) {
    EXPECT_EQ(file.find(secret->view()), std::string::npos);
  }
  EXPECT_EQ(file.find(password), std::string::npos);
  SecureBytes key;
  ASSERT_TRUE(keychain::testing::unlockedKeyOf(path, key));
  EXPECT_EQ(file.find(key.view()), std::string::npos);
}

TEST_F(KeychainFileTest, AddThatCommittedIsReportedDoneThoughReleasingTheLockFailed) {
  FailingUnlock::install();
  SecKeychainRef keychain = createKeychainAt(home.scratch("unlock.keychain-db"));
  FailingUnlock::armed = true;
  const OSStatus added = addItem("device-3", firstSecret, openAccess(), keychain);
  FailingUnlock::armed = false;
  EXPECT_EQ(added, errSecSuccess);
  SecureBytes data;
  ASSERT_EQ(readData("device-3", data, keychain), errSecSuccess);
  EXPECT_TRUE(data == firstSecret);
}

// A journal planted by another user after every check made by path, while a connection is
// open: the next read or write must refuse it where SQLite opens it, and leave the file alone.
TEST_F(KeychainFileTest, AnotherUsersJournalIsNeverRolledIntoAnOpenKeychain) {
  if (geteuid() != 0) GTEST_SKIP() << "planting as another user needs root";
  const std::string journal = foreignHotJournal();
  StickyFolder shared;
  const std::string named = shared.path() + "/k.keychain-db";
  SecKeychainRef keychain = createKeychainAt(named);
  ASSERT_EQ(addItem("device-9", firstSecret, openAccess(), keychain), errSecSuccess);
  const std::string before = readFile(named);

  struct Case {
    const char* what;
    const char* first;  // run before the journal is planted
    const char* then;
  };
  const std::vector<Case> cases = {
      {"a read", "SELECT 1", "SELECT count(*) FROM item"},
      {"a write", "SELECT 1", "BEGIN IMMEDIATE; DELETE FROM item; COMMIT"},
      {"a write whose lock is already held", "BEGIN IMMEDIATE", "DELETE FROM item; COMMIT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    keychain::Database database;
    ASSERT_EQ(keychain::openKeychain(named, keychain::FolderRule::shared, database), errSecSuccess);
    ASSERT_EQ(keychain::exec(database.get(), c.first), errSecSuccess);
    ASSERT_TRUE(plantAs(strangerUid(), shared.path(), "k.keychain-db-journal", journal));
    EXPECT_EQ(keychain::exec(database.get(), c.then), errSecInvalidKeychain);
    database = keychain::Database();
    EXPECT_TRUE(readFile(named) == before) << "the keychain file changed";
    // Every later open refuses it as well, until the owner removes it.
    EXPECT_EQ(lookup("device-9", keychain), errSecInvalidKeychain);
    ASSERT_EQ(unlink((named + "-journal").c_str()), 0);
    SecureBytes data;
    ASSERT_EQ(readData("device-9", data, keychain), errSecSuccess);
    EXPECT_TRUE(data == firstSecret);
  }
}

}  // namespace
}  // namespace keychain_test
