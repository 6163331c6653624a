// self-test with the real binary and the real keychain component: it passes, asks no one
// anything, and leaves the folder as it found it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::ScriptedPinentry;
using testing_support::TempDir;

const std::string passed = "Login Keychain ACL refused unattended read; fixture removed\n";

class SelfTestEndToEndTest : public ::testing::Test {
 protected:
  RunOptions options() const {
    RunOptions options = testing_support::privateHomeOptions(home);
    // A pinentry that would answer, so a pass can't come from a prompt that failed to show.
    for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
    options.timeout = std::chrono::seconds(120);
    return options;
  }

  RunResult selfTest(const std::string& folder,
                     std::optional<std::string> workingDirectory = std::nullopt) const {
    RunOptions runOptions = options();
    runOptions.workingDirectory = std::move(workingDirectory);
    return testing_support::runFerrowick({"self-test", folder}, runOptions);
  }

  static bool isEmpty(const std::string& folder) { return std::filesystem::is_empty(folder); }

  static std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  void SetUp() override { pinentry.script({"pin would-unlock", "confirm"}); }

  TempDir home;
  TempDir work;
  ScriptedPinentry pinentry;
};

TEST_F(SelfTestEndToEndTest, PassesWithoutAPromptAndLeavesTheFolderEmpty) {
  RunResult result = selfTest(work.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, passed);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(isEmpty(work.path()));
  EXPECT_EQ(pinentry.runs(), 0);
  // The user's own keychain is neither made nor touched.
  EXPECT_FALSE(std::filesystem::exists(home.file("data/ferrowick")));
}

TEST_F(SelfTestEndToEndTest, AcceptsFoldersAsGiven) {
  struct Case {
    const char* label;
    std::string operand;  // relative ones stand relative to `work`
    std::string folder;   // the folder whose contents must not change
  };
  const std::string nested = work.file("with space/二 级/deep ");
  std::filesystem::create_directories(nested);
  std::filesystem::create_directories(work.file("relative/sub"));
  const std::vector<Case> cases = {
      {"spaces and several levels", nested, nested},
      {"trailing slash", work.path() + "/", work.path()},
      {"relative path", "relative/sub", work.file("relative/sub")},
      {"current folder", ".", work.path()},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> before = entries(c.folder);
    RunResult result = selfTest(c.operand, work.path());
    EXPECT_EQ(result.status, 0) << c.label << ": " << result.err;
    EXPECT_EQ(result.out, passed) << c.label;
    EXPECT_EQ(entries(c.folder), before) << c.label;
  }
  EXPECT_TRUE(isEmpty(nested));
}

TEST_F(SelfTestEndToEndTest, MissingFolderIsACreationFailureWithAStatus) {
  for (std::string folder : {work.file("no-such-folder"), work.file("no/such/levels")}) {
    RunResult result = selfTest(folder);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(
        std::regex_match(result.err, std::regex("Fixture creation failed: -?[1-9][0-9]*\n")))
        << result.err;
    EXPECT_FALSE(std::filesystem::exists(folder));
  }
}

TEST_F(SelfTestEndToEndTest, WithoutProcItFailsInOneLineAndRemovesItsFixture) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' runtime needs /proc itself";
#endif
  // An empty /proc in a mount namespace of the run's own.
  if (geteuid() != 0 || testing_support::run("/usr/bin/unshare", {"-m", "true"}, {}).status != 0) {
    GTEST_SKIP() << "needs root and mount namespaces";
  }
  RunResult result =
      testing_support::run("/usr/bin/unshare",
                           {"-m", "--propagation", "private", "sh", "-c",
                            "mount -t tmpfs none /proc && exec \"$0\" self-test \"$1\"",
                            testing_support::ferrowickPath(), work.path()},
                           options());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  // The keychain can't be opened there, so the item never gets in.
  EXPECT_EQ(result.err, "Fixture insertion failed: -25291\n");
  EXPECT_TRUE(isEmpty(work.path())) << entries(work.path()).front();
  EXPECT_EQ(pinentry.runs(), 0);
}

TEST_F(SelfTestEndToEndTest, ConcurrentRunsInOneFolderAllPassAndLeaveItEmpty) {
  constexpr int runs = 8;
  std::vector<std::future<RunResult>> pending;
  for (int i = 0; i < runs; ++i) {
    pending.push_back(std::async(std::launch::async, [this] { return selfTest(work.path()); }));
  }
  for (auto& run : pending) {
    RunResult result = run.get();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, passed);
  }
  EXPECT_TRUE(isEmpty(work.path()));
}

}  // namespace
