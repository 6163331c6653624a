#include "Ferrowick/interaction/authenticate.h"

#include <atomic>
#include <memory>

#include "Ferrowick/frontEnd.h"
#include "Ferrowick/interaction/Dispatch.h"
#include "Ferrowick/interaction/LocalAuthentication.h"

namespace ferrowick {

namespace {
constexpr std::string_view cancelTitle = "取消执行";
}  // namespace

void authenticate(std::string_view reason) {
  LAContext context;
  context.setLocalizedCancelTitle(cancelTitle);

  NSError error;
  if (!context.canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication, &error)) {
    die("Local user authentication unavailable");
  }

  // The reply may come after we stopped waiting: it holds its own references to all three.
  auto semaphore = std::make_shared<DispatchSemaphore>(0);
  auto approved = std::make_shared<std::atomic<bool>>(false);
  auto errorCode = std::make_shared<std::atomic<long>>(0);
  context.evaluatePolicy(LAPolicyDeviceOwnerAuthentication, reason,
                         [semaphore, approved, errorCode](bool success, const NSError* failure) {
                           errorCode->store(failure != nullptr ? failure->code : 0);
                           approved->store(success);
                           semaphore->signal();
                         });

  DispatchTime deadline = DispatchTime::now() + double{LAEvaluationTimeLimitSeconds};
  bool replied = semaphore->wait(deadline) == DispatchTimeoutResult::success;
  if (replied && approved->load()) return;

  context.invalidate();
  // The parent must be able to tell "the owner said no" from "nobody could be asked".
  long code = replied ? errorCode->load() : 0;
  if (code == LAErrorNotInteractive || code == LAErrorPasscodeNotSet) {
    die("Local user authentication unavailable");
  }
  die("User approval denied or expired");
}

}  // namespace ferrowick
