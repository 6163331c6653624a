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

void record(std::string call) {
  fake::events().push_back(call);
  fake::localauth::state().calls.push_back(std::move(call));
}

}  // namespace

using fake::localauth::state;

struct LAContext::Impl {};

LAContext::LAContext() : impl_(new Impl) {
  record("init");
}

LAContext::~LAContext() {
  record("dealloc");
}

void LAContext::setLocalizedCancelTitle(std::string_view title) {
  record("setLocalizedCancelTitle:" + std::string(title));
}

bool LAContext::canEvaluatePolicy(LAPolicy policy, NSError* error) {
  record("canEvaluatePolicy:" + std::to_string(policy));
  if (!state().canEvaluate && error != nullptr) *error = {-6, "not available"};
  return state().canEvaluate;
}

void LAContext::evaluatePolicy(LAPolicy policy, std::string_view localizedReason, Reply reply) {
  record("evaluatePolicy:" + std::to_string(policy) + ":" + std::string(localizedReason));
  bool verdict = state().verdict;
  long code = state().errorCode;
  auto answer = [reply, verdict, code] {
    NSError error{code, "refused"};
    reply(verdict, !verdict && code != 0 ? &error : nullptr);
  };
  switch (state().timing) {
    case fake::localauth::ReplyTiming::immediately:
      answer();
      break;
    case fake::localauth::ReplyTiming::duringWait:
      fake::dispatch::state().duringWait = answer;
      break;
    case fake::localauth::ReplyTiming::never:
      state().pendingReply = std::move(reply);
      break;
  }
}

void LAContext::invalidate() {
  record("invalidate");
}
