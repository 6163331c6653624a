// The real Debian pinentry-curses and pinentry-tty, each the `pinentry` on PATH, driven in a tmux
// pane that is the binary's terminal, with real PAM (pam_matrix behind libpam_wrapper).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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

const std::string ownerPassword = "owner pass 1";
const std::string keychainPassword = "keychain pass 1";

class TerminalPinentry : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    program_ = std::string("/usr/bin/") + GetParam();
    if (access(program_.c_str(), X_OK) != 0) GTEST_SKIP() << program_ << " is not installed";
    mkdir(dir_.file("bin").c_str(), 0700);
    ASSERT_EQ(symlink(program_.c_str(), dir_.file("bin/pinentry").c_str()), 0);
    mkdir(dir_.file("home").c_str(), 0700);
  }
  void TearDown() override {
    for (; runs_ > 0; --runs_) tmux({"kill-server"});
  }

  // Each run has a tmux server of its own: the previous one exits with its last pane, and a
  // new session asked of it meanwhile would fail.
  testing_support::RunResult tmux(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(),
                     {"-u", "-S", dir_.file("tmux-" + std::to_string(runs_) + ".socket")});
    testing_support::RunOptions options;
    options.environment["LC_ALL"] = "C.UTF-8";
    options.timeout = 20s;
    return testing_support::run("/usr/bin/tmux", arguments, options);
  }

  // Starts `Ferrowick <operation> <operand>` as the pane's program; its results go to files.
  void start(const std::string& operation, const std::string& operand) {
    std::string script = "#!/bin/sh\n";
    for (const auto& [key, value] : pam_.environment()) {
      if (value) script += "export " + key + "='" + *value + "'\n";
    }
    script += "export PATH='" + dir_.file("bin") + "' HOME='" + dir_.file("home") +
              "' XDG_DATA_HOME='" + dir_.file("home/data") + "' LC_ALL=C.UTF-8\nunset DISPLAY\n";
    script += "'" + testing_support::ferrowickPath() + "' " + operation + " '" + operand + "' >'" +
              dir_.file("out") + "' 2>'" + dir_.file("err") + "'\necho $? >'" +
              dir_.file("status.tmp") + "'\n/bin/mv '" + dir_.file("status.tmp") + "' '" +
              dir_.file("status") + "'\n";
    writeFile(dir_.file("run.sh"), script, 0700);
    unlink(dir_.file("status").c_str());
    ++runs_;
    testing_support::RunResult started =
        tmux({"new-session", "-d", "-x", "120", "-y", "40", dir_.file("run.sh")});
    ASSERT_EQ(started.status, 0) << started.err;
  }

  // Waits until the pane shows `text` and has stopped changing.
  bool shows(const std::string& text, std::chrono::seconds limit = 20s) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string screen = tmux({"capture-pane", "-p"}).out;
      if (screen.find(text) != std::string::npos) {
        // Settled: pinentry has drawn its whole prompt and is reading (tty discards input typed
        // before it switches the terminal over).
        std::this_thread::sleep_for(200ms);
        if (tmux({"capture-pane", "-p"}).out == screen) return true;
        continue;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // Handed to the pane as input, as the owner's typing would be. The text goes through a
  // private file and a tmux buffer, never through a command line.
  void typeLine(const std::string& text) {
    writeFile(dir_.file("typed"), text, 0600);
    ASSERT_EQ(tmux({"load-buffer", "-b", "typed", dir_.file("typed")}).status, 0);
    unlink(dir_.file("typed").c_str());
    ASSERT_EQ(tmux({"paste-buffer", "-d", "-b", "typed"}).status, 0);
    ASSERT_EQ(tmux({"send-keys", "Enter"}).status, 0);
  }

  // The run's exit status once it ended; -1 if it didn't in time.
  int finished(std::chrono::seconds limit = 30s) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string status = readFile(dir_.file("status"));
      if (!status.empty()) return std::stoi(status);
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }
  std::string out() const { return readFile(dir_.file("out")); }
  // The tool's own lines: the wrapper's are about other processes' folders.
  std::string err() const {
    return testing_support::withoutPamWrapperLines(readFile(dir_.file("err")));
  }

  // Both entries of a new keychain password: curses asks once and is asked again, tty asks
  // twice itself; either way the second entry is under the repeat label.
  void newKeychain() {
    start("ensure-key", "device-1");
    ASSERT_TRUE(shows("新密码"));
    typeLine(keychainPassword);
    ASSERT_TRUE(shows("再次输入"));
    typeLine(keychainPassword);
    ASSERT_EQ(finished(), 0) << err();
    ASSERT_EQ(out(), "created\n");
  }

  std::string program_;
  int runs_ = 0;
  TempDir dir_;
  PamEnvironment pam_{PamEnvironment::currentUser(), ownerPassword};
};

TEST_P(TerminalPinentry, FirstEnsureKeyCreatesTheKeychainAndReadKeyGivesTheKey) {
  newKeychain();
  start("read-key", "device-1");
  ASSERT_TRUE(shows("device-1"));  // the approval's reason names the key
  typeLine(ownerPassword);
  ASSERT_TRUE(shows("login.keychain-db"));  // the keychain's own prompt names its file
  typeLine(keychainPassword);
  EXPECT_EQ(finished(), 0) << err();
  EXPECT_EQ(out().size(), 32u);
  EXPECT_EQ(err(), "");
}

TEST_P(TerminalPinentry, ApproveAfterOneWrongPassword) {
  start("approve", "approve-marker");
  ASSERT_TRUE(shows("approve-marker"));
  typeLine("wrong password");
  ASSERT_TRUE(shows("密码不正确"));
  typeLine(ownerPassword);
  EXPECT_EQ(finished(), 0) << err();
  EXPECT_EQ(out(), "approved\n");
}

TEST_P(TerminalPinentry, CancelIsARefusal) {
  start("approve", "approve-marker");
  ASSERT_TRUE(shows("approve-marker"));
  // tty cancels on end of input; curses with its cancel button, two tabs past the field.
  std::vector<std::string> keys =
      std::string(GetParam()) == "pinentry-tty"
          ? std::vector<std::string>{"send-keys", "C-d"}
          : std::vector<std::string>{"send-keys", "Tab", "Tab", "Enter"};
  ASSERT_EQ(tmux(keys).status, 0);
  EXPECT_EQ(finished(), 1);
  EXPECT_EQ(err(), "User approval denied or expired\n");
  EXPECT_EQ(out(), "");
}

INSTANTIATE_TEST_SUITE_P(Debian, TerminalPinentry,
                         testing::Values("pinentry-curses", "pinentry-tty"),
                         [](const auto& flavour) {
                           std::string name = flavour.param;
                           return name.substr(name.find('-') + 1);
                         });

}  // namespace
