// The pinentry client against the scripted stand-in pinentry: what reaches the prompt, how each
// answer maps to an outcome, and that a stopped prompt leaves no process behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/pinentry/Pinentry.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using namespace std::chrono_literals;
using testing::Contains;
using testing::ElementsAre;
using testing::Not;
using testing_support::ScriptedPinentry;

bool processGone(int pid) {
  return kill(pid, 0) != 0 && errno == ESRCH;
}

// Waits until the scripted pinentry has been asked for its answer.
bool waitForCommand(const ScriptedPinentry& pinentry, const std::string& command) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!pinentry.texts(command).empty()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

class PinentryClient : public testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("PATH");
    savedPath_ = path != nullptr ? path : "";
    pinentry_.applyToThisProcess();
  }
  void TearDown() override { setenv("PATH", savedPath_.c_str(), 1); }

  pinentry::Request request() {
    pinentry::Request r;
    r.description = "描述";
    r.prompt = "Password";
    r.cancelLabel = "取消执行";
    r.timeoutSeconds = 30;
    return r;
  }

  ScriptedPinentry pinentry_;
  std::string savedPath_;
};

TEST_F(PinentryClient, TextsReachThePromptUnchangedAndThePinComesBack) {
  struct Case {
    const char* label;
    std::string text;
  };
  const Case cases[] = {
      {"percent", "100% sure %41"},
      {"line feed and carriage return", "first line\nsecond\r\nthird"},
      {"control bytes", std::string("tab\there \x01\x1f end")},
      {"Chinese with full-width punctuation", "Peldora 需要使用设备密钥：键名（测试）"},
      {"plus is literal", "a+b c"},
      {"empty", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    pinentry_.script({"pin s3cr%t 中文+x"});
    pinentry::Request r = request();
    r.title = c.text;
    r.description = c.text;
    r.error = c.text;
    r.okLabel = "确定";
    pinentry::Result result = pinentry::getPin(r);
    ASSERT_EQ(result.outcome, pinentry::Outcome::pin);
    EXPECT_TRUE(result.pin == SecureBytes(std::string_view("s3cr%t 中文+x")));
    EXPECT_EQ(pinentry_.texts("SETDESC").back(), c.text);
    if (!c.text.empty()) {
      EXPECT_EQ(pinentry_.texts("SETERROR").back(), c.text);
      EXPECT_EQ(pinentry_.texts("SETTITLE").back(), c.text);
    }
    EXPECT_EQ(pinentry_.texts("SETCANCEL").back(), "取消执行");
    EXPECT_EQ(pinentry_.texts("SETOK").back(), "确定");
  }
}

TEST_F(PinentryClient, SendsTheSessionInOrderAndOnlyTheSettingsGiven) {
  pinentry_.script({"pin x"});
  pinentry::Request r;
  r.description = "d";
  pinentry::Result result = pinentry::getPin(r);
  ASSERT_EQ(result.outcome, pinentry::Outcome::pin);
  std::vector<std::string> commands;
  for (const auto& entry : pinentry_.log()) {
    // The terminal options depend on where the tests run.
    if (entry.command == "OPTION" && entry.text != "lc-ctype=C.UTF-8") continue;
    commands.push_back(entry.command);
  }
  EXPECT_THAT(commands, ElementsAre("OPTION", "SETDESC", "SETTIMEOUT", "GETPIN", "BYE"));
  EXPECT_THAT(pinentry_.texts("SETTIMEOUT"), ElementsAre("0"));
  EXPECT_THAT(pinentry_.texts("OPTION"), Contains("lc-ctype=C.UTF-8"));
}

TEST_F(PinentryClient, RepeatAsksTwiceAndReportsTheMatch) {
  pinentry_.script({"pin new"});
  pinentry::Request r = request();
  r.repeat = "再次输入";
  pinentry::Result result = pinentry::getPin(r);
  ASSERT_EQ(result.outcome, pinentry::Outcome::pin);
  EXPECT_TRUE(result.repeated);
  EXPECT_THAT(pinentry_.texts("SETREPEAT"), ElementsAre("再次输入"));
  EXPECT_THAT(pinentry_.texts("SETTIMEOUT"), ElementsAre("30"));
}

TEST_F(PinentryClient, LongTextsAreCutAtACharacterBoundaryWithinOneLine) {
  struct Case {
    const char* label;
    std::string text;
  };
  std::string chinese, percents, mixed;
  for (int i = 0; i < 600; ++i) chinese += "密";
  for (int i = 0; i < 600; ++i) percents += "%";
  for (int i = 0; i < 300; ++i) mixed += "a\n中%";
  const Case cases[] = {{"Chinese", chinese}, {"percent signs", percents}, {"mixed", mixed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string line = pinentry::commandLine("SETDESC", c.text);
    EXPECT_LE(line.size(), 1000u);
    EXPECT_GT(line.size(), 990u);  // cut only as far as needed
    pinentry_.script({"pin x"});
    pinentry::Request r = request();
    r.description = c.text;
    ASSERT_EQ(pinentry::getPin(r).outcome, pinentry::Outcome::pin);
    std::string shown = pinentry_.texts("SETDESC").back();
    EXPECT_EQ(c.text.substr(0, shown.size()), shown);
    EXPECT_GT(shown.size(), 300u);
    // Never half a character: the rest starts with a lead byte.
    EXPECT_NE(static_cast<unsigned char>(c.text[shown.size()]) & 0xC0, 0x80);
  }
}

TEST(PinentryEscape, EncodesPercentCarriageReturnLineFeedAndControlBytesOnly) {
  EXPECT_EQ(pinentry::escape("100%\r\n\x01 +中"), "100%25%0D%0A%01 +中");
  EXPECT_EQ(pinentry::commandLine("SETPROMPT", ""), "SETPROMPT");
  EXPECT_EQ(pinentry::commandLine("SETPROMPT", "a b"), "SETPROMPT a b");
}

TEST_F(PinentryClient, EachAnswerMapsToItsOutcome) {
  struct Case {
    const char* answer;
    pinentry::Outcome getPin;
    pinentry::Outcome confirm;
  };
  using pinentry::Outcome;
  const Case cases[] = {
      {"cancel", Outcome::cancelled, Outcome::cancelled},
      {"notty", Outcome::unavailable, Outcome::unavailable},
      {"eof", Outcome::unavailable, Outcome::unavailable},
      {"timeout", Outcome::timedOut, Outcome::timedOut},
      {"deny", Outcome::cancelled, Outcome::cancelled},
      {"confirm", Outcome::cancelled, Outcome::confirmed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    pinentry_.script({c.answer, c.answer});
    pinentry::Result result = pinentry::getPin(request());
    EXPECT_EQ(result.outcome, c.getPin);
    EXPECT_TRUE(result.pin.empty());
    EXPECT_EQ(pinentry::confirm(request()), c.confirm);
    // Every run is over and reaped by the time the call returns.
    for (int pid : pinentry_.pids()) EXPECT_TRUE(processGone(pid));
  }
}

TEST_F(PinentryClient, AnExhaustedScriptCancels) {
  pinentry_.script({});
  EXPECT_EQ(pinentry::getPin(request()).outcome, pinentry::Outcome::cancelled);
}

TEST_F(PinentryClient, LoaderAndPamWrapperSettingsDoNotReachPinentry) {
  setenv("LD_FERROWICK_TEST", "1", 1);
  setenv("PAM_WRAPPER_FERROWICK_TEST", "1", 1);
  setenv("FERROWICK_KEPT", "1", 1);
  pinentry_.script({"pin x"});
  pinentry::getPin(request());
  unsetenv("LD_FERROWICK_TEST");
  unsetenv("PAM_WRAPPER_FERROWICK_TEST");
  unsetenv("FERROWICK_KEPT");
  auto names = pinentry_.environmentNames();
  EXPECT_THAT(names, Contains("FERROWICK_KEPT"));
  EXPECT_THAT(names, Contains("SCRIPTED_PINENTRY_DIR"));
  EXPECT_THAT(names, Not(Contains("LD_FERROWICK_TEST")));
  EXPECT_THAT(names, Not(Contains("PAM_WRAPPER_FERROWICK_TEST")));
}

TEST_F(PinentryClient, PinentryGetsOnlyItsPipesAndStandardError) {
  int inheritable = fcntl(STDERR_FILENO, F_DUPFD, 50);  // no close-on-exec
  ASSERT_GE(inheritable, 50);
  pinentry_.script({"pin x"});
  pinentry::getPin(request());
  close(inheritable);
  EXPECT_THAT(pinentry_.openDescriptors(), ElementsAre(0, 1, 2));
}

TEST_F(PinentryClient, WithoutPinentryOnPathNothingIsStarted) {
  testing_support::TempDir empty;
  testing_support::writeFile(empty.file("pinentry"), "#!/bin/sh\n", 0600);  // not executable
  setenv("PATH", empty.path().c_str(), 1);
  EXPECT_FALSE(pinentry::available());
  EXPECT_EQ(pinentry::getPin(request()).outcome, pinentry::Outcome::unavailable);
  EXPECT_EQ(pinentry::confirm(request()), pinentry::Outcome::unavailable);
  EXPECT_EQ(pinentry_.runs(), 0);
  pinentry_.applyToThisProcess();
  EXPECT_TRUE(pinentry::available());
}

class PinentryStop : public PinentryClient {
 protected:
  // Starts a prompt on its own thread, waits until it is shown, stops it and reports.
  void stopPendingPrompt(const std::string& answer, std::chrono::milliseconds expectedGrace) {
    pinentry_.script({answer});
    pinentry::Cancellation cancellation;
    pinentry::Outcome outcome = pinentry::Outcome::pin;
    std::thread prompt([&] { outcome = pinentry::getPin(request(), &cancellation).outcome; });
    ASSERT_TRUE(waitForCommand(pinentry_, "GETPIN"));
    int pid = pinentry_.lastPid();
    ASSERT_FALSE(processGone(pid));

    auto before = std::chrono::steady_clock::now();
    cancellation.stop();
    auto stopTook = std::chrono::steady_clock::now() - before;
    prompt.join();
    auto promptTook = std::chrono::steady_clock::now() - before;

    EXPECT_LT(stopTook, 50ms);  // stop() only signals
    EXPECT_EQ(outcome, pinentry::Outcome::stopped);
    EXPECT_TRUE(processGone(pid));  // gone and reaped: a zombie would still take signals
    EXPECT_GE(promptTook, expectedGrace);
    EXPECT_LT(promptTook, expectedGrace + 1500ms);
    EXPECT_TRUE(cancellation.stopped());
  }
};

TEST_F(PinentryStop, AHungPromptEndsOnSigint) {
  stopPendingPrompt("hang", 0ms);
}

TEST_F(PinentryStop, APromptDeafToSigintIsKilledAfterTheGrace) {
  stopPendingPrompt("stubborn", 400ms);
}

TEST_F(PinentryStop, StopBeforeThePromptStartsNothing) {
  pinentry::Cancellation cancellation;
  cancellation.stop();
  cancellation.stop();
  EXPECT_EQ(pinentry::getPin(request(), &cancellation).outcome, pinentry::Outcome::stopped);
  EXPECT_EQ(pinentry::confirm(request(), &cancellation), pinentry::Outcome::stopped);
  EXPECT_EQ(pinentry_.runs(), 0);
}

TEST_F(PinentryStop, StopAfterThePromptChangesNothing) {
  pinentry_.script({"pin x"});
  pinentry::Cancellation cancellation;
  EXPECT_EQ(pinentry::getPin(request(), &cancellation).outcome, pinentry::Outcome::pin);
  cancellation.stop();
  EXPECT_EQ(pinentry_.runs(), 1);
}

}  // namespace
