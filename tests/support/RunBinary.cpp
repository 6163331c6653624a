#include "tests/support/RunBinary.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace testing_support {

std::string ferrowickPath() {
  return FERROWICK_BINARY;
}

namespace {

std::vector<std::string> buildEnvironment(const RunOptions& options) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=');
    if (equals == std::string::npos) continue;
    variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [key, value] : options.environment) {
    if (value) {
      variables[key] = *value;
    } else {
      variables.erase(key);
    }
  }
  std::vector<std::string> result;
  for (const auto& [key, value] : variables) result.push_back(key + "=" + value);
  return result;
}

bool wrapped(const std::vector<std::string>& environment) {
  for (const auto& entry : environment) {
    if (entry.rfind("PAM_WRAPPER=", 0) == 0)
      return entry != "PAM_WRAPPER=" && entry != "PAM_WRAPPER=0";
  }
  return false;
}

bool isPamWrapperLine(std::string_view line) {
  for (std::string_view level : {"ERROR", "WARN", "DEBUG", "TRACE"}) {
    std::string prefix = "PWRAP_" + std::string(level) + "[";
    if (line.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

}  // namespace

std::string withoutPamWrapperLines(const std::string& text, std::string* setAside) {
  std::string kept;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string_view line(text.data() + start, end - start);
    if (isPamWrapperLine(line)) {
      if (setAside != nullptr) setAside->append(line);
    } else {
      kept.append(line);
    }
    start = end;
  }
  return kept;
}

void removePamWrapperFolderOf(pid_t pid) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != 5 || name.rfind("pam.", 0) != 0) continue;
    struct stat info;
    if (lstat(entry.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid()) {
      continue;
    }
    if (readFile(entry.path().string() + "/pid") == std::to_string(pid)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
}

RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const RunOptions& options) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  switch (options.standardOutput) {
    case StandardOutput::collected:
      posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
      break;
    case StandardOutput::fullDevice:
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
      break;
    case StandardOutput::closed:
      posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
      break;
    case StandardOutput::readerGone:
      close(outPipe[0]);
      outPipe[0] = -1;
      posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
      break;
  }
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  if (options.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group, so a time-out can end whatever it started too.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attributes, &defaults);

  std::vector<std::string> argvStrings{program};
  if (options.user) {
    // setpriv changes every id and then execs the program in the same process, so `pid` below
    // is the program's own.
    argvStrings = {"/usr/bin/setpriv",
                   "--reuid=" + std::to_string(options.user->first),
                   "--regid=" + std::to_string(options.user->second),
                   "--clear-groups",
                   "--",
                   program};
  }
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argvStrings) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = buildEnvironment(options);
  std::vector<char*> envp;
  for (auto& text : envStrings) envp.push_back(text.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  int spawnError = posix_spawn(&pid, argvStrings.front().c_str(), &actions, &attributes,
                               argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawnError != 0) {
    if (outPipe[0] >= 0) close(outPipe[0]);
    close(errPipe[0]);
    throw std::runtime_error("posix_spawn " + program + ": " + std::strerror(spawnError));
  }
  if (options.started) {
    try {
      options.started(pid);
    } catch (...) {
      kill(-pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      if (outPipe[0] >= 0) close(outPipe[0]);
      close(errPipe[0]);
      throw;
    }
  }

  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = outPipe[0] >= 0 ? 2 : 1;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.status = 128 + WTERMSIG(status);
  }
  if (wrapped(envStrings)) {
    result.err = withoutPamWrapperLines(result.err, &result.pamWrapperLines);
    if (WIFSIGNALED(status)) removePamWrapperFolderOf(pid);
  }
  return result;
}

RunResult runFerrowick(const std::vector<std::string>& arguments, const RunOptions& options) {
  return run(ferrowickPath(), arguments, options);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ferrowick-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests make folders read-only on purpose; give them back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      chmod(it->path().c_str(), 0700);
    }
  }
  chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ignored);
}

RunOptions privateHomeOptions(const TempDir& home) {
  RunOptions options;
  options.environment["HOME"] = home.path();
  options.environment["XDG_DATA_HOME"] = home.file("data");
  options.environment["DISPLAY"] = std::nullopt;
  options.environment["WAYLAND_DISPLAY"] = std::nullopt;
  return options;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void writeFile(const std::string& path, const std::string& contents, int mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  const char* next = contents.data();
  std::size_t left = contents.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written <= 0) break;
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  ::close(fd);
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::pair<int, int> pinentryVersion(const std::string& program) {
  RunOptions options;
  options.timeout = std::chrono::seconds(10);
  std::istringstream line(run(program, {"--version"}, options).out);
  std::string name, package;
  int major = 0, minor = 0;
  char dot = 0;
  line >> name >> package >> major >> dot >> minor;
  return {major, minor};
}

}  // namespace testing_support
