// The local-authentication contract: what the tool may rely on from LocalAuthentication.h (the
// codes it tells "refused" from "nobody could be asked" by, what ends an evaluation), checked
// against the real service and against the fake with the same source.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "Ferrowick/interaction/LocalAuthentication.h"
#include "tests/localauth/EvaluationReplies.h"
#include "tests/localauth/LocalAuthenticationBackend.h"

// Each executable names the suite after its service, so their test names differ.
#ifndef LOCAL_AUTHENTICATION_CONTRACT
#define LOCAL_AUTHENTICATION_CONTRACT LocalAuthenticationContract
#endif

namespace {

using namespace std::chrono_literals;
using contract::Owner;

using localauth_test::Replies;

constexpr const char* cancelTitle = "取消执行";
constexpr const char* reason = "Peldora 请求批准";

class LOCAL_AUTHENTICATION_CONTRACT : public ::testing::Test {
 protected:
  void SetUp() override { contract::start(); }
  void TearDown() override { contract::finish(); }

  static void again() {
    contract::finish();
    contract::start();
  }
};

TEST_F(LOCAL_AUTHENTICATION_CONTRACT, EveryAnswerOfTheOwnerIsRepliedOnceWithItsCode) {
  struct Case {
    const char* label;
    Owner owner;
    bool success;
    long code;  // 0: no error object
  };
  const Case cases[] = {
      {"the right password", Owner::rightPassword, true, 0},
      {"a wrong password every time", Owner::wrongPasswords, false, LAErrorAuthenticationFailed},
      {"cancelled", Owner::cancels, false, LAErrorUserCancel},
      {"the prompt timed out", Owner::promptTimesOut, false, LAErrorSystemCancel},
      {"no prompt could be shown", Owner::noPrompt, false, LAErrorNotInteractive},
  };
  for (const Case& c : cases) {
    again();
    contract::owner(c.owner);
    auto replies = std::make_shared<Replies>();
    {
      LAContext context;
      context.setLocalizedCancelTitle(cancelTitle);
      NSError error;
      ASSERT_TRUE(context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error)) << c.label;
      context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, reason, Replies::reply(replies));
      ASSERT_TRUE(replies->waitForOne()) << c.label;
    }
    EXPECT_TRUE(replies->onlyOnce()) << c.label;
    EXPECT_EQ(replies->success, c.success) << c.label;
    EXPECT_EQ(replies->hadError, c.code != 0) << c.label;
    EXPECT_EQ(replies->code, c.code) << c.label;
    EXPECT_GE(contract::promptsShown(), 1) << c.label;
  }
}

TEST_F(LOCAL_AUTHENTICATION_CONTRACT, OnlyTheOwnersPolicyCanBeEvaluatedAndOnlyWhileTheyCanBeAsked) {
  LAContext context;
  NSError error;
  EXPECT_TRUE(context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error));

  error = {};
  EXPECT_FALSE(context.canEvaluatePolicy(1, &error));  // biometrics only: not offered
  EXPECT_EQ(error.code, LAErrorPasscodeNotSet);

  contract::withoutOwnerAuthentication();
  error = {};
  EXPECT_FALSE(context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error));
  EXPECT_EQ(error.code, LAErrorPasscodeNotSet);
  EXPECT_EQ(contract::promptsShown(), 0);
}

// The tool's own wait gives up by invalidating the context, or by letting it go (a front end
// that dies): either ends a prompt still open, and the reply says it was the app that ended it.
TEST_F(LOCAL_AUTHENTICATION_CONTRACT, EndingTheContextEndsAPendingEvaluationWithTheAppCancelCode) {
  struct Case {
    const char* label;
    bool invalidate;  // else the context is dropped
  };
  for (Case c : {Case{"invalidated", true}, Case{"dropped", false}}) {
    again();
    contract::owner(Owner::neverAnswers);
    auto replies = std::make_shared<Replies>();
    {
      LAContext context;
      context.setLocalizedCancelTitle(cancelTitle);
      context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, reason, Replies::reply(replies));
      ASSERT_TRUE(contract::waitForPrompt()) << c.label;
      {
        std::lock_guard<std::mutex> lock(replies->mutex);
        EXPECT_EQ(replies->count, 0) << c.label << ": replied while the prompt is open";
      }
      if (c.invalidate) context.invalidate();
    }
    ASSERT_TRUE(replies->waitForOne()) << c.label;
    EXPECT_TRUE(replies->onlyOnce()) << c.label;
    EXPECT_FALSE(replies->success) << c.label;
    EXPECT_EQ(replies->code, LAErrorAppCancel) << c.label;
  }
}

TEST_F(LOCAL_AUTHENTICATION_CONTRACT, WhatCannotBeEvaluatedIsRepliedWithoutAPrompt) {
  struct Case {
    const char* label;
    bool invalidatedFirst;
    LAPolicy policy;
    long code;
  };
  const Case cases[] = {
      {"an invalidated context", true, LAPolicyDeviceOwnerAuthentication, LAErrorAppCancel},
      {"a policy not offered", false, 1, LAErrorNotInteractive},
  };
  for (const Case& c : cases) {
    again();
    contract::owner(Owner::rightPassword);
    auto replies = std::make_shared<Replies>();
    {
      LAContext context;
      if (c.invalidatedFirst) context.invalidate();
      context.evaluatePolicy(c.policy, reason, Replies::reply(replies));
      ASSERT_TRUE(replies->waitForOne()) << c.label;
    }
    EXPECT_TRUE(replies->onlyOnce()) << c.label;
    EXPECT_FALSE(replies->success) << c.label;
    EXPECT_EQ(replies->code, c.code) << c.label;
    EXPECT_EQ(contract::promptsShown(), 0) << c.label;
  }
}

}  // namespace
