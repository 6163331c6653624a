// Waiting on events in tests: polls with generous limits instead of fixed sleeps.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace testing_support {

// Whether `pid` names no process any more (a zombie not yet reaped still counts as there).
bool processGone(pid_t pid);

// Polls `condition` every `step` until it holds or `limit` has passed; whether it held.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit,
             std::chrono::milliseconds step = std::chrono::milliseconds(10));

}  // namespace testing_support
