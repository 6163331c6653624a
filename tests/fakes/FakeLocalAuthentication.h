// The local-authentication double: replies as told, and records every call in order. Where the
// real service has a rule (its error codes, what invalidate does to a pending evaluation), the
// double keeps it too: the local-authentication contract suite runs over both.
#pragma once

#include <string>
#include <vector>

#include "Ferrowick/interaction/LocalAuthentication.h"

namespace fake::localauth {

enum class ReplyTiming {
  immediately,  // inside evaluatePolicy, before the caller starts waiting
  duringWait,   // while the caller waits
  // The owner never answers: the evaluation stays pending (its reply in `pendingReply`) until
  // the context is invalidated or goes away, which end it with LAErrorAppCancel.
  never,
  // Pending like `never`, but the configured verdict is what comes when the context is
  // invalidated: a reply already on its way as the caller gave up waiting.
  late,
};

// What the owner was shown for one evaluation.
struct Prompt {
  std::string reason;
  std::string cancelTitle;
  bool operator==(const Prompt&) const = default;
};

struct State {
  bool canEvaluate = true;
  ReplyTiming timing = ReplyTiming::immediately;
  bool verdict = true;
  long errorCode = 0;  // with a refusal: the reply's error code (0: no error object)
  // "init", "setLocalizedCancelTitle:<t>", "canEvaluatePolicy:<p>",
  // "evaluatePolicy:<p>:<reason>", "invalidate", "dealloc"
  std::vector<std::string> calls;
  std::vector<Prompt> shown;      // every evaluation put to the owner, in order
  LAContext::Reply pendingReply;  // the reply of an evaluation still pending
};
State& state();
void reset();  // also resets the dispatch double

}  // namespace fake::localauth
