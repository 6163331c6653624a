#include "tests/gui/VirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

#include "tests/gui/closeWindow.h"

extern char** environ;

namespace gui {

namespace {

constexpr std::chrono::seconds stepLimit{10};

std::map<std::string, long> shellValues(const std::string& text) {
  std::map<std::string, long> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    values[line.substr(0, equals)] = std::strtol(line.c_str() + equals + 1, nullptr, 10);
  }
  return values;
}

void stop(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
}

}  // namespace

VirtualDisplay::VirtualDisplay(Screen screen) : screen_(screen) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The read end first: where the pipe itself got 3 and 4, closing it after the dup2 would
  // close the server's display descriptor.
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
  std::string size = std::to_string(screen_.width) + "x" + std::to_string(screen_.height) + "x24";
  std::vector<std::string> words{"Xvfb", "-displayfd", "3",   "-screen", "0",
                                 size,   "-nolisten",  "tcp", "-noreset"};
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int failed = posix_spawnp(&server_, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (failed != 0) {
    server_ = -1;
    close(pipeFds[0]);
    return;
  }
  // The server writes its display number once it accepts connections.
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + stepLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{pipeFds[0], POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[32];
    ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    number.append(buffer, static_cast<std::size_t>(got));
    if (number.find('\n') != std::string::npos) break;
  }
  close(pipeFds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
  if (!number.empty()) name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() {
  for (pid_t client : clients_) stop(client);
  if (server_ > 0) stop(server_);
}

bool VirtualDisplay::startClient(const std::vector<std::string>& arguments) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words = arguments;
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> settings{"DISPLAY=" + name_};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "DISPLAY=", 8) != 0) settings.emplace_back(*entry);
  }
  std::vector<char*> envp;
  for (auto& setting : settings) envp.push_back(setting.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  clients_.push_back(pid);
  return true;
}

bool VirtualDisplay::startWindowManager() {
  if (!startClient({"openbox", "--sm-disable"})) return false;
  // A window manager announces itself on the root window once it manages the screen.
  auto deadline = std::chrono::steady_clock::now() + stepLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    auto probe =
        testing_support::run("/usr/bin/xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}, options());
    if (probe.status == 0 && probe.out.find("window id") != std::string::npos) {
      windowManager_ = true;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

testing_support::RunOptions VirtualDisplay::options() const {
  testing_support::RunOptions options;
  options.environment["DISPLAY"] = name_;
  options.timeout = stepLimit;
  return options;
}

testing_support::RunResult VirtualDisplay::xdotool(
    const std::vector<std::string>& arguments) const {
  return testing_support::run("/usr/bin/xdotool", arguments, options());
}

std::optional<std::string> VirtualDisplay::waitForWindow(const std::string& title,
                                                         std::chrono::milliseconds limit) const {
  // Looks at least once, so a zero limit asks whether the window is there now.
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto found = xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"});
    if (found.status == 0 && !found.out.empty()) return found.out.substr(0, found.out.find('\n'));
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
}

bool VirtualDisplay::windowGone(const std::string& title) const {
  auto found = xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"});
  return found.out.empty();
}

bool VirtualDisplay::focus(const std::string& window) const {
  // A window manager takes focus requests as activations; without one, focus is set directly.
  return xdotool(
             {"mousemove", std::to_string(screen_.width - 10), std::to_string(screen_.height - 10)})
                 .status == 0 &&
         xdotool({windowManager_ ? "windowactivate" : "windowfocus", "--sync", window}).status == 0;
}

std::string VirtualDisplay::focused() const {
  auto found = xdotool({"getwindowfocus"});
  if (found.status != 0) return "";
  return found.out.substr(0, found.out.find('\n'));
}

std::optional<VirtualDisplay::Geometry> VirtualDisplay::geometry(const std::string& window) const {
  auto shown = xdotool({"getwindowgeometry", "--shell", window});
  if (shown.status != 0) return std::nullopt;
  auto values = shellValues(shown.out);
  return Geometry{values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]};
}

bool VirtualDisplay::setClipboard(const std::string& text) const {
  testing_support::TempDir scratch;
  const std::string file = scratch.file("clipboard");
  testing_support::writeFile(file, text);
  // xclip stays behind to serve the paste: give it no pipe of ours to hold open.
  return testing_support::run("/bin/sh",
                              {"-c",
                               "exec /usr/bin/xclip -selection clipboard -i \"$1\" "
                               ">/dev/null 2>&1",
                               "sh", file},
                              options())
             .status == 0;
}

bool VirtualDisplay::type(const std::string& text) const {
  // Faster typing sometimes drops a non-ASCII letter.
  return xdotool({"type", "--delay", "40", "--", text}).status == 0;
}

bool VirtualDisplay::key(const std::string& keys) const {
  return xdotool({"key", "--clearmodifiers", keys}).status == 0;
}

bool VirtualDisplay::clickAt(const std::string& window, double x, int fromBottom) const {
  auto geometry = shellValues(xdotool({"getwindowgeometry", "--shell", window}).out);
  if (geometry["WIDTH"] <= 0 || geometry["HEIGHT"] <= 0) return false;
  long px = std::lround(static_cast<double>(geometry["WIDTH"]) * x);
  long py = geometry["HEIGHT"] - fromBottom;
  return xdotool({"mousemove", "--sync", "--window", window, std::to_string(px), std::to_string(py),
                  "click", "1"})
             .status == 0;
}

bool VirtualDisplay::requestClose(const std::string& window) const {
  return sendDeleteWindow(name_, std::stoul(window));
}

bool VirtualDisplay::screenshot(const std::string& window, const std::string& path) const {
  return testing_support::run("/usr/bin/import", {"-window", window, path}, options()).status == 0;
}

}  // namespace gui
