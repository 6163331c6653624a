// A counting semaphore with a deadline on CLOCK_MONOTONIC.
#include <time.h>

#include <condition_variable>
#include <mutex>

#include "Ferrowick/interaction/Dispatch.h"

namespace {

std::uint64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

DispatchTime DispatchTime::now() {
  return {monotonicNanoseconds()};
}

struct DispatchSemaphore::Impl {
  std::mutex mutex;
  std::condition_variable signalled;  // steady_clock waits use CLOCK_MONOTONIC
  long value;
};

DispatchSemaphore::DispatchSemaphore(long value) : impl_(new Impl{{}, {}, value}) {}

DispatchSemaphore::~DispatchSemaphore() = default;

void DispatchSemaphore::signal() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    ++impl_->value;
  }
  impl_->signalled.notify_one();
}

DispatchTimeoutResult DispatchSemaphore::wait(DispatchTime deadline) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  while (impl_->value <= 0) {
    std::uint64_t now = monotonicNanoseconds();
    if (now >= deadline.nanoseconds) return DispatchTimeoutResult::timedOut;
    impl_->signalled.wait_for(lock, std::chrono::nanoseconds(deadline.nanoseconds - now));
  }
  --impl_->value;
  return DispatchTimeoutResult::success;
}
