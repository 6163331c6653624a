#include "tests/fakes/FakeDispatch.h"

#include "tests/fakes/FakeFoundation.h"

namespace fake::dispatch {

State& state() {
  static State instance;
  return instance;
}

void reset() {
  state() = {};
}

}  // namespace fake::dispatch

DispatchTime DispatchTime::now() {
  auto& state = fake::dispatch::state();
  state.nowCalls.push_back(state.now);
  fake::events().push_back("DispatchTime.now");
  return {state.now};
}

struct DispatchSemaphore::Impl {
  long value;
};

DispatchSemaphore::DispatchSemaphore(long value) : impl_(new Impl{value}) {}
DispatchSemaphore::~DispatchSemaphore() = default;

void DispatchSemaphore::signal() {
  ++fake::dispatch::state().signals;
  fake::events().push_back("signal");
  ++impl_->value;
}

DispatchTimeoutResult DispatchSemaphore::wait(DispatchTime deadline) {
  auto& state = fake::dispatch::state();
  state.waits.push_back(deadline.nanoseconds);
  fake::events().push_back("wait");
  if (impl_->value <= 0 && state.duringWait) {
    auto hook = std::move(state.duringWait);
    state.duringWait = nullptr;
    hook();
  }
  if (impl_->value <= 0) return DispatchTimeoutResult::timedOut;
  --impl_->value;
  return DispatchTimeoutResult::success;
}
