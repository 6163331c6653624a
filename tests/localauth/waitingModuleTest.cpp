// `Ferrowick approve` with a PAM module that behaves as a fingerprint or security-key module
// does (a message, then a wait without a prompt): the real binary, real PAM through
// libpam_wrapper, the scripted pinentry and the real pinentry-curses in a tmux pane.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/localauth/pamService.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"
#include "tests/support/Waiting.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::IsEmpty;
using testing_support::PamEnvironment;
using testing_support::processGone;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::ScriptedPinentry;
using testing_support::TempDir;
using testing_support::waitFor;
using testing_support::writeFile;

constexpr const char* password = "matrix pass 1";
constexpr const char* denied = "User approval denied or expired\n";
constexpr const char* unavailable = "Local user authentication unavailable\n";
constexpr const char* fingerMessage = "Place your finger on the fingerprint reader";
constexpr const char* reason = "Peldora 请求批准：登录";

class WaitingModule : public testing::Test {
 protected:
  // The service: the waiting module first (its success is enough, anything else hands on to
  // the password), pam_matrix's password after it; `account` lines replace pam_matrix's.
  void service(const std::string& moduleArguments, const std::string& account = "") {
    std::string module = std::string(WAITING_MODULE) + " trigger=" + dir_.file("trigger") +
                         " started=" + dir_.file("started") + " passfile=" + dir_.file("passfile") +
                         " " + moduleArguments;
    std::string matrix =
        PamEnvironment::moduleDir() + "/pam_matrix.so passdb=" + dir_.file("passdb");
    writeFile(dir_.file("passdb"), PamEnvironment::currentUser() + ":" + password + ":ferrowick\n");
    writeFile(dir_.file("passfile"), std::string(password) + "\n");
    writeFile(pam_.serviceDir() + "/ferrowick",
              "auth [success=done default=ignore] " + module + "\n" + "auth required " + matrix +
                  "\n" + (account.empty() ? "account required " + matrix : account) + "\n");
  }

  RunResult approve(std::map<std::string, std::optional<std::string>> extra = {}) {
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    for (const auto& [key, value] : pinentry_.environment()) options.environment[key] = value;
    for (const auto& [key, value] : extra) options.environment[key] = value;
    options.timeout = 60s;
    auto begin = std::chrono::steady_clock::now();
    RunResult result = testing_support::runFerrowick({"approve", reason}, options);
    elapsed_ = std::chrono::steady_clock::now() - begin;
    return result;
  }

  // Writes the module's trigger once the status prompt is up.
  std::thread triggerOnceShown(const std::string& outcome) {
    return std::thread([this, outcome] {
      if (pinentry_.waitForCommand("CONFIRM", 10s)) {
        writeFile(dir_.file("trigger"), outcome + "\n");
      }
    });
  }

  std::vector<std::string> textsOfRun(int run, const std::string& command) const {
    std::vector<std::string> texts;
    for (const auto& entry : pinentry_.log()) {
      if (entry.run == run && entry.command == command) texts.push_back(entry.text);
    }
    return texts;
  }

  void expectNoPinentryLeft() const {
    for (int pid : pinentry_.pids()) EXPECT_TRUE(processGone(pid)) << "pinentry " << pid;
  }

  TempDir dir_;
  ScriptedPinentry pinentry_;
  PamEnvironment pam_{PamEnvironment::currentUser(), password};
  std::chrono::steady_clock::duration elapsed_{};
};

TEST_F(WaitingModule, ATouchApprovesWhatTheStatusPromptShowedAndTheStatusPromptCloses) {
  service("wait=20");
  pinentry_.script({"hang"});
  std::thread trigger = triggerOnceShown("success");
  RunResult result = approve();
  trigger.join();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(pinentry_.runs(), 1);
  EXPECT_EQ(textsOfRun(1, "CONFIRM"), std::vector<std::string>{"--one-button"});
  EXPECT_EQ(textsOfRun(1, "SETDESC"),
            std::vector<std::string>{std::string(reason) + "\n\n" + fingerMessage});
  EXPECT_EQ(textsOfRun(1, "SETOK"), std::vector<std::string>{"取消执行"});
  EXPECT_EQ(textsOfRun(1, "SETTITLE"), std::vector<std::string>{"Ferrowick"});
  std::vector<std::string> timeouts = textsOfRun(1, "SETTIMEOUT");
  ASSERT_EQ(timeouts.size(), 1u);
  EXPECT_GE(std::stoi(timeouts[0]), 80);
  EXPECT_LE(std::stoi(timeouts[0]), 90);
  expectNoPinentryLeft();
}

TEST_F(WaitingModule, TheOwnerEndsTheApprovalFromTheStatusPromptWhileTheModuleStillWaits) {
  // Pressing the one button, closing the prompt (flavours answer either), or the prompt's own
  // time-out: denied within a second of it, though the module would wait half a minute more.
  for (const char* answer : {"confirm", "cancel", "timeout"}) {
    SCOPED_TRACE(answer);
    ScriptedPinentry pinentry;
    pinentry.script({answer});
    service("wait=30 then=success");
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
    auto begin = std::chrono::steady_clock::now();
    RunResult result = testing_support::runFerrowick({"approve", reason}, options);
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, denied);
    EXPECT_EQ(result.status, 1);
    EXPECT_LT(took, 1500ms);
    EXPECT_EQ(pinentry.runs(), 1);
    EXPECT_EQ(pinentry.texts("CONFIRM"), std::vector<std::string>{"--one-button"});
  }
}

TEST_F(WaitingModule, AStatusPromptThatCannotBeShownMakesTheApprovalUnavailable) {
  service("wait=30 then=success");
  pinentry_.script({"notty"});
  RunResult result = approve();
  EXPECT_EQ(result.err, unavailable);
  EXPECT_EQ(result.status, 1);
  EXPECT_LT(elapsed_, 1500ms);
}

TEST_F(WaitingModule, WhenTheModuleGivesUpThePasswordIsAskedAfterTheStatusPromptClosed) {
  service("wait=1 then=next");
  pinentry_.script({"hang", std::string("pin ") + password});
  RunResult result = approve();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.status, 0);
  ASSERT_EQ(pinentry_.runs(), 2);
  EXPECT_EQ(textsOfRun(1, "CONFIRM"), std::vector<std::string>{"--one-button"});
  std::vector<int> pids = pinentry_.pids();
  ASSERT_EQ(pids.size(), 2u);
  // The message was seen in the status prompt: the password prompt shows the reason alone.
  EXPECT_EQ(textsOfRun(2, "SETDESC"), std::vector<std::string>{reason});
  EXPECT_EQ(textsOfRun(2, "SETOK"), std::vector<std::string>{"允许"});
  EXPECT_EQ(textsOfRun(2, "SETTITLE"), std::vector<std::string>{"Ferrowick"});
  expectNoPinentryLeft();
}

TEST_F(WaitingModule, AMessageThatAPromptFollowsAtOnceIsShownInThatPrompt) {
  // No status prompt flashes up for a module that goes straight on to ask.
  service("wait=0 then=next style=error");
  pinentry_.script({std::string("pin ") + password});
  RunResult result = approve();
  EXPECT_EQ(result.out, "approved\n");
  ASSERT_EQ(pinentry_.runs(), 1);
  EXPECT_THAT(pinentry_.texts("CONFIRM"), IsEmpty());
  EXPECT_EQ(pinentry_.texts("SETERROR"), std::vector<std::string>{fingerMessage});
}

TEST_F(WaitingModule, AFailedTouchIsDeniedWhereTheModuleIsRequired) {
  service("");  // the password files
  writeFile(pam_.serviceDir() + "/ferrowick",
            "auth required " + std::string(WAITING_MODULE) + " trigger=" + dir_.file("trigger") +
                "\naccount required " + PamEnvironment::moduleDir() +
                "/pam_matrix.so passdb=" + dir_.file("passdb") + "\n");
  pinentry_.script({"hang"});
  std::thread trigger = triggerOnceShown("failure");
  RunResult result = approve();
  trigger.join();
  EXPECT_EQ(result.err, denied);
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(pinentry_.texts("CONFIRM"), testing::Contains("--one-button"));
  expectNoPinentryLeft();
}

TEST_F(WaitingModule, WhyTheAccountIsRefusedIsShownBeforeTheRunEnds) {
  // pam_unix says an expired password through the conversation, with no prompt after it.
  service("wait=0 then=next", "account required " + std::string(WAITING_MODULE) + " expired");
  pinentry_.script({std::string("pin ") + password, "confirm"});
  RunResult result = approve();
  EXPECT_EQ(result.err, denied);
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(pinentry_.runs(), 2);
  EXPECT_EQ(textsOfRun(2, "CONFIRM"), std::vector<std::string>{"--one-button"});
  ASSERT_EQ(textsOfRun(2, "SETDESC").size(), 1u);
  EXPECT_THAT(textsOfRun(2, "SETDESC")[0], HasSubstr("change your password"));
  expectNoPinentryLeft();
}

TEST_F(WaitingModule, PamsOwnPromptIsInTheOwnersLanguage) {
  if (access((std::string(TEST_LOCALES) + "/zh_CN.UTF-8/LC_CTYPE").c_str(), F_OK) != 0) {
    GTEST_SKIP() << "no zh_CN.UTF-8 locale was built";
  }
  // libpam's own "Password: " prompt, asked by the module; only the message locale counts.
  struct Case {
    std::map<std::string, std::optional<std::string>> environment;
    const char* prompt;
  };
  const Case cases[] = {
      {{{"LANG", "zh_CN.UTF-8"}, {"LC_ALL", std::nullopt}}, "密码"},
      {{{"LC_MESSAGES", "zh_CN.UTF-8"}, {"LANG", "C"}, {"LC_ALL", std::nullopt}}, "密码"},
      {{{"LANG", "C"}, {"LC_ALL", std::nullopt}, {"LC_MESSAGES", std::nullopt}}, "Password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prompt);
    ScriptedPinentry pinentry;
    pinentry.script({std::string("pin ") + password});
    service("wait=0 then=password");
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
    for (const auto& [key, value] : c.environment) options.environment[key] = value;
    options.environment["LOCPATH"] = TEST_LOCALES;
    RunResult result = testing_support::runFerrowick({"approve", reason}, options);
    EXPECT_EQ(result.out, "approved\n");
    EXPECT_EQ(result.err, "");  // the parent's messages stay English
    EXPECT_EQ(pinentry.texts("SETPROMPT"), std::vector<std::string>{c.prompt});
  }
}

TEST(ApprovalWithoutItsService, ARefusalWithoutAskingIsUnavailableWhenTheServiceIsMissing) {
  if (localauth::pamServiceInstalled("ferrowick")) {
    GTEST_SKIP() << "this machine has a ferrowick PAM service installed";
  }
  // The service file is missing: PAM runs "other", here pam_deny, which refuses unasked.
  PamEnvironment pam(PamEnvironment::currentUser(), password);
  ASSERT_EQ(unlink((pam.serviceDir() + "/ferrowick").c_str()), 0);
  ScriptedPinentry pinentry;
  pinentry.script({std::string("pin ") + password});
  testing_support::RunOptions options;
  options.environment = pam.environment();
  for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
  RunResult result = testing_support::runFerrowick({"approve", reason}, options);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, unavailable);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(pinentry.runs(), 0);
}

TEST(PamServiceInstalled, LooksForTheServiceFileInPamsFolders) {
  TempDir dir;
  mkdir(dir.file("etc").c_str(), 0700);
  mkdir(dir.file("vendor").c_str(), 0700);
  const std::vector<std::string> folders = {dir.file("etc"), dir.file("vendor"),
                                            dir.file("absent")};
  EXPECT_FALSE(localauth::pamServiceInstalled("ferrowick", folders));
  mkdir(dir.file("etc/ferrowick").c_str(), 0700);  // a folder is no service file
  EXPECT_FALSE(localauth::pamServiceInstalled("ferrowick", folders));
  writeFile(dir.file("vendor/ferrowick"), "auth required pam_deny.so\n");
  EXPECT_TRUE(localauth::pamServiceInstalled("ferrowick", folders));
  // No PAM folder at all: PAM is set up some way we can't see, so a refusal stays a refusal.
  const std::vector<std::string> none = {dir.file("absent")};
  EXPECT_TRUE(localauth::pamServiceInstalled("ferrowick", none));
}

}  // namespace
