// The real binary when memory for secrets can't be had: every sodium_malloc fails (a preloaded
// stand-in). Whether the failure comes up on the main thread or on the thread that asks for
// the owner's password, the run ends with one line and status 1, never an abort, and the
// keychain is left as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/EndToEnd.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunResult;

const std::string ownerPassword = "owner-secret-3";
const std::string owner = "pin " + ownerPassword;
const std::string keychain = "pin keychain-secret-3";

class OutOfMemoryTest : public ::testing::Test, protected testing_support::EndToEnd {
 protected:
  OutOfMemoryTest() : EndToEnd(ownerPassword) {}

  RunResult run(const std::string& operation, const std::string& operand,
                const std::vector<std::string>& answers, bool memoryFails) {
    RunOptions runOptions = options(asksTheOwner(operation));
    if (memoryFails) {
      std::string preload = runOptions.environment["LD_PRELOAD"].value_or("");
      runOptions.environment["LD_PRELOAD"] =
          std::string(NO_LOCKED_MEMORY_LIBRARY) + (preload.empty() ? "" : ":" + preload);
      // Under the sanitizers the preload comes ahead of their runtime.
      const char* asan = std::getenv("ASAN_OPTIONS");
      std::string asanOptions = runOptions.environment["ASAN_OPTIONS"].value_or(asan ? asan : "");
      runOptions.environment["ASAN_OPTIONS"] =
          asanOptions + (asanOptions.empty() ? "" : ":") + "verify_asan_link_order=0";
    }
    return EndToEnd::run(operation, operand, answers, runOptions);
  }
};

TEST_F(OutOfMemoryTest, EveryOperationEndsWithOneLineAndLeavesTheKeychainAsItWas) {
  ASSERT_EQ(run("ensure-key", "device-key", {keychain}, false).out, "created\n");
  const std::string stored = testing_support::readFile(keychainFile());
  ASSERT_FALSE(stored.empty());

  struct Case {
    const char* label;
    std::string operation;
    std::string operand;
    std::vector<std::string> answers;
  };
  const Case cases[] = {
      {"a new key, on the main thread", "ensure-key", "second-key", {keychain}},
      {"the owner's password, on the approval thread", "approve", "Peldora 请求批准", {owner}},
      {"a key read", "read-key", "device-key", {owner, keychain}},
  };
  for (const Case& c : cases) {
    RunResult result = run(c.operation, c.operand, c.answers, true);
    EXPECT_EQ(result.status, 1) << c.label;
    EXPECT_EQ(result.err, "Out of memory\n") << c.label;
    EXPECT_TRUE(result.out.empty()) << c.label;
  }

  EXPECT_TRUE(testing_support::readFile(keychainFile()) == stored) << "the keychain file changed";
  RunResult read = run("read-key", "device-key", {owner, keychain}, false);
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out.size(), 32u);
}

}  // namespace
