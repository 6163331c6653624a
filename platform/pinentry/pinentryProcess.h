// The pinentry processes of this run: how one is started, ended and reaped, and the registry
// that ends every one still running when the process exits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/pinentry/Pinentry.h"

namespace pinentry {

using Clock = std::chrono::steady_clock;

struct Cancellation::State {
  std::mutex mutex;
  pid_t pid = 0;  // the running pinentry, 0 when none
  bool stopped = false;
  Clock::time_point stoppedAt;
  int wake = -1;  // eventfd: wakes the prompting thread out of poll

  State();
  ~State();
};

inline constexpr auto stopGrace = std::chrono::milliseconds(500);

// Marks the prompt stopped, asks a running pinentry to end, and wakes the prompting thread.
void stopPrompt(Cancellation::State& state);

// Waits for the prompt's pinentry until `deadline`, then kills it; reaps it either way. Whoever
// gets here first (the prompting thread or the exit) does it, under the mutex.
void endProcess(Cancellation::State& state, Clock::time_point deadline);

// Enters a prompt in the registry the exit goes through, and takes it out again.
void enroll(const std::shared_ptr<Cancellation::State>& state);
void withdraw(const std::shared_ptr<Cancellation::State>& state);

// Whether SIGTERM, SIGINT or SIGHUP came while a prompt was showing: every prompt is then
// stopped, and every later one ends at once. The event is an eventfd that becomes readable
// then (-1 before the first prompt).
bool interrupted();
int interruptionEvent();

// Starts the program opened as `program` (see openPinentry) as the prompt's pinentry, its input and
// output on two new pipes
// (`to` and `from` are our ends), its pid recorded in `state` under the mutex and in `started`.
// False when it could not be started or the prompt was already stopped.
bool startProcess(int program, Cancellation::State& state, pid_t& started, int& to, int& from);

}  // namespace pinentry
