// LAContext on Linux: PAM authenticates the device owner, pinentry shows PAM's prompts.
// The evaluation runs on a detached thread of its own that holds only copies and shared
// state, so it may outlive the context (and the context may go away mid-prompt).
#include "Ferrowick/interaction/LocalAuthentication.h"

#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "platform/localauth/ownerAuthentication.h"
#include "platform/pinentry/Pinentry.h"

namespace {

// Measured from the start of the evaluation; the caller's own wait starts a little later,
// so pinentry's time-out always comes first and the prompt closes itself.
constexpr auto evaluationTime = std::chrono::seconds(LAEvaluationTimeLimitSeconds);

NSError errorFor(localauth::Verdict verdict) {
  switch (verdict) {
    case localauth::Verdict::approved:
      return {};
    case localauth::Verdict::denied:
      return {LAErrorAuthenticationFailed, "Authentication failed"};
    case localauth::Verdict::cancelled:
      return {LAErrorUserCancel, "Cancelled by the user"};
    case localauth::Verdict::timedOut:
      return {LAErrorSystemCancel, "Timed out"};
    case localauth::Verdict::stopped:
      return {LAErrorAppCancel, "Invalidated"};
    case localauth::Verdict::unavailable:
      break;
  }
  return {LAErrorNotInteractive, "No prompt can be shown"};
}

}  // namespace

struct LAContext::Impl {
  std::string cancelTitle;
  // Shared with the evaluation thread: invalidate() reaches a prompt through it.
  std::shared_ptr<pinentry::Cancellation> cancellation = std::make_shared<pinentry::Cancellation>();
};

LAContext::LAContext() : impl_(new Impl) {}

// A context that goes away ends its pending evaluation, as invalidate does.
LAContext::~LAContext() {
  impl_->cancellation->stop();
}

void LAContext::setLocalizedCancelTitle(std::string_view title) {
  impl_->cancelTitle = std::string(title);
}

bool LAContext::canEvaluatePolicy(LAPolicy policy, NSError* error) {
  if (policy == LAPolicyDeviceOwnerAuthentication && localauth::ownerAuthenticationPossible()) {
    return true;
  }
  if (error != nullptr) *error = {LAErrorPasscodeNotSet, "Owner authentication unavailable"};
  return false;
}

void LAContext::evaluatePolicy(LAPolicy policy, std::string_view localizedReason, Reply reply) {
  localauth::Evaluation evaluation{std::string(localizedReason), impl_->cancelTitle,
                                   std::chrono::steady_clock::now() + evaluationTime};
  auto run = [policy, evaluation = std::move(evaluation), cancellation = impl_->cancellation,
              reply]() {
    localauth::Verdict verdict = policy == LAPolicyDeviceOwnerAuthentication
                                     ? localauth::authenticateOwner(evaluation, cancellation)
                                     : localauth::Verdict::unavailable;
    // An evaluation that was invalidated meanwhile is not an approval.
    if (verdict == localauth::Verdict::approved && cancellation->stopped()) {
      verdict = localauth::Verdict::stopped;
    }
    NSError error = errorFor(verdict);
    reply(verdict == localauth::Verdict::approved,
          verdict == localauth::Verdict::approved ? nullptr : &error);
  };
  try {
    std::thread(std::move(run)).detach();
  } catch (const std::exception&) {
    NSError error = errorFor(localauth::Verdict::unavailable);
    reply(false, &error);
  }
}

void LAContext::invalidate() {
  impl_->cancellation->stop();
}
