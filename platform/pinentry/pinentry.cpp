// One pinentry process per prompt. Rules this file keeps:
// - the child's pid is read and cleared only under the Cancellation mutex, and every waitpid
//   happens there too, so stop() never signals a reaped (possibly reused) pid;
// - every started process is reaped before the prompt returns: no zombies;
// - no pinentry outlives this process: at exit, prompts still running (say, on a detached
//   thread whose wait was given up) are stopped, killed after the grace, and reaped;
// - only a pinentry that nobody but root or this user could have placed is run, by its path;
// - the PIN only ever sits in SecureBytes (the line buffer included).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/pinentry/Pinentry.h"
#include "platform/pinentry/assuan.h"

extern char** environ;

namespace pinentry {

using Clock = std::chrono::steady_clock;

struct Cancellation::State {
  std::mutex mutex;
  pid_t pid = 0;  // the running pinentry, 0 when none
  bool stopped = false;
  Clock::time_point stoppedAt;
  int wake = -1;  // eventfd: wakes the prompting thread out of poll

  State() { wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
  ~State() {
    if (wake >= 0) close(wake);
  }
};

Cancellation::Cancellation() : state(std::make_shared<State>()) {}
Cancellation::~Cancellation() = default;

namespace {

constexpr auto stopGrace = std::chrono::milliseconds(500);
constexpr auto byeGrace = std::chrono::seconds(1);

// Marks the prompt stopped, asks a running pinentry to end, and wakes the prompting thread.
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

// Waits for the prompt's pinentry until `deadline`, then kills it; reaps it either way. Whoever
// gets here first (the prompting thread or the exit) does it, under the mutex.
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

}  // namespace

void Cancellation::stop() {
  stopPrompt(*state);
}

bool Cancellation::stopped() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->stopped;
}

namespace {

// The PATH entries that name a folder whatever the working directory is: an empty or relative
// entry would run whatever pinentry lies where we happen to have been started.
std::vector<std::string> searchPath() {
  const char* path = std::getenv("PATH");
  std::string value = path != nullptr ? path : "/bin:/usr/bin";  // the shell's default
  std::vector<std::string> dirs;
  std::size_t start = 0;
  while (true) {
    std::size_t colon = value.find(':', start);
    std::string dir = value.substr(start, colon == std::string::npos ? colon : colon - start);
    if (dir.starts_with('/')) dirs.push_back(dir);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return dirs;
}

// Only root or this user can have put it there or changed it.
bool ownedSafely(const std::string& path, bool folder) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != getuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string folderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The pinentry to run, links resolved: the first on PATH that is executable and that, like its
// folder and the PATH folder holding its name, nobody but root or this user can change. It
// types the owner's passwords, so one placed by someone else must never get them.
std::optional<std::string> findPinentry() {
  for (const auto& dir : searchPath()) {
    char resolved[PATH_MAX];
    if (realpath((dir + "/pinentry").c_str(), resolved) == nullptr) continue;
    std::string program = resolved;
    if (access(program.c_str(), X_OK) != 0 || !ownedSafely(program, false) ||
        !ownedSafely(folderOf(program), true) || !ownedSafely(dir, true)) {
      continue;
    }
    return program;
  }
  return std::nullopt;
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

// The terminal pinentry-tty/curses should use, when we have one.
std::optional<std::string> terminalName() {
  char name[256];
  for (int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (isatty(fd) && ttyname_r(fd, name, sizeof name) == 0) return std::string(name);
  }
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty >= 0) {
    close(tty);
    return std::string("/dev/tty");
  }
  return std::nullopt;
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

// A write that reports a vanished reader as EPIPE, whatever this process does with SIGPIPE.
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipeOnly, previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  ssize_t written = write(fd, data, size);
  int saved = errno;
  if (written < 0 && saved == EPIPE) {
    timespec zero{};
    sigtimedwait(&pipeOnly, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return written;
}

using assuan::Io;

class Session {
 public:
  explicit Session(Cancellation* cancellation)
      : state_(cancellation != nullptr ? cancellation->state
                                       : std::make_shared<Cancellation::State>()),
        lines_(
            [this](std::span<std::uint8_t> into, std::size_t& got) { return receive(into, got); }) {
    enroll(state_);
  }
  ~Session() {
    finish();
    withdraw(state_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool stopped() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->stopped;
  }

  bool start() {
    std::optional<std::string> path = findPinentry();
    if (!path) return false;
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
      std::lock_guard<std::mutex> lock(state_->mutex);
      error = state_->stopped
                  ? ECANCELED
                  : posix_spawn(&pid, path->c_str(), &actions, &attributes, argv, envp.data());
      if (error == 0) state_->pid = pid;
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
    pid_ = pid;
    to_ = toChild[1];
    from_ = fromChild[0];
    return true;
  }

  Io send(const std::string& line) {
    std::string withEnd = line + '\n';
    std::size_t done = 0;
    while (done < withEnd.size()) {
      Io ready = waitFor(to_, POLLOUT);
      if (ready != Io::ok) return ready;
      ssize_t written = writeWithoutSigpipe(to_, withEnd.data() + done, withEnd.size() - done);
      if (written < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return Io::eof;
      }
      done += static_cast<std::size_t>(written);
    }
    return Io::ok;
  }

  // Reads status and data lines up to the OK or ERR that answers one command.
  assuan::Reply readReply(SecureBytes* data) {
    return assuan::readReply(lines_, data, [this] { return send("CAN"); });
  }

  // Sends BYE (unless stopped), then ends and reaps the process.
  void finish() {
    if (pid_ <= 0) return;
    bool wasStopped = stopped();
    auto deadline = Clock::now() + byeGrace;
    // The goodbye is read so pinentry does not write into a closed pipe; all of it is bounded
    // by the grace.
    byeDeadline_ = deadline;
    if (!wasStopped && send("BYE") == Io::ok) {
      std::string_view line;
      while (lines_.next(line) == Io::ok && !line.starts_with("OK") && !line.starts_with("ERR")) {
      }
    }
    close(to_);
    close(from_);
    to_ = from_ = -1;
    if (wasStopped || stopped()) {
      std::lock_guard<std::mutex> lock(state_->mutex);
      deadline = state_->stoppedAt + stopGrace;
    }
    endProcess(*state_, deadline);
    pid_ = 0;
  }

 private:
  // More of pinentry's output, as soon as some is there.
  Io receive(std::span<std::uint8_t> into, std::size_t& got) {
    while (true) {
      Io ready = waitFor(from_, POLLIN);
      if (ready != Io::ok) return ready;
      ssize_t count = read(from_, into.data(), into.size());
      if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (count <= 0) return Io::eof;
      got = static_cast<std::size_t>(count);
      return Io::ok;
    }
  }

  // Waits until `fd` is ready, the process's stop was asked, or the BYE grace ran out.
  Io waitFor(int fd, short events) {
    while (true) {
      if (stopped()) return Io::stopped;
      int timeout = -1;
      if (byeDeadline_) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*byeDeadline_ - Clock::now());
        if (left.count() <= 0) return Io::eof;
        timeout = static_cast<int>(left.count());
      }
      pollfd fds[2] = {{fd, events, 0}, {state_->wake, POLLIN, 0}};
      int ready = poll(fds, state_->wake >= 0 ? 2 : 1, timeout);
      if (ready < 0 && errno != EINTR) return Io::eof;
      if (ready > 0 && fds[0].revents != 0) return Io::ok;  // POLLHUP/POLLERR show up as EOF
    }
  }

  std::shared_ptr<Cancellation::State> state_;
  pid_t pid_ = 0;
  int to_ = -1;
  int from_ = -1;
  std::optional<Clock::time_point> byeDeadline_;
  assuan::LineReader lines_;
};

// One setting command; nullopt when pinentry took it (or, when not `required`, answered it at
// all), else the outcome.
std::optional<Outcome> setting(Session& session, const std::string& line, bool required) {
  if (Io io = session.send(line); io != Io::ok) {
    return io == Io::stopped ? Outcome::stopped : Outcome::unavailable;
  }
  assuan::Reply reply = session.readReply(nullptr);
  if (reply.ok || (!required && reply.io == Io::ok)) return std::nullopt;
  Outcome outcome = assuan::failure(reply);
  // A refused setting means the prompt would not look as asked: don't show it.
  return outcome == Outcome::cancelled || outcome == Outcome::timedOut ? Outcome::unavailable
                                                                       : outcome;
}

// Starts pinentry and sets up the prompt; nullopt when that worked, else the outcome.
std::optional<Outcome> prepare(Session& session, const Request& request) {
  if (session.stopped()) return Outcome::stopped;
  if (!session.start()) return session.stopped() ? Outcome::stopped : Outcome::unavailable;

  assuan::Reply greeting = session.readReply(nullptr);
  if (!greeting.ok) return assuan::failure(greeting);

  // curses shows Chinese text only with a UTF-8 character type.
  if (auto stop = setting(session, "OPTION lc-ctype=C.UTF-8", false)) return stop;
  if (auto tty = terminalName()) {
    if (auto stop = setting(session, commandLine("OPTION", "ttyname=" + *tty), false)) {
      return stop;
    }
    if (const char* term = std::getenv("TERM"); term != nullptr && *term != '\0') {
      if (auto stop =
              setting(session, commandLine("OPTION", std::string("ttytype=") + term), false)) {
        return stop;
      }
    }
  }
  struct Setting {
    const char* name;
    const std::string& text;
    bool always;
  };
  const Setting settings[] = {
      {"SETTITLE", request.title, false},        {"SETDESC", request.description, true},
      {"SETPROMPT", request.prompt, false},      {"SETOK", request.okLabel, false},
      {"SETCANCEL", request.cancelLabel, false}, {"SETERROR", request.error, false},
      {"SETREPEAT", request.repeat, false},
  };
  for (const auto& each : settings) {
    if (!each.always && each.text.empty()) continue;
    if (auto stop = setting(session, commandLine(each.name, each.text), true)) return stop;
  }
  // Older pinentries don't know it and show their own (English) mismatch text.
  if (!request.repeat.empty() && !request.repeatError.empty()) {
    if (auto stop = setting(session, commandLine("SETREPEATERROR", request.repeatError), false)) {
      return stop;
    }
  }
  // Always sent: pinentry-tty otherwise arms a 60 s alarm of its own.
  int timeout = request.timeoutSeconds > 0 ? request.timeoutSeconds : 0;
  if (auto stop = setting(session, "SETTIMEOUT " + std::to_string(timeout), true)) return stop;
  return std::nullopt;
}

// One GETPIN; the PIN goes into `pin`.
Outcome readPin(Session& session, SecureBytes& pin, bool& repeated) {
  Io sent = session.send("GETPIN");
  if (sent != Io::ok) return sent == Io::stopped ? Outcome::stopped : Outcome::unavailable;
  assuan::Reply reply = session.readReply(&pin);
  if (session.stopped()) return Outcome::stopped;
  repeated = reply.repeated;
  return assuan::pinOutcome(reply);
}

}  // namespace

bool available() {
  return findPinentry().has_value();
}

Result getPin(const Request& request, Cancellation* cancellation) {
  Result result;
  Session session(cancellation);
  if (auto early = prepare(session, request)) {
    result.outcome = *early;
    return result;
  }
  SecureBytes pin;
  bool repeated = false;
  result.outcome = readPin(session, pin, repeated);
  if (result.outcome != Outcome::pin) return result;
  if (!request.repeat.empty() && !repeated) {
    // This pinentry took SETREPEAT but asked once (pinentry-curses does): ask again under the
    // repeat label and compare the two entries here. pinentry clears the error line itself.
    if (auto stop = setting(session, commandLine("SETPROMPT", request.repeat), true)) {
      result.outcome = *stop;
      return result;
    }
    SecureBytes again;
    bool ignored = false;
    result.outcome = readPin(session, again, ignored);
    if (result.outcome != Outcome::pin) return result;
    repeated = pin == again;
    if (!repeated) pin.clear();
  }
  result.pin = std::move(pin);
  result.repeated = repeated;
  return result;
}

namespace {

Outcome askConfirm(const Request& request, Cancellation* cancellation, const char* command) {
  Session session(cancellation);
  if (auto early = prepare(session, request)) return *early;
  Io sent = session.send(command);
  if (sent != Io::ok) return sent == Io::stopped ? Outcome::stopped : Outcome::unavailable;
  assuan::Reply reply = session.readReply(nullptr);
  if (session.stopped()) return Outcome::stopped;
  return assuan::confirmOutcome(reply);
}

}  // namespace

Outcome confirm(const Request& request, Cancellation* cancellation) {
  return askConfirm(request, cancellation, "CONFIRM");
}

Outcome notice(const Request& request, Cancellation* cancellation) {
  return askConfirm(request, cancellation, "CONFIRM --one-button");
}

}  // namespace pinentry
