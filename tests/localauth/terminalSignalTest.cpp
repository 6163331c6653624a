// Debian's real pinentry-curses in a tmux pane, the binary's terminal, with real PAM: an ending
// signal sent to the binary while the prompt is on the screen closes the prompt, gives the
// screen back as it was, and ends the run with its line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

class TerminalSignal : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (access(program_, X_OK) != 0) GTEST_SKIP() << program_ << " is not installed";
    mkdir(dir_.file("bin").c_str(), 0700);
    ASSERT_EQ(symlink(program_, dir_.file("bin/pinentry").c_str()), 0);
    mkdir(dir_.file("home").c_str(), 0700);
  }
  void TearDown() override {
    if (started_) tmux({"kill-server"});
  }

  testing_support::RunResult tmux(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"-u", "-S", dir_.file("tmux.socket")});
    testing_support::RunOptions options;
    options.environment["LC_ALL"] = "C.UTF-8";
    options.timeout = 20s;
    return testing_support::run("/usr/bin/tmux", arguments, options);
  }

  // The pane's shell runs the binary, then records its status and the terminal's modes.
  void start(const std::string& operation, const std::string& operand) {
    std::string script = "#!/bin/sh\n";
    for (const auto& [key, value] : pam_.environment()) {
      if (value) script += "export " + key + "='" + *value + "'\n";
    }
    script += "export PATH='" + dir_.file("bin") + "' HOME='" + dir_.file("home") +
              "' XDG_DATA_HOME='" + dir_.file("home/data") + "' LC_ALL=C.UTF-8\nunset DISPLAY\n";
    script += "echo $$ >'" + dir_.file("shell") + "'\n'" + testing_support::ferrowickPath() + "' " +
              operation + " '" + operand + "' >'" + dir_.file("out") + "' 2>'" + dir_.file("err") +
              "'\necho $? >'" + dir_.file("status.tmp") + "'\n/bin/stty -a >'" + dir_.file("stty") +
              "'\n/bin/mv '" + dir_.file("status.tmp") + "' '" + dir_.file("status") +
              "'\nsleep 30\n";
    writeFile(dir_.file("run.sh"), script, 0700);
    started_ = true;
    testing_support::RunResult started =
        tmux({"new-session", "-d", "-x", "120", "-y", "40", dir_.file("run.sh")});
    ASSERT_EQ(started.status, 0) << started.err;
  }

  std::string screen() const { return tmux({"capture-pane", "-p"}).out; }

  bool shows(const std::string& text) const {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (screen().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // The run's exit status once it ended; -1 if it didn't in time.
  int finished() const {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string status = readFile(dir_.file("status"));
      if (!status.empty()) return std::stoi(status);
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

  // The binary: the pane shell's one child.
  int runPid() const {
    const std::string shell = readFile(dir_.file("shell"));
    if (shell.empty()) return -1;
    const int pid = std::stoi(shell);
    std::string children =
        readFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    return children.empty() ? -1 : std::stoi(children);
  }

  const char* program_ = "/usr/bin/pinentry-curses";
  bool started_ = false;
  TempDir dir_;
  PamEnvironment pam_{PamEnvironment::currentUser(), "owner pass 1"};
};

TEST_P(TerminalSignal, ThePromptClosesAndTheScreenIsGivenBack) {
  const int signal = GetParam();
  start("approve", "approve-marker");
  ASSERT_TRUE(shows("approve-marker"));
  const int run = runPid();
  ASSERT_GT(run, 0);
  ASSERT_EQ(kill(run, signal), 0);
  EXPECT_EQ(finished(), 1) << strsignal(signal);
  EXPECT_EQ(readFile(dir_.file("err")), "User approval denied or expired\n");
  EXPECT_EQ(readFile(dir_.file("out")), "");
  const std::string left = screen();
  EXPECT_EQ(left.find("approve-marker"), std::string::npos) << left;
  // The terminal is back in the modes a shell expects: lines, echo, signals from the keyboard.
  const std::string modes = readFile(dir_.file("stty"));
  for (std::string mode : {"icanon", "echo", "isig"}) {
    EXPECT_NE(modes.find(mode + " "), std::string::npos) << mode << " in " << modes;
    EXPECT_EQ(modes.find("-" + mode + " "), std::string::npos) << mode << " in " << modes;
  }
  EXPECT_TRUE(kill(run, 0) != 0 && errno == ESRCH);
}

INSTANTIATE_TEST_SUITE_P(Curses, TerminalSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& each) {
                           return std::string(sigabbrev_np(each.param));
                         });

}  // namespace
