#include "tests/wayland/WaylandSession.h"

#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace wayland {

namespace {

using namespace std::chrono_literals;

// Debian's unprivileged account.
constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
constexpr auto stepLimit = 10s;

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

}  // namespace

WaylandSession::WaylandSession() {
  if (access("/usr/bin/sway", X_OK) != 0) {
    problem_ = "sway is not installed";
    return;
  }
  const std::string dir = runtime_.path();
  // One output of a laptop's size, no bar, no X server beside it.
  testing_support::writeFile(runtime_.file("config"),
                             "output HEADLESS-1 resolution 1280x800\nxwayland disable\n");
  if (chown(dir.c_str(), nobody, nogroup) != 0 ||
      chown(runtime_.file("config").c_str(), nobody, nogroup) != 0) {
    problem_ = "cannot hand the runtime folder to nobody";
    return;
  }
  std::vector<std::string> words{"/usr/bin/setpriv",
                                 "--reuid=" + std::to_string(nobody),
                                 "--regid=" + std::to_string(nogroup),
                                 "--clear-groups",
                                 "/usr/bin/sway",
                                 "-c",
                                 runtime_.file("config")};
  std::vector<std::string> settings{"PATH=/usr/bin:/bin", "HOME=" + dir, "XDG_RUNTIME_DIR=" + dir,
                                    "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1"};
  std::vector<char*> argv, envp;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  for (auto& setting : settings) envp.push_back(setting.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  int failed = posix_spawn(&compositor_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    compositor_ = -1;
    problem_ = "cannot start sway";
    return;
  }
  // The IPC socket is made once the outputs are set up, after the Wayland socket.
  auto deadline = std::chrono::steady_clock::now() + stepLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    glob_t found{};
    if (exists(runtime_.file("wayland-1")) &&
        glob((dir + "/sway-ipc.*.sock").c_str(), 0, nullptr, &found) == 0) {
      socketPath_ = found.gl_pathv[0];
      globfree(&found);
      return;
    }
    globfree(&found);
    int status = 0;
    if (waitpid(compositor_, &status, WNOHANG) == compositor_) {
      compositor_ = -1;
      problem_ = "sway ended at once";
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
  problem_ = "sway did not come up";
}

WaylandSession::~WaylandSession() {
  if (compositor_ <= 0) return;
  kill(compositor_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (waitpid(compositor_, &status, WNOHANG) == compositor_) return;
    std::this_thread::sleep_for(10ms);
  }
  kill(compositor_, SIGKILL);
  waitpid(compositor_, &status, 0);
}

std::map<std::string, std::optional<std::string>> WaylandSession::clientEnvironment() const {
  return {{"XDG_RUNTIME_DIR", runtime_.path()},
          {"WAYLAND_DISPLAY", "wayland-1"},
          {"GDK_BACKEND", "wayland"},
          {"DISPLAY", std::nullopt}};
}

testing_support::RunResult WaylandSession::swaymsg(
    const std::vector<std::string>& arguments) const {
  testing_support::RunOptions options;
  options.environment["SWAYSOCK"] = socketPath_;
  options.timeout = stepLimit;
  return testing_support::run("/usr/bin/swaymsg", arguments, options);
}

bool WaylandSession::focusWindow(const std::string& title, std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // swaymsg fails when no window matches.
    if (swaymsg({"[title=\"^" + title + "$\"]", "focus"}).status == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

bool WaylandSession::hasWindow(const std::string& title) const {
  auto tree = swaymsg({"-t", "get_tree"});
  return tree.out.find("\"name\": \"" + title + "\"") != std::string::npos;
}

bool WaylandSession::keys(const std::vector<std::string>& steps) const {
  testing_support::RunOptions options;
  for (const auto& [name, value] : clientEnvironment()) options.environment[name] = value;
  options.timeout = stepLimit;
  return testing_support::run(FERROWICK_WAYLAND_KEYS, steps, options).status == 0;
}

}  // namespace wayland
