// The approval's own limits while a PAM module waits without a prompt: the deadline and the
// context's invalidation end the status prompt and the evaluation, though PAM's thread stays
// in the module. In-process: the program preloads libpam_wrapper into itself.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/localauth/ownerAuthentication.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::ScriptedPinentry;

bool gone(int pid) {
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

bool waitForConfirm(const ScriptedPinentry& pinentry) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!pinentry.texts("CONFIRM").empty()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

// The wrapper reads the service folder on the first pam_start only: one for the program, whose
// module messages and then waits half a minute.
const PamEnvironment& pam() {
  static PamEnvironment* made = [] {
    auto* environment = new PamEnvironment(PamEnvironment::currentUser(), "unused");
    testing_support::writeFile(environment->serviceDir() + "/ferrowick",
                               "auth required " + std::string(WAITING_MODULE) +
                                   " wait=30 then=success\naccount required " +
                                   std::string(WAITING_MODULE) + "\n");
    environment->applyToThisProcess();
    return environment;
  }();
  return *made;
}

class WaitingModuleLimits : public testing::Test {
 protected:
  void SetUp() override {
    pam();
    pinentry_.applyToThisProcess();
    pinentry_.script({"hang"});  // the owner does nothing; pinentry's own time-out is ignored
  }
  ScriptedPinentry pinentry_;
};

TEST_F(WaitingModuleLimits, TheDeadlineEndsTheStatusPromptAndTheApproval) {
  auto begin = std::chrono::steady_clock::now();
  localauth::Evaluation evaluation{"Peldora 请求批准", "取消执行", begin + 2s};
  auto cancellation = std::make_shared<pinentry::Cancellation>();
  localauth::Verdict verdict = localauth::authenticateOwner(evaluation, cancellation);
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(verdict, localauth::Verdict::timedOut);
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 2500ms);
  ASSERT_EQ(pinentry_.texts("CONFIRM").size(), 1u);
  EXPECT_TRUE(gone(pinentry_.lastPid()));
}

TEST_F(WaitingModuleLimits, InvalidationEndsTheStatusPromptAndTheApprovalAtOnce) {
  localauth::Evaluation evaluation{"Peldora 请求批准", "取消执行",
                                   std::chrono::steady_clock::now() + 60s};
  auto cancellation = std::make_shared<pinentry::Cancellation>();
  std::chrono::steady_clock::time_point stoppedAt;
  std::thread invalidate([&] {
    if (waitForConfirm(pinentry_)) {
      stoppedAt = std::chrono::steady_clock::now();
      cancellation->stop();
    }
  });
  localauth::Verdict verdict = localauth::authenticateOwner(evaluation, cancellation);
  auto returned = std::chrono::steady_clock::now();
  invalidate.join();
  EXPECT_EQ(verdict, localauth::Verdict::stopped);
  EXPECT_LT(returned - stoppedAt, 300ms);
  EXPECT_TRUE(gone(pinentry_.lastPid()));
}

}  // namespace

int main(int argc, char** argv) {
  PamEnvironment::preloadIntoThisProgram(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
