// ferrowick-keychain on real keychain files made by the real tool in a private home. Every
// password is typed by the scripted pinentry; key bytes are compared, never printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/keychain/ForeignJournal.h"
#include "tests/support/BrokenText.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using testing_support::containsUnbroken;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::ScriptedPinentry;
using testing_support::TempDir;

const std::string ownerPassword = "owner-secret-1";
const std::string oldPassword = "keychain-old-1";
const std::string newPassword = "keychain-new-2";
const std::string service = "org.quennet.peldora.v1";

std::string pin(const std::string& password) {
  return "pin " + password;
}

// Runs SQL on a file directly, as someone with write access to it could.
void runSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  char* error = nullptr;
  const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(result, SQLITE_OK) << message;
}

struct FileState {
  std::string bytes;
  bool exists = false;
  bool operator==(const FileState&) const = default;
};

class KeychainToolTest : public ::testing::Test {
 protected:
  RunOptions options(bool withPam = false) const { return endToEnd.options(withPam); }

  RunResult tool(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& answers = {}) {
    pinentry.script(answers);
    return testing_support::run(KEYCHAIN_TOOL, arguments, options());
  }

  void ensureKey(const std::string& name) {
    RunResult result = endToEnd.run("ensure-key", name, {pin(oldPassword)});
    ASSERT_EQ(result.out, "created\n") << result.err;
  }

  // An item with any bytes as its name, through the keychain component itself.
  void addRawName(const std::string& name) {
    pinentry.script({pin(oldPassword)});
    RunResult result = testing_support::run(KEYCHAIN_ITEM_TOOL, {"add", name, "32"}, options());
    ASSERT_EQ(result.status, 0) << result.err;
  }

  std::string readKey(const std::string& name, const std::string& password, int& status) {
    RunResult result = endToEnd.run(
        "read-key", name, {pin(ownerPassword), pin(password), pin(password), pin(password)});
    status = result.status;
    return result.out;
  }

  std::string keychainPath() const { return endToEnd.keychainFile(); }
  FileState state(const std::string& path) const {
    return {testing_support::readFile(path), access(path.c_str(), F_OK) == 0};
  }

  // A failure: status 1 and exactly this one line on standard error (check may still report).
  static void expectOneLineFailure(const RunResult& result, const std::string& message) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, message + "\n");
  }

  testing_support::EndToEnd endToEnd{ownerPassword};
  TempDir& home = endToEnd.home;
  ScriptedPinentry& pinentry = endToEnd.pinentry;
};

TEST_F(KeychainToolTest, ListShowsEveryItemEscapedWithTheDeviceKeysFirst) {
  expectOneLineFailure(tool({"list"}), "No keychain at " + keychainPath());

  ensureKey("only");
  RunResult one = tool({"list"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.err, "");
  EXPECT_EQ(pinentry.runs(), 1) << "listing asks nothing";
  ASSERT_EQ(one.out.size(), std::string("2026-12-10T00:00:00Z\t").size() + service.size() + 6);
  EXPECT_EQ(one.out.substr(20), "\t" + service + "\tonly\n");

  addRawName("line\n");
  addRawName("back\\slash\x01");
  // An item of another program's, sorting before ours by name.
  runSql(keychainPath(),
         "INSERT INTO item(uuid, class, service, account, access, nonce, secret, created) "
         "SELECT randomblob(16), class, CAST('com.example' AS BLOB), account, access, nonce, "
         "secret, 0 FROM item WHERE account = CAST('only' AS BLOB)");

  RunResult many = tool({"list"});
  ASSERT_EQ(many.status, 0) << many.err;
  std::vector<std::string> rows;
  for (std::size_t at = 0; at < many.out.size();) {
    std::size_t end = many.out.find('\n', at);
    rows.push_back(many.out.substr(at + 21, end - at - 21));  // past the time and its tab
    at = end + 1;
  }
  const std::vector<std::string> expected = {
      service + "\tback\\\\slash\\x01",
      service + "\tline\\x0A",
      service + "\tonly",
      "com.example\tonly",
  };
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(many.out.substr(many.out.rfind('\n', many.out.size() - 2) + 1, 21),
            "1970-01-01T00:00:00Z\t");

  RunResult json = tool({"list", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  // Valid JSON whose exact names come back from hex.
  RunResult parsed = testing_support::run(
      "/usr/bin/python3",
      {"-c",
       "import json,sys; items=json.loads(sys.argv[1]); "
       "print([bytes.fromhex(i['accountHex']) for i in items], [i['account'] for i in items][1])",
       json.out});
  EXPECT_EQ(parsed.status, 0) << parsed.err;
  EXPECT_EQ(parsed.out, "[b'back\\\\slash\\x01', b'line\\n', b'only', b'only'] line\\x0A\n");
}

TEST_F(KeychainToolTest, PasswdRewrapsTheKeySoOnlyTheNewPasswordReadsEveryItem) {
  ensureKey("first");
  ensureKey("second");
  int status = -1;
  const std::string first = readKey("first", oldPassword, status);
  ASSERT_EQ(status, 0);
  auto rows = [&](const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(keychainPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    std::string all;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      all += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      all += "\n";
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return all;
  };
  const std::string itemsSql =
      "SELECT hex(uuid)||hex(class)||hex(service)||hex(account)||hex(access)||hex(nonce)||"
      "hex(secret)||created FROM item ORDER BY id";
  const std::string itemsBefore = rows(itemsSql);
  const std::string keychainBefore = rows("SELECT hex(uuid)||opslimit||memlimit FROM keychain");
  const std::string saltBefore = rows("SELECT hex(salt) FROM keychain");
  ASSERT_NE(itemsBefore, "");

  const std::size_t shownBefore = pinentry.texts("SETDESC").size();
  RunResult changed = tool({"passwd"}, {pin(oldPassword), pin(newPassword)});
  ASSERT_EQ(changed.status, 0) << changed.err;
  EXPECT_EQ(changed.out, "Keychain password changed\n");
  // The owner is told what the two prompts are for: the current password, then a new one.
  const std::vector<std::string> shown = pinentry.texts("SETDESC");
  ASSERT_GE(shown.size(), shownBefore + 2);
  EXPECT_TRUE(containsUnbroken(shown[shownBefore], "要更改钥匙串")) << shown[shownBefore];
  EXPECT_TRUE(containsUnbroken(shown.back(), "设置新密码")) << shown.back();

  EXPECT_TRUE(readKey("first", newPassword, status) == first);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readKey("second", newPassword, status).size(), 32u);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readKey("first", oldPassword, status), "");
  EXPECT_EQ(status, 1) << "the old password no longer reads";

  // Only the key's wrapping changed: uuid, items and access objects are as they were.
  EXPECT_EQ(rows(itemsSql), itemsBefore);
  EXPECT_EQ(rows("SELECT hex(uuid)||opslimit||memlimit FROM keychain"), keychainBefore);
  EXPECT_NE(rows("SELECT hex(salt) FROM keychain"), saltBefore);
}

TEST_F(KeychainToolTest, PasswdCancelledOrWrongLeavesTheFileByteIdentical) {
  ensureKey("kept");
  const FileState before = state(keychainPath());
  struct Case {
    std::string name;
    std::vector<std::string> answers;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"current cancelled", {"cancel"}, "Cancelled"},
      {"current wrong three times",
       {pin("wrong-1"), pin("wrong-2"), pin("wrong-3")},
       "Wrong keychain password, or the keychain changed meanwhile"},
      {"new cancelled", {pin(oldPassword), "cancel"}, "Cancelled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult result = tool({"passwd"}, c.answers);
    expectOneLineFailure(result, c.message);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(state(keychainPath()) == before);
    EXPECT_FALSE(state(keychainPath() + "-journal").exists);
  }
}

TEST_F(KeychainToolTest, DeleteAsksThePasswordRemovesOneItemAndTheNameCanBeCreatedAgain) {
  ensureKey("retired");
  ensureKey("other");
  const int promptsBefore = pinentry.runs();
  expectOneLineFailure(tool({"delete", "absent"}), "No device key named absent");
  EXPECT_EQ(pinentry.runs(), promptsBefore) << "a missing name is told before any prompt";

  const FileState before = state(keychainPath());
  expectOneLineFailure(tool({"delete", "retired"}, {"cancel"}), "Cancelled");
  EXPECT_TRUE(state(keychainPath()) == before);

  RunResult deleted = tool({"delete", "retired"}, {pin(oldPassword)});
  ASSERT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_TRUE(containsUnbroken(pinentry.texts("SETDESC").back(), "删除设备密钥“retired”"))
      << pinentry.texts("SETDESC").back();
  EXPECT_EQ(deleted.out, "Deleted retired\n");
  EXPECT_EQ(pinentry.runs(), promptsBefore + 2);
  RunResult listed = tool({"list"});
  EXPECT_EQ(listed.out.find("retired"), std::string::npos);
  EXPECT_NE(listed.out.find("\tother\n"), std::string::npos);

  ensureKey("retired");  // "created" again: a new key under the old name
}

TEST_F(KeychainToolTest, WritesRefuseAJournalPlantedWhileTheirPromptWasOpen) {
  ensureKey("retired");
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> afterPrompt;  // answers once the awaited prompt is released
  };
  const Case cases[] = {{{"delete", "retired"}, {}}, {{"passwd"}, {pin(newPassword)}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0]);
    TempDir scratch;
    const std::string release = scratch.file("release");
    const std::string journal = keychainPath() + "-journal";
    const FileState before = state(keychainPath());
    std::vector<std::string> answers{"await " + release + " " + pin(oldPassword)};
    answers.insert(answers.end(), c.afterPrompt.begin(), c.afterPrompt.end());
    auto getpins = [this] { return pinentry.texts("GETPIN").size(); };
    const auto getpinsBefore = getpins();
    pinentry.script(answers);
    auto pending = std::async(std::launch::async, [&] {
      return testing_support::run(KEYCHAIN_TOOL, c.arguments, options());
    });
    for (int i = 0; i < 600 && getpins() == getpinsBefore; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // A FIFO: SQLite reading it as a journal would block, or roll back whatever it holds.
    const bool planted = mkfifo(journal.c_str(), 0600) == 0;
    testing_support::writeFile(release, "");
    RunResult result = pending.get();
    unlink(journal.c_str());
    ASSERT_TRUE(planted);
    expectOneLineFailure(
        result, "Keychain refused (damaged, foreign or wrong permissions): " + keychainPath());
    EXPECT_TRUE(state(keychainPath()) == before);
  }
  int status = 0;
  EXPECT_EQ(readKey("retired", oldPassword, status).size(), 32u);
  EXPECT_EQ(status, 0);
}

// Leaves a hot journal: a writer that changed pages and died before its commit.
void leaveHotJournal(const std::string& path) {
  pid_t child = fork();
  if (child == 0) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_exec(db, "PRAGMA cache_size=1; BEGIN IMMEDIATE; DELETE FROM item;", nullptr, nullptr,
                 nullptr);
    kill(getpid(), SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

TEST_F(KeychainToolTest, CheckReportsEachProblemAndNeverChangesTheFile) {
  struct Case {
    std::string name;
    std::function<void(const std::string&)> damage;
    bool password;
    std::string problem;  // the report line that must show, "" for a good file
  };
  const std::vector<Case> cases = {
      {"good file", [](const std::string&) {}, false, ""},
      {"good file, items authenticated", [](const std::string&) {}, true, ""},
      {"truncated", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 5000), 0); },
       false, "format: not a keychain, or truncated  [problem]"},
      {"hot journal", leaveHotJournal, false,
       "journal: present: an interrupted or running write that is not in the file  [problem]"},
      {"tampered item",
       [](const std::string& path) {
         runSql(path, "UPDATE item SET secret = zeroblob(48) WHERE account = CAST('b' AS BLOB)");
       },
       true, "authentication: 1 of 2 items fail  [problem]"},
      {"group-readable", [](const std::string& path) { chmod(path.c_str(), 0640); }, false,
       "file: readable or writable by others (mode must be 0600)  [problem]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir folder;
    const std::string path = folder.file("copy.keychain-db");
    if (!state(keychainPath()).exists) {
      ensureKey("a");
      ensureKey("b");
    }
    testing_support::writeFile(path, testing_support::readFile(keychainPath()));
    c.damage(path);
    const FileState before = state(path);
    RunResult result = c.password
                           ? tool({"--keychain", path, "check", "--password"}, {pin(oldPassword)})
                           : tool({"--keychain", path, "check"});
    EXPECT_TRUE(state(path) == before) << "check changed the file";
    if (c.problem.empty()) {
      EXPECT_EQ(result.status, 0) << result.out << result.err;
      EXPECT_NE(result.out.find("all well"), std::string::npos);
      EXPECT_EQ(result.out.find(oldPassword), std::string::npos);
      if (c.password) {
        EXPECT_NE(result.out.find("authentication: every item authenticates"), std::string::npos);
      }
    } else {
      expectOneLineFailure(result, "Keychain check found problems");
      EXPECT_NE(result.out.find(c.problem + "\n"), std::string::npos) << result.out;
    }
  }
}

TEST_F(KeychainToolTest, BackupWhileKeysAreAddedHoldsEveryCommittedItemAndPassesCheck) {
  ensureKey("start");
  TempDir target;
  const std::string existing = target.file("taken");
  testing_support::writeFile(existing, "not to be overwritten");
  RunResult refused = tool({"backup", existing});
  expectOneLineFailure(refused, "Backup not written: a file exists at " + existing);
  EXPECT_EQ(testing_support::readFile(existing), "not to be overwritten");

  pinentry.script({"always " + pin(oldPassword)});
  std::vector<std::future<RunResult>> adders;
  for (int i = 0; i < 8; ++i) {
    adders.push_back(std::async(std::launch::async, [this, i] {
      return testing_support::runFerrowick({"ensure-key", "busy-" + std::to_string(i)}, options());
    }));
  }
  RunResult committed = testing_support::run(KEYCHAIN_TOOL, {"list"}, options());
  const std::string copy = target.file("login.backup");
  RunResult backup = testing_support::run(KEYCHAIN_TOOL, {"backup", copy}, options());
  for (auto& adder : adders) EXPECT_EQ(adder.get().status, 0);
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_EQ(backup.out, "Backup written to " + copy + "\n");

  struct stat info {};
  ASSERT_EQ(lstat(copy.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  RunResult checked = tool({"--keychain", copy, "check"});
  EXPECT_EQ(checked.status, 0) << checked.out;
  RunResult inCopy = tool({"--keychain", copy, "list"});
  std::set<std::string> copied;
  for (std::size_t at = 0; at < inCopy.out.size(); at = inCopy.out.find('\n', at) + 1) {
    copied.insert(inCopy.out.substr(at, inCopy.out.find('\n', at) - at));
  }
  for (std::size_t at = 0; at < committed.out.size(); at = committed.out.find('\n', at) + 1) {
    EXPECT_TRUE(copied.count(committed.out.substr(at, committed.out.find('\n', at) - at)));
  }
}

// A run holding a write transaction on a keychain, in a child process: POSIX locks of this
// process would be dropped by any read of the file here.
class HeldKeychain {
 public:
  explicit HeldKeychain(const std::string& path) {
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    child_ = fork();
    if (child_ == 0) {
      close(release[1]);
      sqlite3* db = nullptr;
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
      const char held = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
      (void)!write(ready[1], &held, 1);
      char byte;
      (void)!read(release[0], &byte, 1);
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char held = 0;
    held_ = read(ready[0], &held, 1) == 1 && held == 1;
    close(ready[0]);
    release_ = release[1];
  }
  ~HeldKeychain() {
    close(release_);
    int status = 0;
    if (child_ > 0) waitpid(child_, &status, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t child_ = -1;
  int release_ = -1;
  bool held_ = false;
};

TEST_F(KeychainToolTest, RestoreRefusesUnsafeStatesAndReplacesOnlyWhenAsked) {
  ensureKey("saved");
  TempDir target;
  const std::string copy = target.file("login.backup");
  ASSERT_EQ(tool({"backup", copy}).status, 0);
  ensureKey("later");
  const std::string bad = target.file("truncated.backup");
  testing_support::writeFile(bad, testing_support::readFile(copy).substr(0, 3000));

  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    std::function<void()> arrange;
    std::string message;
  };
  std::unique_ptr<HeldKeychain> holder;
  const std::vector<Case> cases = {
      {"existing keychain",
       {"restore", copy},
       [] {},
       "Not restored: a keychain exists at " + keychainPath() + " (use --replace)"},
      {"unsound source",
       {"restore", bad, "--replace"},
       [] {},
       "Not restored: " + bad + " is not a sound keychain (format: not a keychain, or truncated)"},
      {"journal beside the keychain",
       {"restore", copy, "--replace"},
       [&] { testing_support::writeFile(keychainPath() + "-journal", "x"); },
       "Not restored: a journal lies beside the keychain (an interrupted write); run "
       "'ferrowick-keychain check' and let Ferrowick finish it first"},
      {"a run holds the keychain",
       {"restore", copy, "--replace"},
       [&] {
         unlink((keychainPath() + "-journal").c_str());
         holder = std::make_unique<HeldKeychain>(keychainPath());
         ASSERT_TRUE(holder->held());
       },
       "Not restored: a Ferrowick run is using the keychain; try again when it ends"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const FileState before = state(keychainPath());
    expectOneLineFailure(tool(c.arguments), c.message);
    EXPECT_TRUE(state(keychainPath()) == before);
  }
  holder.reset();

  const std::string replaced = testing_support::readFile(keychainPath());
  RunResult restored = tool({"restore", copy, "--replace"});
  ASSERT_EQ(restored.status, 0) << restored.err;
  EXPECT_TRUE(testing_support::readFile(keychainPath()) == testing_support::readFile(copy));
  struct stat info {};
  ASSERT_EQ(lstat(keychainPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_nlink, 1u);
  const std::string keptAs = restored.out.substr(restored.out.find("kept as ") + 8);
  EXPECT_TRUE(testing_support::readFile(keptAs.substr(0, keptAs.size() - 1)) == replaced);
  EXPECT_EQ(tool({"list"}).out.find("later"), std::string::npos);
  EXPECT_EQ(tool({"check"}).status, 0);

  // Into a home that has no keychain yet.
  TempDir fresh;
  RunOptions elsewhere = testing_support::privateHomeOptions(fresh);
  RunResult first = testing_support::run(KEYCHAIN_TOOL, {"restore", copy}, elsewhere);
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(testing_support::run(KEYCHAIN_TOOL, {"check"}, elsewhere).status, 0);
}

// Output that doesn't all reach the parent is a failure with the one line Ferrowick gives; a
// change made before it (a deletion, a backup) still stands.
TEST_F(KeychainToolTest, LostOutputIsStatusOneAndOneLineWhateverTheCommand) {
  ensureKey("kept");
  using testing_support::StandardOutput;
  const std::vector<std::pair<const char*, StandardOutput>> outputs = {
      {"/dev/full", StandardOutput::fullDevice},
      {"a closed standard output", StandardOutput::closed},
      {"a reader that is gone", StandardOutput::readerGone},
  };
  int round = 0;
  for (const auto& [where, output] : outputs) {
    SCOPED_TRACE(where);
    ensureKey("doomed");
    const std::string copy = home.file("lost-" + std::to_string(++round) + ".backup");
    struct Command {
      std::vector<std::string> arguments;
      std::vector<std::string> answers;
    };
    const std::vector<Command> commands = {
        {{"--help"}, {}}, {{"list"}, {}},         {{"list", "--json"}, {}},
        {{"check"}, {}},  {{"backup", copy}, {}}, {{"delete", "doomed"}, {pin(oldPassword)}},
    };
    for (const Command& command : commands) {
      SCOPED_TRACE(command.arguments[0]);
      pinentry.script(command.answers);
      RunOptions lost = options();
      lost.standardOutput = output;
      expectOneLineFailure(testing_support::run(KEYCHAIN_TOOL, command.arguments, lost),
                           "Cannot write result");
    }
    EXPECT_EQ(tool({"check", "--password"}, {pin(oldPassword)}).status, 0);
    EXPECT_EQ(tool({"list"}).out.find("doomed"), std::string::npos) << "the deletion stands";
    EXPECT_EQ(tool({"--keychain", copy, "check"}).status, 0) << "the backup stands";
  }
}

// Another user watches a shared sticky folder and, the moment a run opens the keychain there,
// hard-links a hot journal of his own beside it: no run may roll it in.
class JournalPlanter {
 public:
  JournalPlanter(const std::string& folder, const std::string& journal) {
    child_ = fork();
    if (child_ != 0) return;
    const uid_t stranger = keychain_test::strangerUid();
    if (setresgid(stranger, stranger, stranger) != 0 ||
        setresuid(stranger, stranger, stranger) != 0)
      _exit(2);
    umask(0);
    const std::string own = folder + "/planter-journal";
    int fd = open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 || write(fd, journal.data(), journal.size()) != static_cast<ssize_t>(journal.size()))
      _exit(3);
    close(fd);
    int watch = inotify_init1(0);
    if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_OPEN) < 0) _exit(4);
    const std::string target = folder + "/k.keychain-db-journal";
    alignas(inotify_event) char events[4096];
    for (;;) {
      ssize_t got = read(watch, events, sizeof events);
      if (got <= 0) _exit(5);
      for (char* at = events; at < events + got;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        at += sizeof(inotify_event) + event->len;
        if (event->len == 0 || std::string(event->name) != "k.keychain-db") continue;
        // EEXIST while the last one is still there: the next open is another chance.
        if (link(own.c_str(), target.c_str()) != 0) continue;
      }
    }
  }
  ~JournalPlanter() {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
  }
  bool running() const { return child_ > 0 && waitpid(child_, nullptr, WNOHANG) == 0; }

 private:
  pid_t child_ = -1;
};

TEST_F(KeychainToolTest, AJournalLinkedByAnotherUserInTheRaceIsNeverRolledIn) {
  if (geteuid() != 0) GTEST_SKIP() << "a second user needs root";
  ensureKey("first");
  ensureKey("second");
  keychain_test::StickyFolder shared;
  const std::string named = shared.path() + "/k.keychain-db";
  ASSERT_EQ(tool({"--keychain", named, "restore", keychainPath()}).status, 0);
  const std::string before = testing_support::readFile(named);
  const std::string listing = tool({"--keychain", named, "list"}).out;
  ASSERT_NE(listing.find("\tsecond\n"), std::string::npos);

  auto planter =
      std::make_unique<JournalPlanter>(shared.path(), keychain_test::foreignHotJournal());
  const std::string refused = "Keychain refused (damaged, foreign or wrong permissions): " + named;
  int planted = 0, runs = 0;
  auto afterRun = [&](const RunResult& result, const std::string& done) {
    ++runs;
    ASSERT_TRUE(result.out == done || result.err == refused + "\n")
        << result.status << " " << result.err;
    ASSERT_TRUE(testing_support::readFile(named) == before) << "the keychain changed";
    if (unlink((named + "-journal").c_str()) == 0) ++planted;
  };
  usleep(100000);  // the planter's watch is in place
  ASSERT_TRUE(planter->running());
  for (int i = 0; i < 150; ++i) afterRun(tool({"--keychain", named, "list"}), listing);
  for (int i = 0; i < 20; ++i) {
    const std::string copy = home.file("race-" + std::to_string(i) + ".backup");
    afterRun(tool({"--keychain", named, "backup", copy}), "Backup written to " + copy + "\n");
  }
  EXPECT_TRUE(planter->running());
  planter.reset();
  unlink((named + "-journal").c_str());
  EXPECT_GT(planted, 0) << "the other user never got his journal in: the race was not run";
  std::printf("journal planted in %d of %d runs; the keychain unchanged after every one\n", planted,
              runs);
  RunResult checked = tool({"--keychain", named, "check", "--password"}, {pin(oldPassword)});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

TEST_F(KeychainToolTest, WrongCommandLinesFailWithTheUsageLine) {
  const std::string usage =
      "Usage: ferrowick-keychain [--keychain PATH] list [--json] | passwd | delete NAME | "
      "check [--password] | backup DEST | restore SRC [--replace]";
  const std::vector<std::vector<std::string>> lines = {{},
                                                       {"lst"},
                                                       {"list", "--jsn"},
                                                       {"delete"},
                                                       {"backup"},
                                                       {"restore", "a", "--force"},
                                                       {"--keychain"},
                                                       {"--keychain", "", "list"},
                                                       {"list", "--keychain", "x"},
                                                       {"--help", "list"}};
  for (const auto& line : lines) {
    RunResult result = tool(line);
    expectOneLineFailure(result, usage);
    EXPECT_EQ(result.out, "");
  }
  RunResult help = tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("delete NAME"), std::string::npos);
}

}  // namespace
