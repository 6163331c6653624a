// The pinentry client against the scripted stand-in pinentry: what reaches the prompt, how each
// answer maps to an outcome, and that a stopped prompt leaves no process behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/pinentry/Pinentry.h"
#include "platform/pinentry/assuan.h"
#include "tests/support/ScriptedPinentry.h"
#include "tests/support/Waiting.h"

namespace {

using namespace std::chrono_literals;
using testing::Contains;
using testing::ElementsAre;
using testing::Not;
using testing_support::processGone;
using testing_support::ScriptedPinentry;

// Waits until the scripted pinentry has been asked for its answer.
class PinentryClient : public testing::Test {
 protected:
  pinentry::Request request() {
    pinentry::Request r;
    r.description = "描述";
    r.prompt = "Password";
    r.cancelLabel = "取消执行";
    r.timeoutSeconds = 30;
    return r;
  }

  testing_support::InProcessPinentry pinentry_;
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

TEST_F(PinentryClient, ARepeatedEntryIsConfirmedWhateverThePinentryDoesWithRepeat) {
  using Repeat = ScriptedPinentry::Repeat;
  using pinentry::Outcome;
  struct Case {
    const char* label;
    Repeat flavour;
    std::vector<std::string> answers;
    Outcome outcome;
    bool repeated;
    std::vector<std::string> prompts;  // SETPROMPT texts, in order
  };
  const Case cases[] = {
      {"pinentry confirms itself",
       Repeat::confirmsItself,
       {"pin new"},
       Outcome::pin,
       true,
       {"Password"}},
      {"asks once, same entries",
       Repeat::asksOnce,
       {"pin new", "pin new"},
       Outcome::pin,
       true,
       {"Password", "再次输入"}},
      {"asks once, different entries",
       Repeat::asksOnce,
       {"pin new", "pin newer"},
       Outcome::pin,
       false,
       {"Password", "再次输入"}},
      {"asks once, second entry cancelled",
       Repeat::asksOnce,
       {"pin new", "cancel"},
       Outcome::cancelled,
       false,
       {"Password", "再次输入"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptedPinentry pinentry;
    pinentry.applyToThisProcess();
    pinentry.repeat(c.flavour);
    pinentry.script(c.answers);
    pinentry::Request r = request();
    r.repeat = "再次输入";
    pinentry::Result result = pinentry::getPin(r);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.repeated, c.repeated);
    // Only a confirmed entry comes back.
    EXPECT_TRUE(result.pin == (c.repeated ? SecureBytes(std::string_view("new")) : SecureBytes()));
    EXPECT_EQ(pinentry.runs(), 1);
    EXPECT_THAT(pinentry.texts("SETREPEAT"), ElementsAre("再次输入"));
    EXPECT_EQ(pinentry.texts("SETPROMPT"), c.prompts);
  }
}

TEST_F(PinentryClient, LongTextsAreCutVisiblyAtACharacterBoundaryWithinOneLine) {
  struct Case {
    const char* label;
    std::string text;
    bool cut;
  };
  std::string chinese, percents, mixed;
  for (int i = 0; i < 600; ++i) chinese += "密";
  for (int i = 0; i < 600; ++i) percents += "%";
  for (int i = 0; i < 300; ++i) mixed += "a\n中%";
  const std::string fitsExactly(1000 - std::string("SETDESC ").size(), 'x');
  const Case cases[] = {
      {"Chinese", chinese, true},
      {"percent signs", percents, true},
      {"mixed", mixed, true},
      {"fits exactly", fitsExactly, false},
      {"one byte too many", fitsExactly + "y", true},
  };
  const std::string mark = "…";
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
    if (!c.cut) {
      EXPECT_EQ(shown, c.text);
      continue;
    }
    ASSERT_TRUE(shown.ends_with(mark));
    std::string kept = shown.substr(0, shown.size() - mark.size());
    EXPECT_EQ(c.text.substr(0, kept.size()), kept);
    EXPECT_GT(kept.size(), 300u);
    // Never half a character: the rest starts with a lead byte.
    EXPECT_NE(static_cast<unsigned char>(c.text[kept.size()]) & 0xC0, 0x80);
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
      {"ttydenied", Outcome::unavailable, Outcome::unavailable},
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

// A check of the stand-in, not of the client: the other tests rely on a script that runs out
// ending in a cancel (a prompt too many fails the test's expectations), never in a hang.
TEST_F(PinentryClient, TheScriptedStandInCancelsOnceItsAnswersRunOut) {
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
  // 3 is the checked program itself: a script is run from its descriptor, which its
  // interpreter reads as /dev/fd/3 (a compiled pinentry gets 0 to 2 only).
  EXPECT_THAT(pinentry_.openDescriptors(), ElementsAre(0, 1, 2, 3));
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

// Which pinentry may be run. PATH holds a candidate first and a trusted scripted pinentry after
// it; the candidate answers only when nobody but root or this user could have placed it.
TEST_F(PinentryClient, OnlyAPinentryNobodyElseCouldHavePlacedIsRun) {
  if (getuid() != 0) GTEST_SKIP() << "handing files to another user needs root";
  passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t other = nobody->pw_uid;
  struct Case {
    const char* label;
    // Prepares the candidate; returns its PATH entry and where to run from.
    std::function<std::pair<std::string, std::string>(const ScriptedPinentry&,
                                                      const testing_support::TempDir&)>
        place;
    bool run;
  };
  auto own = [](const std::string& path, uid_t uid) { return lchown(path.c_str(), uid, 0) == 0; };
  const Case cases[] = {
      {"a private folder of ours",
       [](const ScriptedPinentry& c, const testing_support::TempDir&) {
         return std::pair{c.binDir(), std::string("/")};
       },
       true},
      {"an empty entry: the working directory",
       [](const ScriptedPinentry& c, const testing_support::TempDir&) {
         return std::pair{std::string(""), c.binDir()};
       },
       false},
      {"a relative entry",
       [](const ScriptedPinentry& c, const testing_support::TempDir&) {
         return std::pair{std::string("bin"), c.binDir() + "/.."};
       },
       false},
      {"a folder owned by someone else",
       [&](const ScriptedPinentry& c, const testing_support::TempDir&) {
         EXPECT_TRUE(own(c.binDir(), other));
         return std::pair{c.binDir(), std::string("/")};
       },
       false},
      {"a file owned by someone else",
       [&](const ScriptedPinentry& c, const testing_support::TempDir&) {
         EXPECT_TRUE(own(c.binDir() + "/pinentry", other));
         return std::pair{c.binDir(), std::string("/")};
       },
       false},
      {"a file the group may change",
       [](const ScriptedPinentry& c, const testing_support::TempDir&) {
         chmod((c.binDir() + "/pinentry").c_str(), 0770);
         return std::pair{c.binDir(), std::string("/")};
       },
       false},
      {"a folder anyone may write to, sticky like /tmp",
       [](const ScriptedPinentry& c, const testing_support::TempDir&) {
         chmod(c.binDir().c_str(), 01777);
         return std::pair{c.binDir(), std::string("/")};
       },
       false},
      {"our link to a trusted file",
       [](const ScriptedPinentry& c, const testing_support::TempDir& links) {
         EXPECT_EQ(symlink((c.binDir() + "/pinentry").c_str(), links.file("pinentry").c_str()), 0);
         return std::pair{links.path(), std::string("/")};
       },
       true},
      {"our link to a file in a folder owned by someone else",
       [&](const ScriptedPinentry& c, const testing_support::TempDir& links) {
         EXPECT_EQ(symlink((c.binDir() + "/pinentry").c_str(), links.file("pinentry").c_str()), 0);
         EXPECT_TRUE(own(c.binDir(), other));
         return std::pair{links.path(), std::string("/")};
       },
       false},
  };
  char saved[PATH_MAX];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptedPinentry candidate, fallback;
    testing_support::TempDir links;
    candidate.script({"pin candidate"});
    fallback.script({"pin fallback"});
    auto [entry, workingDirectory] = c.place(candidate, links);
    setenv("PATH", (entry + ":" + fallback.binDir()).c_str(), 1);
    ASSERT_EQ(chdir(workingDirectory.c_str()), 0);
    pinentry::Result result = pinentry::getPin(request());
    ASSERT_EQ(chdir(saved), 0);
    ASSERT_EQ(result.outcome, pinentry::Outcome::pin);
    EXPECT_TRUE(result.pin == SecureBytes(std::string_view(c.run ? "candidate" : "fallback")));
    EXPECT_EQ(candidate.runs(), c.run ? 1 : 0);
    // So that it can be cleaned up as usual.
    EXPECT_EQ(lchown(candidate.binDir().c_str(), 0, 0), 0);
  }
}

class PinentryStop : public PinentryClient {
 protected:
  // Starts a prompt on its own thread, waits until it is shown, stops it and reports.
  void stopPendingPrompt(const std::string& answer, std::chrono::milliseconds expectedGrace) {
    pinentry_.script({answer});
    pinentry::Cancellation cancellation;
    pinentry::Outcome outcome = pinentry::Outcome::pin;
    std::thread prompt([&] { outcome = pinentry::getPin(request(), &cancellation).outcome; });
    ASSERT_TRUE(pinentry_.waitForCommand("GETPIN", 10s));
    int pid = pinentry_.lastPid();
    ASSERT_FALSE(processGone(pid));

    auto before = std::chrono::steady_clock::now();
    cancellation.stop();
    // stop() only signals: a pinentry deaf to SIGINT is still there when it returns.
    bool aliveAfterStop = !processGone(pid);
    prompt.join();
    auto promptTook = std::chrono::steady_clock::now() - before;

    if (expectedGrace > 0ms) {
      EXPECT_TRUE(aliveAfterStop) << "stop() waited for the prompt";
    }
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

// A process that exits while a prompt is up leaves no pinentry behind, even one deaf to SIGINT
// and to its own time-out, and it exits soon after: the grace, not more.
TEST_F(PinentryStop, NoPinentryOutlivesTheProcess) {
  struct Case {
    const char* label;
    bool cancellable;  // an approval prompt; the keychain's prompts have no cancellation
    bool stopFirst;    // stopped before the exit, as a given-up approval wait does
  };
  const Case cases[] = {
      {"stopped, then exit", true, true},
      {"exit with the prompt still up", true, false},
      {"exit during a prompt without cancellation", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptedPinentry pinentry;
    pinentry.applyToThisProcess();
    pinentry.script({"stubborn"});
    int clock[2];
    ASSERT_EQ(pipe(clock), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Left to a detached thread, as the approval's evaluation is.
      auto* cancellation = new pinentry::Cancellation;
      pinentry::Request r = request();
      std::thread([r, cancellation, cancellable = c.cancellable] {
        pinentry::getPin(r, cancellable ? cancellation : nullptr);
      }).detach();
      if (!pinentry.waitForCommand("GETPIN", 10s)) _exit(3);
      if (c.stopFirst) cancellation->stop();
      auto exitStarted = std::chrono::steady_clock::now().time_since_epoch().count();
      if (write(clock[1], &exitStarted, sizeof exitStarted) != sizeof exitStarted) _exit(4);
      std::exit(0);
    }
    close(clock[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    auto ended = std::chrono::steady_clock::now();
    decltype(ended.time_since_epoch().count()) exitStarted = 0;
    ASSERT_EQ(read(clock[0], &exitStarted, sizeof exitStarted),
              static_cast<ssize_t>(sizeof exitStarted));
    close(clock[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    int prompt = pinentry.lastPid();
    ASSERT_GT(prompt, 0);
    EXPECT_TRUE(processGone(prompt));
    EXPECT_LT(ended.time_since_epoch().count() - exitStarted,
              std::chrono::steady_clock::duration(1500ms).count());
    if (!processGone(prompt)) kill(prompt, SIGKILL);
  }
}

}  // namespace

namespace {

// A pinentry that ignores its time-out is ended by us a second after it should have ended.
TEST_F(PinentryClient, APromptPastItsTimeOutIsEndedByUs) {
  pinentry_.script({"hang"});
  pinentry::Request timed = request();
  timed.timeoutSeconds = 1;
  auto before = std::chrono::steady_clock::now();
  pinentry::Result result = pinentry::getPin(timed);
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(result.outcome, pinentry::Outcome::stopped);
  EXPECT_GE(took, 2s);
  EXPECT_LT(took, 4s);
  EXPECT_TRUE(processGone(pinentry_.lastPid()));
}

}  // namespace

namespace {

// "pw\0junk" would reach PAM as "pw": such an answer is no PIN at all, whatever was asked.
TEST_F(PinentryClient, AnAnswerWithANulIsAWrongEntry) {
  const std::string withNul("pw\0junk", 7);
  pinentry_.script({"pin " + withNul});
  pinentry::Result result = pinentry::getPin(request());
  EXPECT_EQ(result.outcome, pinentry::Outcome::pin);
  EXPECT_TRUE(result.pin.empty());
  EXPECT_FALSE(result.repeated);

  // Asked twice (as pinentry-curses is for a new password): a mismatch, as for two entries
  // that differ.
  pinentry_.repeat(ScriptedPinentry::Repeat::asksOnce);
  pinentry_.script({"pin " + withNul, "pin " + withNul});
  pinentry::Request twice = request();
  twice.repeat = "Repeat";
  result = pinentry::getPin(twice);
  EXPECT_EQ(result.outcome, pinentry::Outcome::pin);
  EXPECT_TRUE(result.pin.empty());
  EXPECT_FALSE(result.repeated);
}

// Data past the cap ends the reply at once: the rest of an endless answer is never read.
TEST(PinentryReply, DataPastTheCapIsRefusedAtOnce) {
  const std::string line = "D " + std::string(999, 'p') + "\n";
  std::size_t lines = 0;
  pinentry::assuan::LineReader reader([&](std::span<std::uint8_t> into, std::size_t& got) {
    if (lines > 1000000) return pinentry::assuan::Io::eof;  // 1 GB: a bound for the test only
    got = std::min(into.size(), line.size());
    std::memcpy(into.data(), line.data(), got);
    if (got == line.size()) ++lines;
    return pinentry::assuan::Io::ok;
  });
  SecureBytes pin;
  pinentry::assuan::Reply reply =
      pinentry::assuan::readReply(reader, &pin, [] { return pinentry::assuan::Io::ok; });
  EXPECT_TRUE(reply.badData);
  EXPECT_EQ(pinentry::assuan::pinOutcome(reply), pinentry::Outcome::unavailable);
  EXPECT_TRUE(pin.empty());
  EXPECT_LE(lines, pinentry::assuan::maxPinSize / 999 + 2);
}

}  // namespace
