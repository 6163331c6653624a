// The real binary when its result can't reach the parent: standard output on /dev/full, closed,
// or a pipe nobody reads any more. Status 0 must mean the parent got the whole result, so each
// of these ends with status 1 and one line; key bytes are compared, never printed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/EndToEnd.h"

namespace {

using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::StandardOutput;

const std::string ownerPassword = "owner-secret-2";
const std::string owner = "pin " + ownerPassword;
const std::string keychain = "pin keychain-secret-2";
const std::string cannotWrite = "Cannot write result\n";

struct Output {
  const char* label;
  StandardOutput kind;
};
const Output brokenOutputs[] = {
    {"/dev/full", StandardOutput::fullDevice},
    {"closed", StandardOutput::closed},
    {"reader gone", StandardOutput::readerGone},
};

class ResultDeliveryTest : public ::testing::Test, protected testing_support::EndToEnd {
 protected:
  ResultDeliveryTest() : EndToEnd(ownerPassword) {}

  RunResult run(const std::string& operation, const std::string& operand,
                const std::vector<std::string>& answers,
                StandardOutput output = StandardOutput::collected) {
    RunOptions runOptions = options(asksTheOwner(operation));
    runOptions.standardOutput = output;
    return EndToEnd::run(operation, operand, answers, runOptions);
  }

  // The one line and the status; err is compared without printing it, since a fault here
  // could put key bytes there.
  static void expectCannotWrite(const RunResult& result, const std::string& label) {
    EXPECT_EQ(result.status, 1) << label;
    EXPECT_TRUE(result.err == cannotWrite)
        << label << ": standard error holds " << result.err.size() << " other bytes";
    EXPECT_TRUE(result.out.empty()) << label;
  }
};

TEST_F(ResultDeliveryTest, ApproveThatCannotAnswerFails) {
  for (const Output& output : brokenOutputs) {
    expectCannotWrite(run("approve", "Peldora 请求批准", {owner}, output.kind), output.label);
  }
}

TEST_F(ResultDeliveryTest, EnsureKeyThatCannotAnswerFailsOnBothOfItsPaths) {
  // The first run creates the key but can't say so; the parent learns it on its next ask.
  expectCannotWrite(run("ensure-key", "device-key", {keychain}, StandardOutput::fullDevice),
                    "created");
  const std::string stored = testing_support::readFile(keychainFile());
  ASSERT_FALSE(stored.empty());
  // "exists" ends the run through its own exit, past the ordinary return.
  for (const Output& output : brokenOutputs) {
    expectCannotWrite(run("ensure-key", "device-key", {}, output.kind),
                      std::string("exists, ") + output.label);
  }
  EXPECT_TRUE(testing_support::readFile(keychainFile()) == stored);
  RunResult again = run("ensure-key", "device-key", {});
  EXPECT_EQ(again.out, "exists\n");
  EXPECT_EQ(again.status, 0);
}

TEST_F(ResultDeliveryTest, ReadKeyThatCannotDeliverTheKeyFailsAndSaysNothingElse) {
  ASSERT_EQ(run("ensure-key", "device-key", {keychain}).out, "created\n");
  for (const Output& output : brokenOutputs) {
    expectCannotWrite(run("read-key", "device-key", {owner, keychain}, output.kind), output.label);
  }
  // The same read with a parent that listens: the whole key, status 0.
  RunResult delivered = run("read-key", "device-key", {owner, keychain});
  EXPECT_EQ(delivered.status, 0);
  EXPECT_EQ(delivered.out.size(), 32u);
  EXPECT_TRUE(delivered.err.empty());
}

TEST_F(ResultDeliveryTest, ClosedStandardOutputNeverLetsTheResultIntoTheKeychainFile) {
  // With descriptor 1 closed, the next file opened would get that number: the keychain
  // database would receive "created\n" or the key itself.
  ASSERT_EQ(run("ensure-key", "first", {keychain}).out, "created\n");
  expectCannotWrite(run("ensure-key", "second", {keychain}, StandardOutput::closed), "created");
  expectCannotWrite(run("read-key", "first", {owner, keychain}, StandardOutput::closed),
                    "read-key");
  const std::string stored = testing_support::readFile(keychainFile());
  EXPECT_EQ(stored.find("created\n"), std::string::npos);
  for (const char* name : {"first", "second"}) {
    RunResult found = run("ensure-key", name, {});
    EXPECT_EQ(found.out, "exists\n") << name;
    EXPECT_EQ(found.err, "") << name;
  }
  RunResult delivered = run("read-key", "first", {owner, keychain});
  EXPECT_EQ(delivered.status, 0);
  EXPECT_EQ(delivered.out.size(), 32u);
}

}  // namespace
