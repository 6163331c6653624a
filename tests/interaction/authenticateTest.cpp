// The owner-approval wait, against doubles of local authentication and of the clock/semaphore.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Ferrowick/frontEnd.h"
#include "Ferrowick/interaction/authenticate.h"
#include "tests/fakes/FakeDispatch.h"
#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeLocalAuthentication.h"

namespace {

using fake::localauth::ReplyTiming;
using ::testing::ElementsAre;

constexpr std::uint64_t ninetySeconds = 90'000'000'000;

class AuthenticateTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::localauth::reset(); }
  void TearDown() override { fake::localauth::reset(); }

  static fake::Outcome approve(std::string reason) {
    return fake::runFrontEnd({"Ferrowick", "approve", std::move(reason)});
  }
};

TEST_F(AuthenticateTest, ApprovalWithinTheLimitPrintsApproved) {
  struct Case {
    ReplyTiming timing;
    const char* label;
  };
  for (Case c : {Case{ReplyTiming::immediately, "reply before the wait starts"},
                 Case{ReplyTiming::duringWait, "reply during the wait"}}) {
    fake::localauth::reset();
    fake::localauth::state().timing = c.timing;
    fake::Outcome outcome = approve("sign in");
    EXPECT_EQ(outcome.status, 0) << c.label;
    EXPECT_EQ(outcome.out, "approved\n") << c.label;
    EXPECT_EQ(outcome.err, "") << c.label;
    EXPECT_THAT(fake::localauth::state().calls,
                ElementsAre("init", "setLocalizedCancelTitle:取消执行", "canEvaluatePolicy:2",
                            "evaluatePolicy:2:sign in", "dealloc"))
        << c.label;
  }
}

TEST_F(AuthenticateTest, DeadlineIsNinetySecondsAfterTheEvaluationStarted) {
  fake::dispatch::state().now = 123'000'000'000;
  approve("x");
  // The clock is read once, after the evaluation has been started, and the wait uses it.
  EXPECT_THAT(fake::events(),
              ElementsAre("init", "setLocalizedCancelTitle:取消执行", "canEvaluatePolicy:2",
                          "evaluatePolicy:2:x", "signal", "DispatchTime.now", "wait", "dealloc"));
  EXPECT_THAT(fake::dispatch::state().waits, ElementsAre(123'000'000'000 + ninetySeconds));
}

TEST_F(AuthenticateTest, RefusalOrTimeOutInvalidatesThenDies) {
  struct Case {
    ReplyTiming timing;
    bool verdict;
    const char* label;
  };
  for (Case c : {Case{ReplyTiming::immediately, false, "refused before the wait"},
                 Case{ReplyTiming::duringWait, false, "refused during the wait"},
                 Case{ReplyTiming::never, true, "no reply before the deadline"}}) {
    fake::localauth::reset();
    fake::localauth::state().verdict = c.verdict;
    fake::localauth::state().timing = c.timing;
    fake::Outcome outcome = approve("x");
    EXPECT_EQ(outcome.status, 1) << c.label;
    EXPECT_EQ(outcome.out, "") << c.label;
    EXPECT_EQ(outcome.err, "User approval denied or expired\n") << c.label;
    EXPECT_THAT(fake::localauth::state().calls,
                ElementsAre("init", "setLocalizedCancelTitle:取消执行", "canEvaluatePolicy:2",
                            "evaluatePolicy:2:x", "invalidate", "dealloc"))
        << c.label;
  }
}

TEST_F(AuthenticateTest, ARefusalSaysWhetherTheOwnerCouldBeAskedAtAll) {
  struct Case {
    long code;
    const char* message;
  };
  const char* denied = "User approval denied or expired\n";
  const char* unavailable = "Local user authentication unavailable\n";
  for (Case c :
       {Case{0, denied}, Case{LAErrorAuthenticationFailed, denied}, Case{LAErrorUserCancel, denied},
        Case{LAErrorSystemCancel, denied}, Case{LAErrorAppCancel, denied},
        Case{LAErrorNotInteractive, unavailable}, Case{LAErrorPasscodeNotSet, unavailable}}) {
    fake::localauth::reset();
    fake::localauth::state().verdict = false;
    fake::localauth::state().errorCode = c.code;
    fake::Outcome outcome = approve("x");
    EXPECT_EQ(outcome.status, 1) << c.code;
    EXPECT_EQ(outcome.out, "") << c.code;
    EXPECT_EQ(outcome.err, c.message) << c.code;
  }
}

TEST_F(AuthenticateTest, ALateReplyAfterTheTimeOutTouchesNothingFreed) {
  fake::localauth::state().timing = ReplyTiming::never;
  fake::Outcome outcome = approve("x");
  ASSERT_EQ(outcome.status, 1);

  // The reply arrives after authenticate has given up and its context is gone: it must only
  // write into state it shares ownership of (AddressSanitizer would catch anything else).
  ASSERT_TRUE(fake::localauth::state().pendingReply);
  int signalsBefore = fake::dispatch::state().signals;
  fake::localauth::state().pendingReply(true, nullptr);
  EXPECT_EQ(fake::dispatch::state().signals, signalsBefore + 1);
  EXPECT_EQ(fake::streams().out, "");
}

TEST_F(AuthenticateTest, UnavailableDiesWithoutEvaluatingOrInvalidating) {
  fake::localauth::state().canEvaluate = false;
  fake::Outcome outcome = approve("x");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Local user authentication unavailable\n");
  EXPECT_THAT(
      fake::localauth::state().calls,
      ElementsAre("init", "setLocalizedCancelTitle:取消执行", "canEvaluatePolicy:2", "dealloc"));
  EXPECT_TRUE(fake::dispatch::state().waits.empty());
}

TEST_F(AuthenticateTest, ReasonReachesTheServiceUnchanged) {
  for (std::string reason : {std::string(""), std::string("需要批准：100%\n第二行"),
                             std::string("\xff\xfe") + " not UTF-8"}) {
    fake::localauth::reset();
    fake::Outcome outcome = approve(reason);
    EXPECT_EQ(outcome.out, "approved\n");
    EXPECT_EQ(fake::localauth::state().calls.at(3), "evaluatePolicy:2:" + reason);
  }
}

}  // namespace
