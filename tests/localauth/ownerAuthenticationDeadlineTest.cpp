// The approval's own limits while a PAM module waits without a prompt: the deadline and the
// context's invalidation end the status prompt and the evaluation soon after, though PAM's
// thread stays in the module. In-process: the program preloads libpam_wrapper into itself.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/localauth/ownerAuthentication.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/ScriptedPinentry.h"
#include "tests/support/Waiting.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::ScriptedPinentry;

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
  EXPECT_LT(took, 3s);
  ASSERT_EQ(pinentry_.texts("CONFIRM").size(), 1u);
  EXPECT_TRUE(testing_support::waitFor(
      [&] { return testing_support::processGone(pinentry_.lastPid()); }, 2s));
}

TEST_F(WaitingModuleLimits, InvalidationEndsTheStatusPromptAndTheApprovalWithinASecond) {
  localauth::Evaluation evaluation{"Peldora 请求批准", "取消执行",
                                   std::chrono::steady_clock::now() + 60s};
  auto cancellation = std::make_shared<pinentry::Cancellation>();
  std::chrono::steady_clock::time_point stoppedAt;
  std::thread invalidate([&] {
    if (pinentry_.waitForCommand("CONFIRM", 10s)) {
      stoppedAt = std::chrono::steady_clock::now();
      cancellation->stop();
    }
  });
  localauth::Verdict verdict = localauth::authenticateOwner(evaluation, cancellation);
  auto returned = std::chrono::steady_clock::now();
  invalidate.join();
  EXPECT_EQ(verdict, localauth::Verdict::stopped);
  EXPECT_LT(returned - stoppedAt, 1s);
  EXPECT_TRUE(testing_support::waitFor(
      [&] { return testing_support::processGone(pinentry_.lastPid()); }, 2s));
}

}  // namespace

int main(int argc, char** argv) {
  PamEnvironment::preloadIntoThisProgram(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
