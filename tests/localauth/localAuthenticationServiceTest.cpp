// The real LAContext in this process (PAM through the preloaded libpam_wrapper, prompts by the
// scripted pinentry), for what only it has: prompt processes, threads. Error codes and what
// ends an evaluation are the contract suite's (localAuthenticationContractTest.cpp).
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "Ferrowick/interaction/LocalAuthentication.h"
#include "tests/localauth/EvaluationReplies.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/ScriptedPinentry.h"
#include "tests/support/Waiting.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::processGone;
using testing_support::ScriptedPinentry;

constexpr const char* password = "s3cret";

using localauth_test::Replies;

// The wrapper takes its service directory once per process: one for the whole program.
const PamEnvironment& pam() {
  static const PamEnvironment* environment = [] {
    auto* made = new PamEnvironment(PamEnvironment::currentUser(), password);
    made->applyToThisProcess();
    return made;
  }();
  return *environment;
}

class LocalAuthenticationService : public testing::Test {
 protected:
  void SetUp() override { pam(); }

  testing_support::InProcessPinentry pinentry_;
  std::shared_ptr<Replies> replies_ = std::make_shared<Replies>();
};

TEST_F(LocalAuthenticationService, InvalidateEndsTheOpenPromptsProcessWithoutWaitingForIt) {
  // Deaf to SIGINT: only the kill after the stop's grace ends it, so an invalidate that waited
  // for the prompt to end would come back only once the process is gone.
  pinentry_.script({"stubborn"});
  LAContext context;
  context.setLocalizedCancelTitle("取消执行");
  NSError error;
  ASSERT_TRUE(context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error));
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, "理由", Replies::reply(replies_));
  ASSERT_TRUE(pinentry_.waitForCommand("GETPIN", 10s));
  int pid = pinentry_.lastPid();
  ASSERT_FALSE(processGone(pid));

  context.invalidate();
  EXPECT_FALSE(processGone(pid)) << "invalidate waited for the prompt to end";

  ASSERT_TRUE(replies_->waitForOne(10s));
  EXPECT_FALSE(replies_->success);
  EXPECT_EQ(replies_->code, LAErrorAppCancel);
  EXPECT_TRUE(processGone(pid));   // ended and reaped, no zombie
  EXPECT_EQ(pinentry_.runs(), 1);  // no retry after an invalidation
  EXPECT_TRUE(replies_->onlyOnce());
}

TEST_F(LocalAuthenticationService, DroppingTheContextEndsItsPromptAndTheReplyStillComes) {
  pinentry_.script({"hang"});
  int pid = 0;
  {
    LAContext context;
    context.setLocalizedCancelTitle("取消执行");
    context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, "理由", Replies::reply(replies_));
    ASSERT_TRUE(pinentry_.waitForCommand("GETPIN", 10s));
    pid = pinentry_.lastPid();
  }
  ASSERT_TRUE(replies_->waitForOne(10s));
  EXPECT_FALSE(replies_->success);
  EXPECT_TRUE(processGone(pid));
  EXPECT_TRUE(replies_->onlyOnce());
}

TEST_F(LocalAuthenticationService, AnApprovalIsRepliedOnceOnAnotherThread) {
  pinentry_.script({std::string("pin ") + password});
  auto caller = std::this_thread::get_id();
  auto thread = std::make_shared<std::thread::id>();
  LAContext context;
  context.setLocalizedCancelTitle("取消执行");
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, "理由",
                         [reply = Replies::reply(replies_), thread](bool ok, const NSError* error) {
                           *thread = std::this_thread::get_id();
                           reply(ok, error);
                         });
  ASSERT_TRUE(replies_->waitForOne(10s));
  EXPECT_TRUE(replies_->success);
  EXPECT_EQ(replies_->code, 0);
  EXPECT_NE(*thread, caller);
  EXPECT_TRUE(replies_->onlyOnce());
}

}  // namespace

int main(int argc, char** argv) {
  PamEnvironment::preloadIntoThisProgram(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
