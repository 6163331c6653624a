#include "Ferrowick/interaction/authenticate.h"

#include <atomic>
#include <memory>

#include "Ferrowick/frontEnd.h"
#include "Ferrowick/interaction/Dispatch.h"
#include "Ferrowick/interaction/LocalAuthentication.h"

namespace ferrowick {

namespace {
constexpr double approvalTimeoutSeconds = 90.0;
constexpr std::string_view cancelTitle = "取消执行";
}  // namespace

void authenticate(std::string_view reason) {
  LAContext context;
  context.setLocalizedCancelTitle(cancelTitle);

  NSError error;
  if (!context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error)) {
    die("Local user authentication unavailable");
  }

  // The reply may come after we stopped waiting: it holds its own references to both.
  auto semaphore = std::make_shared<DispatchSemaphore>(0);
  auto approved = std::make_shared<std::atomic<bool>>(false);
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, reason,
                         [semaphore, approved](bool success, const NSError*) {
                           approved->store(success);
                           semaphore->signal();
                         });

  DispatchTime deadline = DispatchTime::now() + approvalTimeoutSeconds;
  if (semaphore->wait(deadline) == DispatchTimeoutResult::success && approved->load()) return;

  context.invalidate();
  die("User approval denied or expired");
}

}  // namespace ferrowick
