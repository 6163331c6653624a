// What the README promises of the running process, seen from outside while `approve` waits on
// its prompt (real PAM through libpam_wrapper, the scripted pinentry holding the prompt open):
// a core file limit of zero, no core file when it is killed by a signal that dumps one, and not
// dumpable: a peer of the same unprivileged user can neither trace it nor read its memory.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"
#include "tests/support/ThrowAwayUser.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::RunResult;
using testing_support::ThrowAwayUser;

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

// What a process of `user` gets when it reaches into `pid`: 0 where it could, else the errno.
struct PeerAccess {
  int attach = -1;      // ptrace(PTRACE_SEIZE)
  int readMemory = -1;  // process_vm_readv of one byte of its first readable mapping
  uid_t procOwner =
      0;  // owner of /proc/PID/status, which the kernel gives to root when not dumpable
};

PeerAccess peerAccessAs(const ThrowAwayUser& user, pid_t pid) {
  PeerAccess access;
  const std::string proc = "/proc/" + std::to_string(pid);
  struct stat status {};
  if (stat((proc + "/status").c_str(), &status) == 0) access.procOwner = status.st_uid;
  std::uintptr_t address = 0;
  std::istringstream maps(testing_support::readFile(proc + "/maps"));
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string range, permissions;
    fields >> range >> permissions;
    if (permissions.empty() || permissions[0] != 'r') continue;
    address = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    break;
  }
  int results[2];
  if (pipe(results) != 0) return access;
  pid_t child = fork();
  if (child == 0) {
    // Only system calls from here on: this process has threads.
    int errors[2] = {-1, -1};
    if (setgroups(0, nullptr) == 0 && setgid(user.gid()) == 0 && setuid(user.uid()) == 0) {
      char byte;
      iovec local{&byte, 1};
      iovec remote{reinterpret_cast<void*>(address), 1};
      errors[1] = process_vm_readv(pid, &local, 1, &remote, 1, 0) == 1 ? 0 : errno;
      errors[0] = ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) == 0 ? 0 : errno;
    }
    ssize_t ignored = write(results[1], errors, sizeof errors);
    (void)ignored;
    _exit(0);  // a tracer that ends lets go of its tracee
  }
  close(results[1]);
  int errors[2] = {-1, -1};
  if (child > 0) {
    if (read(results[0], errors, sizeof errors) != sizeof errors) errors[0] = errors[1] = -1;
    waitpid(child, nullptr, 0);
  }
  close(results[0]);
  access.attach = errors[0];
  access.readMemory = errors[1];
  return access;
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
  // As `user` where given: the prompt and the PAM stand-in's files become theirs.
  void startApprove(const ThrowAwayUser* user = nullptr) {
    pinentry_.script({"await " + release_ + " pin " + password});
    pam_.emplace(user ? user->name() : PamEnvironment::currentUser(), password);
    if (user != nullptr) {
      for (const auto& dir : {std::filesystem::path(pam_->serviceDir()).parent_path(),
                              std::filesystem::path(pinentry_.binDir()).parent_path()}) {
        user->own(dir.string());
      }
      user->own(work_.path());
      user->own(control_.path());
      options_.user = user->ids();
    }
    options_.environment = pam_->environment();
    if (user != nullptr) options_.environment["HOME"] = work_.path();
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
  // Lets the prompt answer: the run then ends approved, as it would have without the checks.
  void expectApprovedOnceReleased() {
    release();
    RunResult result = finished();
    EXPECT_EQ(result.out, "approved\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }

  testing_support::TempDir work_;
  testing_support::TempDir control_;
  std::string release_ = control_.file("release");
  testing_support::ScriptedPinentry pinentry_;
  std::optional<PamEnvironment> pam_;
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
  expectApprovedOnceReleased();
}

TEST_F(ProcessPromises, ARunningApproveIsNotDumpable) {
  // Root may reach into any process; the promise is about what an ordinary peer can do.
  ThrowAwayUser user;
  if (!user.made()) GTEST_SKIP() << user.why();

  // The control: a plain process of that same user is open to it, so the refusal below is the
  // tool's own doing and not this machine's (Yama, namespaces, a missing capability).
  PeerAccess plain;
  testing_support::RunOptions control;
  control.user = user.ids();
  control.started = [&](pid_t pid) {
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::filesystem::read_symlink(exe).filename() != "sleep" &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    plain = peerAccessAs(user, pid);
    kill(pid, SIGKILL);
  };
  testing_support::run("/bin/sleep", {"30"}, control);
  ASSERT_EQ(plain.procOwner, user.uid());
  ASSERT_EQ(plain.readMemory, 0) << std::strerror(plain.readMemory);
  ASSERT_EQ(plain.attach, 0) << std::strerror(plain.attach);

  startApprove(&user);
  ASSERT_TRUE(promptOpen());
  PeerAccess tool = peerAccessAs(user, pid_);
  EXPECT_EQ(tool.procOwner, 0u);
  EXPECT_EQ(tool.readMemory, EPERM) << std::strerror(tool.readMemory);
  EXPECT_EQ(tool.attach, EPERM) << std::strerror(tool.attach);
  expectApprovedOnceReleased();
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
