// One pinentry process per prompt. Rules this file keeps:
// - the child's pid is read and cleared only under the Cancellation mutex, and every waitpid
//   happens there too, so stop() never signals a reaped (possibly reused) pid;
// - every started process is reaped before the prompt returns: no zombies;
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

void Cancellation::stop() {
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->stopped) {
      state->stopped = true;
      state->stoppedAt = Clock::now();
    }
    // SIGINT, not SIGTERM: pinentry restores the terminal on SIGINT only.
    if (state->pid > 0) kill(state->pid, SIGINT);
  }
  if (state->wake >= 0) {
    std::uint64_t one = 1;
    ssize_t ignored = write(state->wake, &one, sizeof one);
    (void)ignored;
  }
}

bool Cancellation::stopped() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->stopped;
}

namespace {

constexpr auto stopGrace = std::chrono::milliseconds(500);
constexpr auto byeGrace = std::chrono::seconds(1);

std::vector<std::string> searchPath() {
  const char* path = std::getenv("PATH");
  std::string value = path != nullptr ? path : "/bin:/usr/bin";  // posix_spawnp's default
  std::vector<std::string> dirs;
  std::size_t start = 0;
  while (true) {
    std::size_t colon = value.find(':', start);
    std::string dir = value.substr(start, colon == std::string::npos ? colon : colon - start);
    dirs.push_back(dir.empty() ? "." : dir);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return dirs;
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
        lines_([this](std::span<std::uint8_t> into, std::size_t& got) {
          return receive(into, got);
        }) {}
  ~Session() { finish(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool stopped() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->stopped;
  }

  bool start() {
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
      error = posix_spawnp(&pid, "pinentry", &actions, &attributes, argv, envp.data());
      if (error == 0) {
        state_->pid = pid;
        if (state_->stopped) kill(pid, SIGINT);
      }
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
    reap(deadline);
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

  // Waits for the process until `deadline`, then kills it; always reaps it.
  void reap(Clock::time_point deadline) {
    while (true) {
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) {
          state_->pid = 0;
          return;
        }
        if (Clock::now() >= deadline) {
          kill(pid_, SIGKILL);
          // A killed child cannot be reused before we reap it, so the pid can go first.
          state_->pid = 0;
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }

  std::shared_ptr<Cancellation::State> state_;
  pid_t pid_ = 0;
  int to_ = -1;
  int from_ = -1;
  std::optional<Clock::time_point> byeDeadline_;
  assuan::LineReader lines_;
};

// Starts pinentry and sets up the prompt; nullopt when that worked, else the outcome.
std::optional<Outcome> prepare(Session& session, const Request& request) {
  if (session.stopped()) return Outcome::stopped;
  if (!session.start()) return session.stopped() ? Outcome::stopped : Outcome::unavailable;

  assuan::Reply greeting = session.readReply(nullptr);
  if (!greeting.ok) return assuan::failure(greeting);

  auto command = [&](const std::string& line, bool required) -> std::optional<Outcome> {
    if (Io io = session.send(line); io != Io::ok) {
      return io == Io::stopped ? Outcome::stopped : Outcome::unavailable;
    }
    assuan::Reply reply = session.readReply(nullptr);
    if (reply.ok || (!required && reply.io == Io::ok)) return std::nullopt;
    Outcome outcome = assuan::failure(reply);
    // A refused setting means the prompt would not look as asked: don't show it.
    return outcome == Outcome::cancelled || outcome == Outcome::timedOut ? Outcome::unavailable
                                                                         : outcome;
  };

  // curses shows Chinese text only with a UTF-8 character type.
  if (auto stop = command("OPTION lc-ctype=C.UTF-8", false)) return stop;
  if (auto tty = terminalName()) {
    if (auto stop = command(commandLine("OPTION", "ttyname=" + *tty), false)) return stop;
    if (const char* term = std::getenv("TERM"); term != nullptr && *term != '\0') {
      if (auto stop = command(commandLine("OPTION", std::string("ttytype=") + term), false)) {
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
  for (const auto& setting : settings) {
    if (!setting.always && setting.text.empty()) continue;
    if (auto stop = command(commandLine(setting.name, setting.text), true)) return stop;
  }
  // Always sent: pinentry-tty otherwise arms a 60 s alarm of its own.
  int timeout = request.timeoutSeconds > 0 ? request.timeoutSeconds : 0;
  if (auto stop = command("SETTIMEOUT " + std::to_string(timeout), true)) return stop;
  return std::nullopt;
}

}  // namespace

bool available() {
  for (const auto& dir : searchPath()) {
    std::string candidate = dir + "/pinentry";
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

Result getPin(const Request& request, Cancellation* cancellation) {
  Result result;
  Session session(cancellation);
  if (auto early = prepare(session, request)) {
    result.outcome = *early;
    return result;
  }
  Io sent = session.send("GETPIN");
  if (sent != Io::ok) {
    result.outcome = sent == Io::stopped ? Outcome::stopped : Outcome::unavailable;
    return result;
  }
  SecureBytes pin;
  assuan::Reply reply = session.readReply(&pin);
  result.outcome = session.stopped() ? Outcome::stopped : assuan::pinOutcome(reply);
  if (result.outcome == Outcome::pin) {
    result.pin = std::move(pin);
    result.repeated = reply.repeated;
  }
  return result;
}

Outcome confirm(const Request& request, Cancellation* cancellation) {
  Session session(cancellation);
  if (auto early = prepare(session, request)) return *early;
  Io sent = session.send("CONFIRM");
  if (sent != Io::ok) return sent == Io::stopped ? Outcome::stopped : Outcome::unavailable;
  assuan::Reply reply = session.readReply(nullptr);
  if (session.stopped()) return Outcome::stopped;
  return assuan::confirmOutcome(reply);
}

}  // namespace pinentry
