#include "tests/fakes/FakeLocalAuthentication.h"

#include "tests/fakes/FakeDispatch.h"
#include "tests/fakes/FakeFoundation.h"

namespace fake::localauth {

State& state() {
  static State instance;
  return instance;
}

void reset() {
  state() = {};
  fake::dispatch::reset();
  fake::events().clear();
}

}  // namespace fake::localauth

namespace {

using fake::localauth::ReplyTiming;
using fake::localauth::state;

void record(std::string call) {
  fake::events().push_back(call);
  state().calls.push_back(std::move(call));
}

void replyWith(const LAContext::Reply& reply, bool verdict, long code) {
  NSError error{code, verdict ? "" : "refused"};
  reply(verdict, !verdict && code != 0 ? &error : nullptr);
}

// Ends the evaluation still pending, if any, as the real service does when its context is
// invalidated or dropped; the reply is let go of once it was given.
void endPendingEvaluation() {
  if (!state().pendingReply) return;
  LAContext::Reply reply = std::move(state().pendingReply);
  state().pendingReply = nullptr;
  if (state().timing == ReplyTiming::late) {
    replyWith(reply, state().verdict, state().errorCode);
  } else {
    replyWith(reply, false, LAErrorAppCancel);
  }
}

}  // namespace

struct LAContext::Impl {
  std::string cancelTitle;
  bool invalidated = false;
};

LAContext::LAContext() : impl_(new Impl) {
  record("init");
}

LAContext::~LAContext() {
  record("dealloc");
  endPendingEvaluation();
}

void LAContext::setLocalizedCancelTitle(std::string_view title) {
  record("setLocalizedCancelTitle:" + std::string(title));
  impl_->cancelTitle = std::string(title);
}

bool LAContext::canEvaluatePolicy(LAPolicy policy, NSError* error) {
  record("canEvaluatePolicy:" + std::to_string(policy));
  bool possible = policy == LAPolicyDeviceOwnerAuthentication && state().canEvaluate;
  if (!possible && error != nullptr) *error = {LAErrorPasscodeNotSet, "not available"};
  return possible;
}

void LAContext::evaluatePolicy(LAPolicy policy, std::string_view localizedReason, Reply reply) {
  record("evaluatePolicy:" + std::to_string(policy) + ":" + std::string(localizedReason));
  // As the real service: nothing is shown for an ended context or for a policy it doesn't offer.
  if (impl_->invalidated) return replyWith(reply, false, LAErrorAppCancel);
  if (policy != LAPolicyDeviceOwnerAuthentication) {
    return replyWith(reply, false, LAErrorNotInteractive);
  }
  state().shown.push_back({std::string(localizedReason), impl_->cancelTitle});
  bool verdict = state().verdict;
  long code = state().errorCode;
  switch (state().timing) {
    case ReplyTiming::immediately:
      replyWith(reply, verdict, code);
      break;
    case ReplyTiming::duringWait:
      fake::dispatch::state().duringWait = [reply, verdict, code] {
        replyWith(reply, verdict, code);
      };
      break;
    case ReplyTiming::never:
    case ReplyTiming::late:
      state().pendingReply = std::move(reply);
      break;
  }
}

void LAContext::invalidate() {
  record("invalidate");
  impl_->invalidated = true;
  endPendingEvaluation();
}
