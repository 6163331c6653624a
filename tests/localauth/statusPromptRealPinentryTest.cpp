// The status prompt of a module that waits (a fingerprint reader, say) in Debian's real
// pinentries: pinentry-curses and pinentry-tty in a tmux pane that is the binary's terminal, and
// pinentry-gtk-2 on a private X server; real PAM (the waiting module and pam_matrix behind
// libpam_wrapper).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "tests/gui/VirtualDisplay.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string ownerPassword = "owner pass 1";
const std::string fingerMessage = "Place your finger on the fingerprint reader";

// A service whose first module messages and waits for `trigger` (or `seconds`, then hands on to
// the password), as Debian's pam_fprintd does in front of pam_unix.
void waitingService(const PamEnvironment& pam, const TempDir& dir, int seconds) {
  std::string matrix = PamEnvironment::moduleDir() + "/pam_matrix.so passdb=" + dir.file("passdb");
  writeFile(dir.file("passdb"),
            PamEnvironment::currentUser() + ":" + ownerPassword + ":ferrowick\n");
  writeFile(pam.serviceDir() + "/ferrowick",
            "auth [success=done default=ignore] " + std::string(WAITING_MODULE) +
                " trigger=" + dir.file("trigger") + " wait=" + std::to_string(seconds) +
                " then=next\nauth required " + matrix + "\naccount required " + matrix + "\n");
}

// Whether a pinentry started with our private PATH (so by a run of this test) still runs.
bool pinentryOfOursRunning(const std::string& program, const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  if (!proc) return false;
  const std::string mark = "PATH=" + path;
  while (dirent* entry = readdir(proc.get())) {
    std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    char exe[4096];
    ssize_t length = readlink(("/proc/" + pid + "/exe").c_str(), exe, sizeof exe - 1);
    if (length <= 0 || std::string(exe, static_cast<std::size_t>(length)) != program) continue;
    std::string environment = readFile("/proc/" + pid + "/environ");
    for (std::size_t at = 0; at < environment.size();) {
      std::size_t end = environment.find('\0', at);
      if (end == std::string::npos) end = environment.size();
      if (environment.compare(at, end - at, mark) == 0) return true;
      at = end + 1;
    }
  }
  return false;
}

class TerminalStatusPrompt : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (access(program_.c_str(), X_OK) != 0) GTEST_SKIP() << program_ << " is not installed";
    ASSERT_EQ(mkdir(dir_.file("bin").c_str(), 0700), 0);
    ASSERT_EQ(symlink(program_.c_str(), dir_.file("bin/pinentry").c_str()), 0);
  }
  void TearDown() override {
    if (started_) tmux({"kill-server"});
  }

  RunResult tmux(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"-u", "-S", dir_.file("tmux.socket")});
    testing_support::RunOptions options;
    options.environment["LC_ALL"] = "C.UTF-8";
    options.timeout = 20s;
    return testing_support::run("/usr/bin/tmux", arguments, options);
  }

  void approve(const std::string& reason) {
    std::string script = "#!/bin/sh\n";
    for (const auto& [key, value] : pam_.environment()) {
      if (value) script += "export " + key + "='" + *value + "'\n";
    }
    script += "export PATH='" + dir_.file("bin") + "' LC_ALL=C.UTF-8\nunset DISPLAY\n";
    script += "'" + testing_support::ferrowickPath() + "' approve '" + reason + "' >'" +
              dir_.file("out") + "' 2>'" + dir_.file("err") + "'\necho $? >'" +
              dir_.file("status.tmp") + "'\n/bin/mv '" + dir_.file("status.tmp") + "' '" +
              dir_.file("status") + "'\n";
    writeFile(dir_.file("run.sh"), script, 0700);
    started_ = true;
    RunResult started = tmux({"new-session", "-d", "-x", "120", "-y", "40", dir_.file("run.sh")});
    ASSERT_EQ(started.status, 0) << started.err;
  }

  std::string screen() const { return tmux({"capture-pane", "-p"}).out; }

  bool shows(const std::string& text, std::chrono::seconds limit = 20s) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string now = screen();
      if (now.find(text) != std::string::npos) {
        std::this_thread::sleep_for(200ms);  // drawn in full, and reading keys
        if (screen() == now) return true;
        continue;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // The run's exit status and how long after `since` it ended; -1 if it didn't in time.
  int finished(std::chrono::steady_clock::time_point since, std::chrono::milliseconds& took) const {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string status = readFile(dir_.file("status"));
      if (!status.empty()) {
        took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - since);
        return std::stoi(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  const std::string program_ = std::string("/usr/bin/") + GetParam();
  TempDir dir_;
  PamEnvironment pam_{PamEnvironment::currentUser(), ownerPassword};
  bool started_ = false;
};

TEST_P(TerminalStatusPrompt, TheTouchApprovesWhatTheOwnerSawAndTheStatusPromptIsGone) {
  waitingService(pam_, dir_, 30);
  approve("Sign in to Peldora");
  ASSERT_TRUE(shows(fingerMessage)) << screen();
  std::string shown = screen();
  EXPECT_NE(shown.find("Sign in to Peldora"), std::string::npos) << shown;
  EXPECT_NE(shown.find("取消执行"), std::string::npos) << shown;
  writeFile(dir_.file("trigger"), "success\n");
  std::chrono::milliseconds took{};
  EXPECT_EQ(finished(std::chrono::steady_clock::now(), took), 0) << readFile(dir_.file("err"));
  EXPECT_EQ(readFile(dir_.file("out")), "approved\n");
  EXPECT_FALSE(pinentryOfOursRunning(program_, dir_.file("bin")));
}

TEST_P(TerminalStatusPrompt, ItsButtonEndsTheApprovalWithinASecondWhileTheModuleWaits) {
  waitingService(pam_, dir_, 60);
  approve("Sign in to Peldora");
  ASSERT_TRUE(shows(fingerMessage)) << screen();
  auto pressed = std::chrono::steady_clock::now();
  ASSERT_EQ(tmux({"send-keys", "Enter"}).status, 0);
  std::chrono::milliseconds took{};
  EXPECT_EQ(finished(pressed, took), 1);
  EXPECT_LT(took, 1000ms);
  EXPECT_EQ(readFile(dir_.file("err")), "User approval denied or expired\n");
  EXPECT_EQ(readFile(dir_.file("out")), "");
  EXPECT_FALSE(pinentryOfOursRunning(program_, dir_.file("bin")));
}

TEST_P(TerminalStatusPrompt, WhenTheReaderGivesUpThePasswordPromptFollows) {
  waitingService(pam_, dir_, 2);
  approve("Sign in to Peldora");
  ASSERT_TRUE(shows(fingerMessage)) << screen();
  ASSERT_TRUE(shows("Password")) << screen();  // pam_matrix's prompt
  // curses draws each prompt afresh; tty writes below what was there, which stays in view.
  if (std::string(GetParam()) == "pinentry-curses") {
    EXPECT_EQ(screen().find(fingerMessage), std::string::npos) << screen();
  }
  writeFile(dir_.file("typed"), ownerPassword, 0600);
  ASSERT_EQ(tmux({"load-buffer", "-b", "typed", dir_.file("typed")}).status, 0);
  ASSERT_EQ(tmux({"paste-buffer", "-d", "-b", "typed"}).status, 0);
  ASSERT_EQ(tmux({"send-keys", "Enter"}).status, 0);
  std::chrono::milliseconds took{};
  EXPECT_EQ(finished(std::chrono::steady_clock::now(), took), 0) << readFile(dir_.file("err"));
  EXPECT_EQ(readFile(dir_.file("out")), "approved\n");
}

// curses shows the button as <取消执行> and takes Enter; tty shows "取消执行 (OK)" and takes any
// key.
INSTANTIATE_TEST_SUITE_P(Flavours, TerminalStatusPrompt,
                         testing::Values("pinentry-curses", "pinentry-tty"));

class GtkStatusPrompt : public testing::Test {
 protected:
  void SetUp() override {
    if (access(program_.c_str(), X_OK) != 0) GTEST_SKIP() << program_ << " is not installed";
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(display_.started());
    ASSERT_EQ(mkdir(dir_.file("bin").c_str(), 0700), 0);
    ASSERT_EQ(symlink(program_.c_str(), dir_.file("bin/pinentry").c_str()), 0);
  }

  std::future<RunResult> approve(const std::string& reason) {
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    options.environment["PATH"] = dir_.file("bin");
    options.environment["DISPLAY"] = display_.name();
    options.environment["LC_ALL"] = "C.UTF-8";
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
    options.environment["GPG_TTY"] = std::nullopt;
    options.timeout = 60s;
    return std::async(std::launch::async, [reason, options] {
      return testing_support::runFerrowick({"approve", reason}, options);
    });
  }

  // The pinentry's visible window, focused and titled as the approval's prompts are.
  std::optional<std::string> shownPinentry() const {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      auto found = display_.xdotool({"search", "--onlyvisible", "--classname", "^pinentry"});
      if (found.status == 0 && !found.out.empty()) {
        std::string window = found.out.substr(0, found.out.find('\n'));
        auto title = display_.xdotool({"getwindowname", window});
        EXPECT_EQ(title.out, "Ferrowick\n");
        if (display_.focus(window)) return window;
      }
      std::this_thread::sleep_for(50ms);
    }
    return std::nullopt;
  }

  const std::string program_ = "/usr/bin/pinentry-gtk-2";
  gui::VirtualDisplay display_;
  TempDir dir_;
  PamEnvironment pam_{PamEnvironment::currentUser(), ownerPassword};
};

TEST_F(GtkStatusPrompt, ItsButtonOrClosingItEndsTheApprovalAndATouchApproves) {
  waitingService(pam_, dir_, 60);
  // Return presses the one button; the window manager's close goes the same way.
  for (bool byButton : {true, false}) {
    SCOPED_TRACE(byButton ? "button" : "closed");
    auto run = approve("Sign in to Peldora");
    std::optional<std::string> window = shownPinentry();
    ASSERT_TRUE(window) << "no pinentry window came up";
    auto pressed = std::chrono::steady_clock::now();
    ASSERT_TRUE(byButton ? display_.key("Return") : display_.requestClose(*window));
    RunResult result = run.get();
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, 1000ms);
    EXPECT_EQ(result.err, "User approval denied or expired\n");
    EXPECT_EQ(result.status, 1);
  }

  auto run = approve("Sign in to Peldora");
  ASSERT_TRUE(shownPinentry()) << "no pinentry window came up";
  writeFile(dir_.file("trigger"), "success\n");
  RunResult result = run.get();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(display_.windowGone("Ferrowick"));
  EXPECT_FALSE(pinentryOfOursRunning(program_, dir_.file("bin")));
}

}  // namespace
