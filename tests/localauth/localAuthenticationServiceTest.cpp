// The real LAContext in this process (PAM through the preloaded libpam_wrapper, prompts by the
// scripted pinentry): invalidating or dropping a context ends a hung prompt at once, and the
// reply still comes exactly once.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "Ferrowick/interaction/LocalAuthentication.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::ScriptedPinentry;

constexpr const char* password = "s3cret";

bool processGone(int pid) {
  return kill(pid, 0) != 0 && errno == ESRCH;
}

// What the evaluation thread reports; shared, since the reply may outlive the test's frame.
struct Replies {
  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  bool success = false;
  bool hadError = false;

  LAContext::Reply reply(std::shared_ptr<Replies> self) {
    return [self](bool ok, const NSError* error) {
      std::lock_guard<std::mutex> lock(self->mutex);
      ++self->count;
      self->success = ok;
      self->hadError = error != nullptr;
      self->arrived.notify_all();
    };
  }
  bool waitForOne(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, timeout, [this] { return count > 0; });
  }
};

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
  void SetUp() override {
    const char* path = std::getenv("PATH");
    savedPath_ = path != nullptr ? path : "";
    pinentry_.applyToThisProcess();
    pam();
  }
  void TearDown() override { setenv("PATH", savedPath_.c_str(), 1); }

  bool waitForPrompt() {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!pinentry_.texts("GETPIN").empty()) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  ScriptedPinentry pinentry_;
  std::string savedPath_;
  std::shared_ptr<Replies> replies_ = std::make_shared<Replies>();
};

TEST_F(LocalAuthenticationService, InvalidateEndsAHungPromptWithoutWaitingForIt) {
  pinentry_.script({"hang"});
  LAContext context;
  context.setLocalizedCancelTitle("取消执行");
  NSError error;
  ASSERT_TRUE(context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error));
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, "理由", replies_->reply(replies_));
  ASSERT_TRUE(waitForPrompt());
  int pid = pinentry_.lastPid();
  ASSERT_FALSE(processGone(pid));

  auto before = std::chrono::steady_clock::now();
  context.invalidate();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms);

  ASSERT_TRUE(replies_->waitForOne(3s));
  EXPECT_FALSE(replies_->success);
  EXPECT_TRUE(replies_->hadError);
  EXPECT_TRUE(processGone(pid));   // ended and reaped, no zombie
  EXPECT_EQ(pinentry_.runs(), 1);  // no retry after an invalidation
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(replies_->count, 1);
}

TEST_F(LocalAuthenticationService, DroppingTheContextEndsItsPromptAndTheReplyStillComes) {
  pinentry_.script({"hang"});
  int pid = 0;
  {
    LAContext context;
    context.setLocalizedCancelTitle("取消执行");
    context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, "理由", replies_->reply(replies_));
    ASSERT_TRUE(waitForPrompt());
    pid = pinentry_.lastPid();
  }
  ASSERT_TRUE(replies_->waitForOne(3s));
  EXPECT_FALSE(replies_->success);
  EXPECT_TRUE(processGone(pid));
}

TEST_F(LocalAuthenticationService, AnApprovalIsRepliedOnceOnAnotherThread) {
  pinentry_.script({std::string("pin ") + password});
  auto caller = std::this_thread::get_id();
  auto thread = std::make_shared<std::thread::id>();
  LAContext context;
  context.setLocalizedCancelTitle("取消执行");
  auto reply = replies_->reply(replies_);
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, "理由",
                         [reply, thread](bool ok, const NSError* error) {
                           *thread = std::this_thread::get_id();
                           reply(ok, error);
                         });
  ASSERT_TRUE(replies_->waitForOne(10s));
  EXPECT_TRUE(replies_->success);
  EXPECT_FALSE(replies_->hadError);
  EXPECT_NE(*thread, caller);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(replies_->count, 1);
}

TEST_F(LocalAuthenticationService, InvalidatingBeforeTheEvaluationShowsNoPrompt) {
  pinentry_.script({std::string("pin ") + password});
  LAContext context;
  context.invalidate();
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, "理由", replies_->reply(replies_));
  ASSERT_TRUE(replies_->waitForOne(10s));
  EXPECT_FALSE(replies_->success);
  EXPECT_EQ(pinentry_.runs(), 0);
}

TEST_F(LocalAuthenticationService, CannotEvaluateWithoutPinentryOrForAnotherPolicy) {
  LAContext context;
  NSError error;
  EXPECT_FALSE(context.canEvaluatePolicy(1, &error));  // biometrics only: not offered
  testing_support::TempDir emptyBin;
  setenv("PATH", emptyBin.path().c_str(), 1);
  EXPECT_FALSE(context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error));
  EXPECT_NE(error.code, 0);
}

}  // namespace

int main(int argc, char** argv) {
  PamEnvironment::preloadIntoThisProgram(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
