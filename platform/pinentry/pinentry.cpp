// One pinentry process per prompt, spoken to over two pipes. Rules this file keeps:
// - every started process is reaped before the prompt returns: no zombies;
// - only a pinentry that nobody but root or this user could have placed is run, by its path;
// - the PIN only ever sits in SecureBytes (the line buffer included).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/pinentry/Pinentry.h"
#include "platform/pinentry/assuan.h"
#include "platform/pinentry/pinentryProcess.h"
#include "platform/pinentry/pinentrySearch.h"

namespace pinentry {

namespace {

constexpr auto byeGrace = std::chrono::seconds(1);
constexpr auto deadlineGrace = std::chrono::seconds(1);

// The name of our controlling terminal (pinentry runs in a session of its own, where
// /dev/tty means nothing), from the device number the kernel keeps for us. Read with plain
// calls: the stream classes would bring the C++ locale machinery into every run's binary.
std::optional<std::string> controllingTerminalName() {
  int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[1024];
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return std::nullopt;
  text[got] = '\0';
  // The command name before it, in parentheses, may hold anything, ')' included.
  const char* end = std::strrchr(text, ')');
  if (end == nullptr) return std::nullopt;
  char state = 0;
  long parent = 0, group = 0, session = 0, device = 0;
  if (std::sscanf(end + 1, " %c %ld %ld %ld %ld", &state, &parent, &group, &session, &device) !=
          5 ||
      device <= 0) {
    return std::nullopt;
  }
  const unsigned int major = (device >> 8) & 0xFFF;
  const unsigned int minor = (device & 0xFF) | ((device >> 12) & 0xFFF00);
  std::string name;
  if (major >= 136 && major <= 143) {
    name = "/dev/pts/" + std::to_string((major - 136) * 256 + minor);
  } else if (major == 4) {
    name = "/dev/tty" + std::to_string(minor);
  } else {
    return std::nullopt;
  }
  struct stat info {};
  if (stat(name.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) ||
      info.st_rdev != makedev(major, minor)) {
    return std::nullopt;
  }
  return name;
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
    return controllingTerminalName();
  }
  return std::nullopt;
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
    // An ending signal, or our own deadline, stops the prompt as stop() would (once).
    if (!endedByUs_ && (interrupted() || (deadline_ && Clock::now() >= *deadline_))) {
      endedByUs_ = true;
      stopPrompt(*state_);
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->stopped;
  }

  // An entry of this prompt was no PIN (see readPin).
  bool wrongEntry = false;

  // A prompt with a time-out is ended by us too (Outcome::stopped), a little after pinentry's
  // own would have ended it: a pinentry that never answers can't keep the run waiting.
  void endAfter(int timeoutSeconds) {
    if (timeoutSeconds > 0) {
      deadline_ = Clock::now() + std::chrono::seconds(timeoutSeconds) + deadlineGrace;
    }
  }

  bool start() {
    int program = openPinentry(geteuid());
    if (program < 0) return false;
    const bool started = startProcess(program, *state_, pid_, to_, from_);
    close(program);
    return started;
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
      if (deadline_) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now());
        int untilDeadline = static_cast<int>(std::max<long long>(left.count(), 0) + 1);
        timeout = timeout < 0 ? untilDeadline : std::min(timeout, untilDeadline);
      }
      pollfd fds[3] = {
          {fd, events, 0}, {state_->wake, POLLIN, 0}, {interruptionEvent(), POLLIN, 0}};
      int ready = poll(fds, 3, timeout);
      if (ready < 0 && errno != EINTR) return Io::eof;
      if (ready > 0 && fds[0].revents != 0) return Io::ok;  // POLLHUP/POLLERR show up as EOF
    }
  }

  std::shared_ptr<Cancellation::State> state_;
  pid_t pid_ = 0;
  int to_ = -1;
  int from_ = -1;
  std::optional<Clock::time_point> byeDeadline_;
  std::optional<Clock::time_point> deadline_;
  bool endedByUs_ = false;
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
  Outcome outcome = assuan::pinOutcome(reply);
  // No password holds a NUL, and the C strings it goes on in would end there: what came is
  // a wrong entry, handed on as no PIN (as a mismatched repeat is).
  if (outcome == Outcome::pin && !pin.empty() &&
      std::memchr(pin.data(), 0, pin.size()) != nullptr) {
    pin.clear();
    repeated = false;
    session.wrongEntry = true;
  }
  return outcome;
}

}  // namespace

bool available() {
  int program = openPinentry(geteuid());
  if (program < 0) return false;
  close(program);
  return true;
}

Result getPin(const Request& request, Cancellation* cancellation) {
  Result result;
  Session session(cancellation);
  session.endAfter(request.timeoutSeconds);
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
    repeated = pin == again && !session.wrongEntry;
    if (!repeated) pin.clear();
  }
  result.pin = std::move(pin);
  result.repeated = repeated;
  return result;
}

namespace {

Outcome askConfirm(const Request& request, Cancellation* cancellation, const char* command) {
  Session session(cancellation);
  session.endAfter(request.timeoutSeconds);
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
