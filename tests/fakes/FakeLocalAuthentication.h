// The local-authentication double: records every call in order and replies as told.
#pragma once

#include <string>
#include <vector>

#include "Ferrowick/interaction/LocalAuthentication.h"

namespace fake::localauth {

enum class ReplyTiming {
  immediately,  // inside evaluatePolicy, before the caller starts waiting
  duringWait,   // while the caller waits
  never,        // kept in `pendingReply`; the wait times out
};

struct State {
  bool canEvaluate = true;
  ReplyTiming timing = ReplyTiming::immediately;
  bool verdict = true;
  long errorCode = 0;  // with a refusal: the reply's error code (0: no error object)
  // "init", "setLocalizedCancelTitle:<t>", "canEvaluatePolicy:<p>",
  // "evaluatePolicy:<p>:<reason>", "invalidate", "dealloc"
  std::vector<std::string> calls;
  LAContext::Reply pendingReply;  // the reply of an evaluation answered `never`
};
State& state();
void reset();  // also resets the dispatch double

}  // namespace fake::localauth
