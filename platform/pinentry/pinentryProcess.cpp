// Rules this file keeps:
// - the child's pid is read and cleared only under the Cancellation mutex, and every waitpid
//   happens there too, so stop() never signals a reaped (possibly reused) pid;
// - no pinentry outlives this process: at exit, prompts still running (say, on a detached
//   thread whose wait was given up) are stopped, killed after the grace, and reaped;
// - a pinentry runs in a session and process group of its own, so it and whatever it started
//   are ended together, and it gets SIGINT when we die (PR_SET_PDEATHSIG);
// - SIGTERM, SIGINT and SIGHUP while a prompt is showing stop every prompt (the pinentry
//   closes and restores the screen), and the run then ends as for a stopped prompt, with its
//   one line;
// - it runs from the descriptor the search checked, never from a path looked up again.
#include "platform/pinentry/pinentryProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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
    // SIGINT, not SIGTERM: pinentry restores the terminal on SIGINT only. The group, too, for
    // what it started; the pid alone as well, for a child that has not made its group yet.
    if (state.pid > 0) {
      kill(state.pid, SIGINT);
      kill(-state.pid, SIGINT);
    }
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
      // Looked at without reaping: until it is reaped its pid can't be reused, so its group
      // (whatever it started and left behind) is still safe to end.
      siginfo_t info{};
      int seen = waitid(P_PID, static_cast<id_t>(state.pid), &info, WEXITED | WNOHANG | WNOWAIT);
      if (seen == 0 && info.si_pid == state.pid) {
        kill(-state.pid, SIGKILL);
        while (waitpid(state.pid, &status, 0) < 0 && errno == EINTR) {
        }
        state.pid = 0;
        return;
      }
      if (seen < 0 && errno != EINTR) {
        state.pid = 0;
        return;
      }
      if (Clock::now() >= deadline) {
        kill(-state.pid, SIGKILL);
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

// The signal that interrupted a prompt (0 while none did), and the eventfd that wakes every
// prompting thread out of its poll when one does. Set only by the handler.
std::atomic<int> interruption{0};
int interruptionWake = -1;
constexpr int endingSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction previousActions[3];
bool handling[3] = {};

void onEndingSignal(int signal) {
  const int saved = errno;
  int none = 0;
  interruption.compare_exchange_strong(none, signal);
  std::uint64_t one = 1;
  ssize_t ignored = write(interruptionWake, &one, sizeof one);
  (void)ignored;
  errno = saved;
}

// While a prompt shows, the ending signals stop it instead of killing us with the pinentry
// left on the screen. One ignored by whoever started us stays ignored.
void catchEndingSignals() {
  if (interruptionWake < 0) interruptionWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (interruptionWake < 0) return;
  struct sigaction action {};
  action.sa_handler = onEndingSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) {
    if (handling[i]) continue;
    struct sigaction current {};
    if (sigaction(endingSignals[i], nullptr, &current) != 0 || current.sa_handler == SIG_IGN) {
      continue;
    }
    handling[i] = sigaction(endingSignals[i], &action, &previousActions[i]) == 0;
  }
}

// Once no prompt shows, they act as before again; after an interruption they stay caught, so
// the run can still end with its line.
void releaseEndingSignals() {
  if (interruption.load() != 0) return;
  for (int i = 0; i < 3; ++i) {
    if (handling[i]) sigaction(endingSignals[i], &previousActions[i], nullptr);
    handling[i] = false;
  }
}

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

// The child's side of a start: its pipes become standard input and output, its standard error
// /dev/null (its diagnostics must not mix with our one message line), nothing else of ours
// stays open, and it runs `program` from its descriptor. A session of its own makes it the
// leader of a group that can be ended as one, and keeps the terminal's job control out of its
// way (it opens the terminal by name). Only async-signal-safe calls: we may have threads.
[[noreturn]] void startChild(int program, int input, int output, pid_t parent, char** argv,
                             char** envp) {
  if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0) _exit(127);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || dup2(null, STDERR_FILENO) < 0) _exit(127);
  constexpr int programFd = STDERR_FILENO + 1;
  if (program != programFd && dup3(program, programFd, O_CLOEXEC) < 0) _exit(127);
  close_range(programFd + 1, ~0U, 0);
  setsid();
  // Ending with us, whatever ends us; SIGINT, so it restores the terminal first.
  prctl(PR_SET_PDEATHSIG, SIGINT);
  if (getppid() != parent) _exit(127);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ})
    sigaction(signal, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  fcntl(programFd, F_SETFD, FD_CLOEXEC);
  execveat(programFd, "", argv, envp, AT_EMPTY_PATH);
  // A script: its interpreter opens it again as /dev/fd/N, so that one descriptor stays open.
  if (errno == ENOENT && fcntl(programFd, F_SETFD, 0) == 0) {
    execveat(programFd, "", argv, envp, AT_EMPTY_PATH);
  }
  _exit(127);
}

}  // namespace

void enroll(const std::shared_ptr<Cancellation::State>& state) {
  Prompts& all = prompts();
  std::lock_guard<std::mutex> lock(all.mutex);
  static const bool registered = std::atexit(endPromptsAtExit) == 0;
  (void)registered;
  if (all.states.empty()) catchEndingSignals();
  if (all.closing || interrupted()) {
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
  if (all.states.empty()) releaseEndingSignals();
}

bool interrupted() {
  return interruption.load() != 0;
}

int interruptionEvent() {
  return interruptionWake;
}

bool startProcess(int program, Cancellation::State& state, pid_t& started, int& to, int& from) {
  int toChild[2], fromChild[2];
  if (!makePipe(toChild)) return false;
  if (!makePipe(fromChild)) {
    close(toChild[0]);
    close(toChild[1]);
    return false;
  }
  // Everything the child needs is made before the fork: after it, only system calls.
  std::vector<std::string> environment = childEnvironment();
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char name[] = "pinentry";
  char* argv[] = {name, nullptr};
  const pid_t parent = getpid();

  // No handler of ours may run in the child between the fork and the exec.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t pid = -1;
  {
    // Registered under the lock at once, so a concurrent stop() either sees the pid or has
    // already set the flag that we check right here.
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.stopped) pid = fork();
    if (pid == 0) startChild(program, toChild[0], fromChild[1], parent, argv, envp.data());
    if (pid > 0) state.pid = pid;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(toChild[0]);
  close(fromChild[1]);
  if (pid <= 0) {
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
