// What came back from one LAContext evaluation, for the tests that start one. Shared, since the
// reply may outlive the test's frame; the reply holds `alive` for as long as any copy of it
// exists: once that is gone, no later (second) reply can come.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "Ferrowick/interaction/LocalAuthentication.h"

namespace localauth_test {

struct Replies {
  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  bool success = false;
  bool hadError = false;
  long code = 0;
  std::weak_ptr<int> alive;

  static LAContext::Reply reply(const std::shared_ptr<Replies>& replies) {
    auto token = std::make_shared<int>(0);
    replies->alive = token;
    return [replies, token](bool ok, const NSError* error) {
      std::lock_guard<std::mutex> lock(replies->mutex);
      ++replies->count;
      replies->success = ok;
      replies->hadError = error != nullptr;
      replies->code = error != nullptr ? error->code : 0;
      replies->arrived.notify_all();
    };
  }

  bool waitForOne(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, timeout, [this] { return count > 0; });
  }

  // The reply came exactly once and the service has let go of it.
  bool onlyOnce() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!alive.expired() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> lock(mutex);
    return alive.expired() && count == 1;
  }
};

}  // namespace localauth_test
