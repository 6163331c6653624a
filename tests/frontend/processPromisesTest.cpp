// What the README promises of the running process, seen from outside while `approve` waits on
// its prompt (real PAM through libpam_wrapper, the scripted pinentry holding the prompt open):
// a core file limit of zero, and no core file when it is killed by a signal that dumps one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::RunResult;

const std::string password = "promises 密码";

// The "Max core file size" row of /proc/PID/limits: soft and hard, as the kernel prints them.
std::string coreLimitOf(pid_t pid) {
  std::istringstream limits(testing_support::readFile("/proc/" + std::to_string(pid) + "/limits"));
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind("Max core file size", 0) != 0) continue;
    std::istringstream fields(line.substr(std::string("Max core file size").size()));
    std::string soft, hard;
    fields >> soft >> hard;
    return soft + " " + hard;
  }
  return "<none>";
}

class ProcessPromises : public testing::Test {
 protected:
  void SetUp() override {
    // Whatever limit the tool inherits, it must lower its own to zero.
    rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    if (getrlimit(RLIMIT_CORE, &saved_) == 0) setrlimit(RLIMIT_CORE, &unlimited);
  }
  void TearDown() override {
    setrlimit(RLIMIT_CORE, &saved_);
    release();  // lets a prompt still open answer, if a check failed early
    if (runner_.joinable()) runner_.join();
  }

  // Starts `approve` in the background; its prompt stays open until release().
  void startApprove() {
    pinentry_.script({"await " + release_ + " pin " + password});
    options_.environment = pam_.environment();
    for (const auto& [key, value] : pinentry_.environment()) options_.environment[key] = value;
    options_.workingDirectory = work_.path();
    options_.timeout = 60s;
    options_.started = [this](pid_t pid) { pid_ = pid; };
    runner_ = std::thread([this] {
      result_ = testing_support::runFerrowick({"approve", "x"}, options_);
    });
  }
  bool promptOpen() {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!pinentry_.texts("GETPIN").empty() && pid_ != 0) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  void release() { testing_support::writeFile(release_, "\n"); }
  RunResult finished() {
    runner_.join();
    return result_;
  }

  testing_support::TempDir work_;
  testing_support::TempDir control_;
  std::string release_ = control_.file("release");
  testing_support::ScriptedPinentry pinentry_;
  PamEnvironment pam_{PamEnvironment::currentUser(), password};
  testing_support::RunOptions options_;
  std::atomic<pid_t> pid_{0};
  std::thread runner_;
  RunResult result_;
  rlimit saved_{};
};

TEST_F(ProcessPromises, ARunningApproveHasACoreFileLimitOfZero) {
  startApprove();
  ASSERT_TRUE(promptOpen());
  EXPECT_EQ(coreLimitOf(pid_), "0 0");
  release();
  RunResult result = finished();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

TEST_F(ProcessPromises, KilledWithACoreDumpingSignalItLeavesNoCoreFile) {
  // Where this machine writes no core file for any process, there is nothing to tell apart.
  testing_support::TempDir sleeper;
  testing_support::RunOptions control;
  control.workingDirectory = sleeper.path();
  control.started = [](pid_t pid) { kill(pid, SIGQUIT); };
  testing_support::run("/bin/sleep", {"30"}, control);
  if (std::filesystem::is_empty(sleeper.path())) {
    GTEST_SKIP() << "no core file for a plain process either (core_pattern, limits)";
  }

  startApprove();
  ASSERT_TRUE(promptOpen());
  ASSERT_EQ(kill(pid_, SIGQUIT), 0);
  release();  // the prompt, left without its caller, ends too
  RunResult result = finished();
  EXPECT_EQ(result.status, 128 + SIGQUIT);
  EXPECT_EQ(result.out, "");
  for (const auto& entry : std::filesystem::directory_iterator(work_.path())) {
    ADD_FAILURE() << "left in its working folder: " << entry.path().filename();
  }
}

}  // namespace
