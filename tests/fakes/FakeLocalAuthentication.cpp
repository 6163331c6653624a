#include "tests/fakes/FakeLocalAuthentication.h"

#include "tests/fakes/FakeDispatch.h"

namespace fake::localauth {

State& state() {
  static State instance;
  return instance;
}

void reset() {
  state() = {};
  fake::dispatch::reset();
}

}  // namespace fake::localauth

using fake::localauth::state;

struct LAContext::Impl {};

LAContext::LAContext() : impl_(new Impl) { state().calls.push_back("init"); }

LAContext::~LAContext() { state().calls.push_back("dealloc"); }

void LAContext::setLocalizedCancelTitle(std::string_view title) {
  state().calls.push_back("setLocalizedCancelTitle:" + std::string(title));
}

bool LAContext::canEvaluatePolicy(LAPolicy policy, NSError* error) {
  state().calls.push_back("canEvaluatePolicy:" + std::to_string(policy));
  if (!state().canEvaluate && error != nullptr) *error = {-6, "not available"};
  return state().canEvaluate;
}

void LAContext::evaluatePolicy(LAPolicy policy, std::string_view localizedReason, Reply reply) {
  state().calls.push_back("evaluatePolicy:" + std::to_string(policy) + ":" +
                          std::string(localizedReason));
  bool verdict = state().verdict;
  switch (state().timing) {
    case fake::localauth::ReplyTiming::immediately:
      reply(verdict, nullptr);
      break;
    case fake::localauth::ReplyTiming::duringWait:
      fake::dispatch::state().duringWait = [reply, verdict] { reply(verdict, nullptr); };
      break;
    case fake::localauth::ReplyTiming::never:
      state().pendingReply = std::move(reply);
      break;
  }
}

void LAContext::invalidate() { state().calls.push_back("invalidate"); }
