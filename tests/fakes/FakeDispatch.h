// The wait double: a clock that stands still unless a test moves it, and a semaphore whose
// wait never blocks. A wait with no signal pending counts as the deadline passing, after
// `duringWait` (if set) has had its chance to signal, as a reply arriving mid-wait would.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "Ferrowick/interaction/Dispatch.h"

namespace fake::dispatch {

struct State {
  std::uint64_t now = 5'000'000'000;    // what DispatchTime::now() answers
  std::vector<std::uint64_t> nowCalls;  // every answer given, in order
  std::vector<std::uint64_t> waits;     // the deadline of every wait
  int signals = 0;
  std::function<void()> duringWait;  // runs inside a wait that has no signal yet
};
State& state();
void reset();

}  // namespace fake::dispatch
