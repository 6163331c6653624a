#include "tests/support/Waiting.h"

#include <signal.h>

#include <cerrno>
#include <thread>

namespace testing_support {

bool processGone(pid_t pid) {
  return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit,
             std::chrono::milliseconds step) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(step);
  }
  return false;
}

}  // namespace testing_support
