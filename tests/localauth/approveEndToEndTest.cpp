// `Ferrowick approve` end to end: the real binary, real PAM (through libpam_wrapper and
// pam_matrix) and the scripted pinentry on PATH.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using testing::IsEmpty;
using testing_support::PamEnvironment;
using testing_support::RunResult;
using testing_support::ScriptedPinentry;

constexpr const char* password = "correct horse 电池";
constexpr const char* denied = "User approval denied or expired\n";
constexpr const char* unavailable = "Local user authentication unavailable\n";

class ApproveEndToEnd : public testing::Test {
 protected:
  RunResult run(const std::vector<std::string>& arguments,
                std::map<std::string, std::optional<std::string>> extra = {}) {
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    for (const auto& [key, value] : pinentry_.environment()) options.environment[key] = value;
    for (const auto& [key, value] : extra) options.environment[key] = value;
    options.timeout = std::chrono::seconds(30);
    return testing_support::runFerrowick(arguments, options);
  }
  RunResult approve(const std::string& reason = "Peldora 请求批准") {
    return run({"approve", reason});
  }

  // The decoded texts of `command` in one pinentry run.
  std::vector<std::string> textsOfRun(int run, const std::string& command) const {
    std::vector<std::string> texts;
    for (const auto& entry : pinentry_.log()) {
      if (entry.run == run && entry.command == command) texts.push_back(entry.text);
    }
    return texts;
  }

  ScriptedPinentry pinentry_;
  PamEnvironment pam_{PamEnvironment::currentUser(), password};
};

TEST_F(ApproveEndToEnd, TheRightPasswordApproves) {
  pinentry_.script({std::string("pin ") + password});
  RunResult result = approve();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(pinentry_.runs(), 1);
  // PAM's "Password: " loses its separator; pinentry adds its own.
  std::vector<std::string> prompts = pinentry_.texts("SETPROMPT");
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_FALSE(prompts[0].empty());
  EXPECT_NE(prompts[0].back(), ' ');
  EXPECT_NE(prompts[0].back(), ':');
  EXPECT_THAT(pinentry_.texts("SETERROR"), IsEmpty());
}

TEST_F(ApproveEndToEnd, ThreeWrongPasswordsAreDenied) {
  pinentry_.script({"pin wrong 1", "pin wrong 2", "pin wrong 3", std::string("pin ") + password});
  RunResult result = approve();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, denied);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(pinentry_.runs(), 3);  // and not a fourth time
  EXPECT_THAT(textsOfRun(1, "SETERROR"), IsEmpty());
  EXPECT_EQ(textsOfRun(2, "SETERROR").size(), 1u);
  EXPECT_EQ(textsOfRun(3, "SETERROR").size(), 1u);
}

TEST_F(ApproveEndToEnd, AWrongPasswordThenTheRightOneApprovesWithAnErrorShown) {
  pinentry_.script({"pin wrong", std::string("pin ") + password});
  RunResult result = approve();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(pinentry_.runs(), 2);
  EXPECT_THAT(textsOfRun(1, "SETERROR"), IsEmpty());
  std::vector<std::string> shown = textsOfRun(2, "SETERROR");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_FALSE(shown[0].empty());
  // The retry asks for the same approval.
  EXPECT_EQ(textsOfRun(2, "SETDESC"), textsOfRun(1, "SETDESC"));
}

TEST_F(ApproveEndToEnd, APromptThatGivesNoPasswordEndsAtOnceSayingWhy) {
  // The owner's cancel and the prompt's time-out are refusals; a prompt that could not be shown
  // (no terminal, a terminal of another user's, a pinentry that died) means nobody was asked.
  struct Case {
    std::vector<std::string> answers;
    const char* message;
    int runs;
  };
  const std::string right = std::string("pin ") + password;
  const Case cases[] = {
      {{"cancel", right}, denied, 1},     {{"timeout", right}, denied, 1},
      {{"notty", right}, unavailable, 1}, {{"ttydenied", right}, unavailable, 1},
      {{"eof", right}, unavailable, 1},   {{"pin wrong", "notty", right}, unavailable, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers[0] + " then " + c.answers[1]);
    ScriptedPinentry pinentry;
    pinentry.script(c.answers);
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
    RunResult result = testing_support::runFerrowick({"approve", "reason"}, options);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.message);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(pinentry.runs(), c.runs);
  }
}

TEST_F(ApproveEndToEnd, APinentryInAnEmptyPathEntrysFolderOfAnotherUserIsNeverRun) {
  if (getuid() != 0) GTEST_SKIP() << "handing a folder to another user needs root";
  passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  pinentry_.script({std::string("pin ") + password});
  ASSERT_EQ(chown(pinentry_.binDir().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  for (const std::string path : {":", "bin", "bin:"}) {
    SCOPED_TRACE(path);
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    options.environment["PATH"] = path;
    options.workingDirectory = path == ":" ? pinentry_.binDir() : pinentry_.binDir() + "/..";
    RunResult result = testing_support::runFerrowick({"approve", "reason"}, options);
    EXPECT_EQ(result.err, unavailable);
    EXPECT_EQ(result.status, 1);
  }
  EXPECT_EQ(pinentry_.runs(), 0);
  ASSERT_EQ(chown(pinentry_.binDir().c_str(), 0, 0), 0);
}

TEST_F(ApproveEndToEnd, WithoutPinentryOnPathApprovalIsUnavailable) {
  testing_support::TempDir emptyBin;
  RunResult result = run({"approve", "reason"}, {{"PATH", emptyBin.path()}});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, unavailable);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(pinentry_.runs(), 0);
}

TEST_F(ApproveEndToEnd, TheReasonAndTheCancelLabelReachThePromptUnchanged) {
  const std::string reasons[] = {
      "",
      "Peldora 需要使用设备密钥：device-1",
      "100% of the key %41\nsecond line",
  };
  for (const auto& reason : reasons) {
    SCOPED_TRACE(reason);
    pinentry_.script({std::string("pin ") + password});
    RunResult result = approve(reason);
    EXPECT_EQ(result.out, "approved\n");
    EXPECT_EQ(pinentry_.texts("SETDESC").back(), reason);
    EXPECT_EQ(pinentry_.texts("SETCANCEL").back(), "取消执行");
  }
}

TEST(ApproveWithChattyPam, PamMessagesShowInTheNextPrompt) {
  // pam_chatty sends error and info messages before pam_matrix asks for the password.
  PamEnvironment pam(
      PamEnvironment::currentUser(), password,
      {"auth optional " + PamEnvironment::moduleDir() + "/pam_chatty.so num_lines=1 error info"});
  ScriptedPinentry pinentry;
  pinentry.script({std::string("pin ") + password});
  testing_support::RunOptions options;
  options.environment = pam.environment();
  for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
  RunResult result = testing_support::runFerrowick({"approve", "理由"}, options);
  EXPECT_EQ(result.out, "approved\n");
  ASSERT_EQ(pinentry.texts("SETERROR").size(), 1u);
  EXPECT_THAT(pinentry.texts("SETERROR")[0], testing::HasSubstr("error"));
  // The reason comes first, unchanged; PAM's information follows after a blank line.
  ASSERT_EQ(pinentry.texts("SETDESC").size(), 1u);
  EXPECT_THAT(pinentry.texts("SETDESC")[0], testing::StartsWith("理由\n\n"));
  EXPECT_THAT(pinentry.texts("SETDESC")[0], testing::HasSubstr("succeeded"));
}

TEST_F(ApproveEndToEnd, TheOnlyTimeOutGivenToPinentryIsWithinTheApprovalLimit) {
  pinentry_.script({std::string("pin ") + password});
  approve();
  std::vector<std::string> timeouts = pinentry_.texts("SETTIMEOUT");
  ASSERT_EQ(timeouts.size(), 1u);
  int seconds = std::stoi(timeouts[0]);
  EXPECT_GE(seconds, 80);
  EXPECT_LE(seconds, 90);
}

TEST_F(ApproveEndToEnd, AMissingReasonIsAUsageErrorWithoutAPrompt) {
  pinentry_.script({std::string("pin ") + password});
  RunResult result = run({"approve"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Expected init-key/read-key/approve/self-test and item or reason\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(pinentry_.runs(), 0);
}

}  // namespace

namespace {

// The password, then a NUL and more: PAM would see only the password; it is a wrong entry.
TEST_F(ApproveEndToEnd, ThePasswordFollowedByANulIsAWrongEntry) {
  const std::string withNul = std::string("pin ") + password + std::string("\0junk", 5);
  pinentry_.script({withNul, withNul, withNul});
  RunResult result = approve();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, denied);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(pinentry_.runs(), 3);
}

}  // namespace
