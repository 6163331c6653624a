// The owner-approval wait, against doubles of local authentication and of the clock/semaphore:
// what the parent gets and what the owner was shown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "Ferrowick/frontEnd.h"
#include "Ferrowick/interaction/authenticate.h"
#include "tests/fakes/FakeDispatch.h"
#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeLocalAuthentication.h"

namespace {

using fake::localauth::Prompt;
using fake::localauth::ReplyTiming;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::uint64_t ninetySeconds = 90'000'000'000;
constexpr const char* cancelTitle = "取消执行";
constexpr const char* denied = "User approval denied or expired\n";
constexpr const char* unavailable = "Local user authentication unavailable\n";

class AuthenticateTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::localauth::reset(); }
  void TearDown() override { fake::localauth::reset(); }

  static fake::Outcome approve(std::string reason) {
    return fake::runFrontEnd({"Ferrowick", "approve", std::move(reason)});
  }
};

TEST_F(AuthenticateTest, AnApprovalWithinTheLimitPrintsApprovedAfterOnePrompt) {
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
    EXPECT_THAT(fake::localauth::state().shown, ElementsAre(Prompt{"sign in", cancelTitle}))
        << c.label;
  }
}

TEST_F(AuthenticateTest, TheDeadlineIsNinetySecondsAfterTheEvaluationStarted) {
  fake::dispatch::state().now = 123'000'000'000;
  fake::localauth::state().timing = ReplyTiming::never;
  approve("x");
  EXPECT_THAT(fake::dispatch::state().waits, ElementsAre(123'000'000'000 + ninetySeconds));
  // The limit is the owner's time to answer: it is measured from the prompt, not from before.
  const auto& events = fake::events();
  auto evaluation = std::find(events.begin(), events.end(), "evaluatePolicy:2:x");
  auto clock = std::find(events.begin(), events.end(), "DispatchTime.now");
  ASSERT_NE(evaluation, events.end());
  ASSERT_NE(clock, events.end());
  EXPECT_LT(evaluation, clock);
}

TEST_F(AuthenticateTest, ARefusalOrNoAnswerInTimeIsDeniedAndLeavesNoPromptOpen) {
  struct Case {
    const char* label;
    ReplyTiming timing;
    bool verdict;
  };
  const Case cases[] = {
      {"refused before the wait", ReplyTiming::immediately, false},
      {"refused during the wait", ReplyTiming::duringWait, false},
      {"no answer before the deadline", ReplyTiming::never, true},
      // An approval that comes only as the wait gives up is no approval; it writes into state
      // the reply shares, never into the finished wait's (AddressSanitizer watches that).
      {"an approval after the deadline", ReplyTiming::late, true},
  };
  for (const Case& c : cases) {
    fake::localauth::reset();
    fake::localauth::state().verdict = c.verdict;
    fake::localauth::state().timing = c.timing;
    fake::Outcome outcome = approve("x");
    EXPECT_EQ(outcome.status, 1) << c.label;
    EXPECT_EQ(outcome.out, "") << c.label;
    EXPECT_EQ(outcome.err, denied) << c.label;
    EXPECT_EQ(fake::localauth::state().shown.size(), 1u) << c.label;
    EXPECT_FALSE(fake::localauth::state().pendingReply) << c.label << ": the prompt is still open";
  }
}

TEST_F(AuthenticateTest, ARefusalSaysWhetherTheOwnerCouldBeAskedAtAll) {
  struct Case {
    long code;
    const char* message;
  };
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

TEST_F(AuthenticateTest, WhenTheOwnerCannotBeAskedNothingIsShownOrWaitedFor) {
  fake::localauth::state().canEvaluate = false;
  fake::Outcome outcome = approve("x");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, unavailable);
  EXPECT_THAT(fake::localauth::state().shown, IsEmpty());
  EXPECT_THAT(fake::dispatch::state().waits, IsEmpty());
}

TEST_F(AuthenticateTest, TheReasonIsShownUnchanged) {
  for (std::string reason : {std::string(""), std::string("需要批准：100%\n第二行"),
                             std::string("\xff\xfe") + " not UTF-8"}) {
    fake::localauth::reset();
    fake::Outcome outcome = approve(reason);
    EXPECT_EQ(outcome.out, "approved\n");
    EXPECT_THAT(fake::localauth::state().shown, ElementsAre(Prompt{reason, cancelTitle}));
  }
}

}  // namespace
