// The wait primitives of the platform's dispatch library: a monotonic clock and a counting
// semaphore with a deadline. The binary links platform/dispatch; tests link a fake.
#pragma once

#include <cstdint>
#include <memory>

// Nanoseconds on a monotonic clock.
struct DispatchTime {
  std::uint64_t nanoseconds = 0;
  static DispatchTime now();
  DispatchTime operator+(double seconds) const {
    return {nanoseconds + static_cast<std::uint64_t>(seconds * 1e9)};
  }
};

enum class DispatchTimeoutResult { success, timedOut };

class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value);
  ~DispatchSemaphore();
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  // A signal given before anyone waits is kept.
  void signal();
  DispatchTimeoutResult wait(DispatchTime deadline);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
