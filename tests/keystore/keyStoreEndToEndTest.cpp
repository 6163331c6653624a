// The key operations of the real binary on a real keychain file in a private HOME, with the
// owner's approval through PAM (pam_matrix behind libpam_wrapper) and every password typed by
// the scripted pinentry. Key bytes are compared, never printed.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/EndToEnd.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::TempDir;

const std::string ownerPassword = "owner-secret-1";
const std::string keychainPassword = "keychain-secret-1";
const std::string reasonPrefix = "Peldora 需要使用设备密钥：";
const std::string denied = "Keychain read denied or unavailable\n";
const std::string refused = "Key already exists; refusing overwrite\n";

const std::string owner = "pin " + ownerPassword;
const std::string keychain = "pin " + keychainPassword;

// One pinentry process as the log shows it.
struct Prompt {
  bool approval = false;  // the owner-approval prompt (its cancel button is "取消执行")
  std::string description;
};

class KeyStoreEndToEndTest : public ::testing::Test, protected testing_support::EndToEnd {
 protected:
  KeyStoreEndToEndTest() : EndToEnd(ownerPassword) {}

  // With whatever the pinentry was scripted with last.
  RunResult run(const std::string& operation, const std::string& name) const {
    return testing_support::runFerrowick({operation, name}, options(asksTheOwner(operation)));
  }

  // Creates the item through the tool, answering the keychain's password prompt.
  void ensureKey(const std::string& name) {
    pinentry.script({keychain});
    RunResult result = run("ensure-key", name);
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(result.out, "created\n");
  }

  // read-key with the owner approving and the keychain password typed; the 32 bytes or "".
  std::string readKey(const std::string& name) {
    pinentry.script({owner, keychain});
    RunResult result = run("read-key", name);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.size(), 32u);
    return result.status == 0 ? result.out : "";
  }

  RunResult addThroughComponent(const std::string& name, std::size_t length) {
    pinentry.script({keychain});
    return testing_support::run(KEYCHAIN_ITEM_TOOL, {"add", name, std::to_string(length)},
                                options(false));
  }

  std::vector<Prompt> prompts() const {
    std::vector<Prompt> result;
    for (const auto& entry : pinentry.log()) {
      if (entry.run > static_cast<int>(result.size())) result.resize(entry.run);
      Prompt& prompt = result[entry.run - 1];
      if (entry.command == "SETCANCEL" && entry.text == "取消执行") prompt.approval = true;
      if (entry.command == "SETDESC") prompt.description = entry.text;
    }
    return result;
  }
};

TEST_F(KeyStoreEndToEndTest, EnsureKeyCreatesThenReportsExistsWithoutAPrompt) {
  ensureKey("device-key");
  EXPECT_EQ(pinentry.runs(), 1);  // the new keychain's password
  struct stat file {};
  ASSERT_EQ(stat(keychainFile().c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);

  pinentry.script({});
  RunResult again = run("ensure-key", "device-key");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "exists\n");
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(pinentry.runs(), 1) << "an existing key is found without asking anything";
}

TEST_F(KeyStoreEndToEndTest, InitKeyTwiceRefusesAndKeepsTheFirstKey) {
  pinentry.script({keychain});
  RunResult first = run("init-key", "device-key");
  ASSERT_EQ(first.out, "created\n") << first.err;
  const std::string key = readKey("device-key");

  const int promptsBefore = pinentry.runs();
  pinentry.script({keychain});
  RunResult second = run("init-key", "device-key");
  EXPECT_EQ(second.status, 1);
  EXPECT_TRUE(second.out.empty());
  EXPECT_EQ(second.err, refused);
  EXPECT_EQ(pinentry.runs(), promptsBefore) << "a doomed add asks for nothing";

  EXPECT_TRUE(readKey("device-key") == key);
}

TEST_F(KeyStoreEndToEndTest, ReadKeyGivesTheSameBytesEveryTimeAndEachNameItsOwn) {
  ensureKey("first");
  ensureKey("second");
  const std::string first = readKey("first");
  const int before = static_cast<int>(prompts().size());
  const std::string again = readKey("first");
  const std::string second = readKey("second");
  EXPECT_TRUE(first == again);
  EXPECT_FALSE(first == second);

  // Every read asks the owner and then, for the item, the keychain password again.
  std::vector<Prompt> shown = prompts();
  ASSERT_EQ(shown.size(), static_cast<std::size_t>(before + 4));
  EXPECT_TRUE(shown[before].approval);
  EXPECT_EQ(shown[before].description, reasonPrefix + "first");
  EXPECT_FALSE(shown[before + 1].approval);
  EXPECT_NE(shown[before + 1].description.find("first"), std::string::npos);
}

TEST_F(KeyStoreEndToEndTest, CancelledApprovalNeverReachesTheKeychain) {
  ensureKey("device-key");
  const std::size_t before = prompts().size();
  pinentry.script({"cancel", keychain});
  RunResult result = run("read-key", "device-key");
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.out.empty());
  EXPECT_EQ(result.err, "User approval denied or expired\n");
  std::vector<Prompt> shown = prompts();
  ASSERT_EQ(shown.size(), before + 1);
  EXPECT_TRUE(shown.back().approval);
}

TEST_F(KeyStoreEndToEndTest, KeychainPromptRefusedMeansADeniedRead) {
  ensureKey("device-key");
  struct Case {
    const char* label;
    std::vector<std::string> script;
  };
  const std::vector<Case> cases = {
      {"keychain prompt cancelled", {owner, "cancel"}},
      {"wrong keychain password three times", {owner, "pin wrong-1", "pin wrong-2", "pin wrong-3"}},
      {"no way to show the keychain prompt", {owner, "notty"}},
  };
  for (const Case& c : cases) {
    pinentry.script(c.script);
    RunResult result = run("read-key", "device-key");
    EXPECT_EQ(result.status, 1) << c.label;
    EXPECT_TRUE(result.out.empty()) << c.label << ": " << result.out.size() << " bytes on stdout";
    EXPECT_EQ(result.err, denied) << c.label;
  }
  // The key is still there and readable with the right password.
  EXPECT_EQ(readKey("device-key").size(), 32u);
}

TEST_F(KeyStoreEndToEndTest, NameTheRuleRefusesReachesApprovalUnchanged) {
  ensureKey("device-key");
  for (std::string name :
       {std::string(""), std::string("a b"), std::string(101, 'n'), std::string("密钥.1")}) {
    const std::size_t before = prompts().size();
    pinentry.script({owner});
    RunResult result = run("read-key", name);
    EXPECT_NE(result.err, "Invalid item name\n");
    EXPECT_EQ(result.err, denied) << "nothing is stored under it";
    EXPECT_TRUE(result.out.empty());
    std::vector<Prompt> shown = prompts();
    ASSERT_GT(shown.size(), before);
    EXPECT_TRUE(shown[before].approval);
    // A long name is broken into lines to fit the prompt; nothing else of it changes.
    std::string description = shown[before].description;
    std::erase(description, '\n');
    EXPECT_EQ(description, reasonPrefix + name);
  }
}

TEST_F(KeyStoreEndToEndTest, SecretOfAnyOtherLengthThan32IsRefused) {
  for (std::size_t length : {31u, 32u, 33u}) {
    const std::string name = "length-" + std::to_string(length);
    RunResult added = addThroughComponent(name, length);
    ASSERT_EQ(added.status, 0) << added.err;
    pinentry.script({owner, keychain});
    RunResult result = run("read-key", name);
    if (length == 32) {
      // The helper's items are readable, so the refusals are the length's doing.
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(result.out.size(), 32u);
    } else {
      EXPECT_EQ(result.status, 1) << length;
      EXPECT_TRUE(result.out.empty()) << length << ": " << result.out.size() << " bytes on stdout";
      EXPECT_EQ(result.err, denied) << length;
    }
  }
}

TEST_F(KeyStoreEndToEndTest, ConcurrentEnsureKeyCreatesExactlyOnce) {
  ensureKey("other-key");  // the keychain exists; every racer must unlock it to add
  constexpr int racers = 32;
  pinentry.script(std::vector<std::string>(racers, keychain));
  std::vector<std::future<RunResult>> runs;
  for (int i = 0; i < racers; ++i) {
    runs.push_back(std::async(std::launch::async, [this] { return run("ensure-key", "raced"); }));
  }
  int created = 0;
  int others = 0;
  for (auto& pending : runs) {
    RunResult result = pending.get();
    ASSERT_FALSE(result.timedOut);
    if (result.out == "created\n" && result.status == 0) {
      ++created;
    } else if ((result.out == "exists\n" && result.status == 0) ||
               (result.err == refused && result.status == 1 && result.out.empty())) {
      ++others;
    } else {
      ADD_FAILURE() << "status " << result.status << ", stderr: " << result.err;
    }
  }
  EXPECT_EQ(created, 1);
  EXPECT_EQ(others, racers - 1);
  EXPECT_EQ(readKey("raced").size(), 32u);
}

// The keychain's folders as a first run would find them, with the component `swapped` (under
// the data home) replaced by a symlink to a private folder elsewhere.
struct SwapCase {
  const char* swapped;
  const char* heldAs;          // where the original folder is moved, under the data home
  const char* keychainFolder;  // where the keychain must then be, under the data home
};

const SwapCase swapCases[] = {
    {"ferrowick/keychains", "ferrowick/held", "ferrowick/held"},
    {"ferrowick", "held", "held/keychains"},
};

std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

TEST_F(KeyStoreEndToEndTest, FolderSwappedWhileThePromptIsOpenCannotMoveTheNewKeychain) {
  for (const SwapCase& swap : swapCases) {
    SCOPED_TRACE(swap.swapped);
    TempDir scratch;
    const std::string data = home.file("data");
    const std::string elsewhere = scratch.file("elsewhere");
    const std::string release = scratch.file("release");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    std::filesystem::remove_all(data);

    auto getpins = [this] { return pinentry.texts("GETPIN").size(); };
    const auto before = getpins();
    pinentry.script({"await " + release + " " + keychain});
    auto pending = std::async(std::launch::async, [this] { return run("ensure-key", "k"); });
    // The run has made and opened the folders once its password prompt is up.
    for (int i = 0; i < 600 && getpins() == before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool swapped =
        getpins() > before &&
        rename((data + "/" + swap.swapped).c_str(), (data + "/" + swap.heldAs).c_str()) == 0 &&
        symlink(elsewhere.c_str(), (data + "/" + swap.swapped).c_str()) == 0;
    std::ofstream{release};
    ASSERT_TRUE(swapped);

    RunResult result = pending.get();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "created\n");
    EXPECT_EQ(entriesOf(data + "/" + swap.keychainFolder),
              std::vector<std::string>{"login.keychain-db"});
    EXPECT_TRUE(entriesOf(elsewhere).empty()) << "the symlink's target was written";
  }
}

TEST_F(KeyStoreEndToEndTest, SymlinkedFolderIsRefusedBeforeAnyPromptAndNothingIsMadeAtItsTarget) {
  for (const char* swapped : {"ferrowick", "ferrowick/keychains"}) {
    SCOPED_TRACE(swapped);
    TempDir scratch;
    const std::string data = home.file("data");
    const std::string elsewhere = scratch.file("elsewhere");
    std::filesystem::remove_all(data);
    ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    if (std::string(swapped) != "ferrowick") {
      ASSERT_EQ(mkdir((data + "/ferrowick").c_str(), 0700), 0);
    }
    ASSERT_EQ(symlink(elsewhere.c_str(), (data + "/" + swapped).c_str()), 0);

    pinentry.script({keychain});
    const int promptsBefore = pinentry.runs();
    RunResult result = run("ensure-key", "k");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(pinentry.runs(), promptsBefore);
    EXPECT_TRUE(entriesOf(elsewhere).empty()) << "the symlink's target was written";
  }
}

TEST_F(KeyStoreEndToEndTest, WithoutProcTheKeychainIsRefusedNotReachedByPath) {
  ensureKey("k");
  const std::string file = keychainFile();
  const std::string before = testing_support::readFile(file);
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' runtime needs /proc itself";
#endif
  // An empty /proc in a mount namespace of the run's own.
  if (geteuid() != 0 || testing_support::run("/usr/bin/unshare", {"-m", "true"}, {}).status != 0) {
    GTEST_SKIP() << "needs root and mount namespaces";
  }
  pinentry.script({keychain});
  RunResult result =
      testing_support::run("/usr/bin/unshare",
                           {"-m", "--propagation", "private", "sh", "-c",
                            "mount -t tmpfs none /proc && exec \"$0\" ensure-key other",
                            testing_support::ferrowickPath()},
                           options(false));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Keychain lookup failed\n");
  EXPECT_EQ(testing_support::readFile(file), before);
  EXPECT_EQ(entriesOf(home.file("data/ferrowick/keychains")),
            std::vector<std::string>{"login.keychain-db"});
}

}  // namespace
