// Rules this file keeps:
// - the child's pid is read and cleared only under the Cancellation mutex, and every waitpid
//   happens there too, so stop() never signals a reaped (possibly reused) pid;
// - no pinentry outlives this process: at exit, prompts still running (say, on a detached
//   thread whose wait was given up) are stopped, killed after the grace, and reaped.
#include "platform/pinentry/pinentryProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace pinentry {

Cancellation::State::State() {
  wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Cancellation::State::~State() {
  if (wake >= 0) close(wake);
}

Cancellation::Cancellation() : state(std::make_shared<State>()) {}
Cancellation::~Cancellation() = default;

void Cancellation::stop() {
  stopPrompt(*state);
}

bool Cancellation::stopped() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->stopped;
}

void stopPrompt(Cancellation::State& state) {
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.stopped) {
      state.stopped = true;
      state.stoppedAt = Clock::now();
    }
    // SIGINT, not SIGTERM: pinentry restores the terminal on SIGINT only.
    if (state.pid > 0) kill(state.pid, SIGINT);
  }
  if (state.wake >= 0) {
    std::uint64_t one = 1;
    ssize_t ignored = write(state.wake, &one, sizeof one);
    (void)ignored;
  }
}

void endProcess(Cancellation::State& state, Clock::time_point deadline) {
  while (true) {
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      if (state.pid <= 0) return;
      int status = 0;
      pid_t done = waitpid(state.pid, &status, WNOHANG);
      if (done == state.pid || (done < 0 && errno != EINTR)) {
        state.pid = 0;
        return;
      }
      if (Clock::now() >= deadline) {
        kill(state.pid, SIGKILL);
        while (waitpid(state.pid, &status, 0) < 0 && errno == EINTR) {
        }
        state.pid = 0;
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

namespace {

// Every prompt of this process. Never destroyed: a detached prompting thread may still reach
// it while the process exits.
struct Prompts {
  std::mutex mutex;
  std::vector<std::shared_ptr<Cancellation::State>> states;
  bool closing = false;
};

Prompts& prompts() {
  static auto* instance = new Prompts;
  return *instance;
}

// At exit: every prompt still running is stopped, given the grace, killed and reaped, and no
// new one starts.
void endPromptsAtExit() {
  Prompts& all = prompts();
  std::vector<std::shared_ptr<Cancellation::State>> states;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    all.closing = true;
    states = all.states;
  }
  for (const auto& state : states) stopPrompt(*state);
  for (const auto& state : states) {
    Clock::time_point stoppedAt;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      stoppedAt = state->stoppedAt;
    }
    endProcess(*state, stoppedAt + stopGrace);
  }
}

// pinentry's environment: ours without loader settings and test preloads.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> result;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    if (text.starts_with("LD_") || text.starts_with("PAM_WRAPPER")) continue;
    result.emplace_back(text);
  }
  return result;
}

// A close-on-exec pipe whose ends are above the standard descriptors, so the child's dup2
// onto 0 and 1 always clears close-on-exec.
bool makePipe(int fds[2]) {
  int raw[2];
  if (pipe2(raw, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (raw[i] > STDERR_FILENO) {
      fds[i] = raw[i];
      continue;
    }
    fds[i] = fcntl(raw[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(raw[i]);
  }
  if (fds[0] < 0 || fds[1] < 0) {
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
    return false;
  }
  return true;
}

}  // namespace

void enroll(const std::shared_ptr<Cancellation::State>& state) {
  Prompts& all = prompts();
  std::lock_guard<std::mutex> lock(all.mutex);
  static const bool registered = std::atexit(endPromptsAtExit) == 0;
  (void)registered;
  if (all.closing) {
    std::lock_guard<std::mutex> stateLock(state->mutex);
    state->stopped = true;
    state->stoppedAt = Clock::now();
  }
  all.states.push_back(state);
}

void withdraw(const std::shared_ptr<Cancellation::State>& state) {
  Prompts& all = prompts();
  std::lock_guard<std::mutex> lock(all.mutex);
  std::erase(all.states, state);
}

bool startProcess(const std::string& path, Cancellation::State& state, pid_t& started, int& to,
                  int& from) {
  int toChild[2], fromChild[2];
  if (!makePipe(toChild)) return false;
  if (!makePipe(fromChild)) {
    close(toChild[0]);
    close(toChild[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  // pinentry's diagnostics must not mix with our one message line on standard error.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if __GLIBC_PREREQ(2, 34)
  // Nothing else of ours (a keychain file, say) is any business of the prompt.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  sigset_t defaults, noMask;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigemptyset(&noMask);
  posix_spawnattr_setsigmask(&attributes, &noMask);

  std::vector<std::string> environment = childEnvironment();
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char program[] = "pinentry";
  char* argv[] = {program, nullptr};

  pid_t pid = 0;
  int error;
  {
    // Registered under the lock at once, so a concurrent stop() either sees the pid or has
    // already set the flag that we check right here.
    std::lock_guard<std::mutex> lock(state.mutex);
    error = state.stopped
                ? ECANCELED
                : posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp.data());
    if (error == 0) state.pid = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(toChild[0]);
  close(fromChild[1]);
  if (error != 0) {
    close(toChild[1]);
    close(fromChild[0]);
    return false;
  }
  started = pid;
  to = toChild[1];
  from = fromChild[0];
  return true;
}

}  // namespace pinentry
