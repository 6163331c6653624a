// The real binary's command line: argument count, operation words, and the exact bytes and
// status each call ends with. No pinentry is reachable, so a call that gets as far as asking
// for approval ends there, which shows how far dispatch went.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"

namespace {

using testing_support::runFerrowick;
using testing_support::RunOptions;
using testing_support::TempDir;

const std::string usage = "Expected init-key/read-key/approve/self-test and item or reason\n";
const std::string unknown = "Unknown operation\n";
const std::string invalidName = "Invalid item name\n";
const std::string noApproval = "Local user authentication unavailable\n";

struct Case {
  const char* label;
  std::vector<std::string> arguments;  // after the program path
  std::string err;
};

class CommandLineTest : public ::testing::Test {
 protected:
  RunOptions isolated() const {
    RunOptions options = testing_support::privateHomeOptions(home);
    options.environment["PATH"] = home.file("no-such-bin");
    return options;
  }
  TempDir home;
};

TEST_F(CommandLineTest, EndsWithTheRightMessageNothingOnStandardOutputAndNothingLeftBehind) {
  const std::vector<Case> cases = {
      {"no arguments", {}, usage},
      {"operation word alone", {"approve"}, usage},
      {"valid word, one operand too many", {"approve", "reason", "extra"}, usage},
      {"four arguments", {"self-test", "a", "b", "c"}, usage},
      {"unknown word", {"delete-key", "x"}, unknown},
      {"capital letter", {"Approve", "x"}, unknown},
      {"upper case", {"SELF-TEST", "/tmp"}, unknown},
      {"leading space", {" approve", "x"}, unknown},
      {"trailing space", {"read-key ", "x"}, unknown},
      {"empty word", {"", "x"}, unknown},
      {"empty word and operand", {"", ""}, unknown},
      {"underscore instead of hyphen", {"ensure_key", "x"}, unknown},
      {"init-key refuses an empty name", {"init-key", ""}, invalidName},
      {"ensure-key refuses a dot", {"ensure-key", "a.b"}, invalidName},
      {"ensure-key refuses bytes that are not UTF-8", {"ensure-key", "\xff\xfe"}, invalidName},
      {"ensure-key refuses 101 characters", {"ensure-key", std::string(101, 'k')}, invalidName},
      {"approve with an empty reason reaches approval", {"approve", ""}, noApproval},
      {"approve with a Chinese reason", {"approve", "需要批准"}, noApproval},
      {"read-key applies no name rule", {"read-key", "not a valid name"}, noApproval},
      {"read-key with an empty name", {"read-key", ""}, noApproval},
      {"read-key with bytes that are not UTF-8", {"read-key", "\xff"}, noApproval},
  };
  for (const Case& c : cases) {
    auto result = runFerrowick(c.arguments, isolated());
    EXPECT_EQ(result.status, 1) << c.label;
    EXPECT_EQ(result.out, "") << c.label;
    EXPECT_EQ(result.err, c.err) << c.label;
    // A refused call makes nothing in HOME, not even the keychain folder; the message above
    // shows it ran to its refusal, so an empty HOME means something.
    EXPECT_TRUE(std::filesystem::is_empty(home.path())) << c.label << " left something in HOME";
  }
}

}  // namespace
