// The binary under process-wide failures and limits its parent may impose: each ends the run
// with the usual one line (or, for a full output that drains, delivers), never a signal or an
// abort.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using namespace std::chrono_literals;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::ScriptedPinentry;
using testing_support::TempDir;

// Preloads `library`; under the sanitizers it comes ahead of their runtime.
void preload(RunOptions& options, const std::string& library) {
  options.environment["LD_PRELOAD"] = library;
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string asanOptions = asan != nullptr ? asan : "";
  options.environment["ASAN_OPTIONS"] =
      asanOptions + (asanOptions.empty() ? "" : ":") + "verify_asan_link_order=0";
}

std::string keychainFile(const TempDir& home) {
  return home.file("data/ferrowick/keychains/login.keychain-db");
}

TEST(ProcessLimits, AFailingRandomSourceIsOneLineNotAnAbort) {
  for (const char* error : {"EIO", "ENOMEM"}) {
    for (const char* operation : {"init-key", "ensure-key"}) {
      TempDir home;
      RunOptions options = testing_support::privateHomeOptions(home);
      preload(options, FAIL_GETRANDOM);
      options.environment["FAIL_GETRANDOM_ERRNO"] = error;
      RunResult result = testing_support::runFerrowick({operation, "device-1"}, options);
      EXPECT_EQ(result.status, 1) << operation << ", " << error;
      EXPECT_EQ(result.err, "Random generation failed\n") << operation << ", " << error;
      EXPECT_EQ(result.out, "") << operation << ", " << error;
      EXPECT_TRUE(testing_support::readFile(keychainFile(home)).empty());
    }
  }
}

TEST(ProcessLimits, TheCareProgramsFailingRandomSourceIsOneLineToo) {
  for (const char* error : {"EIO", "ENOMEM"}) {
    TempDir home;
    RunOptions options = testing_support::privateHomeOptions(home);
    preload(options, FAIL_GETRANDOM);
    options.environment["FAIL_GETRANDOM_ERRNO"] = error;
    RunResult result = testing_support::run(KEYCHAIN_TOOL, {"list"}, options);
    EXPECT_EQ(result.status, 1) << error;
    EXPECT_EQ(result.err, "Random generation failed\n") << error;
    EXPECT_EQ(result.out, "") << error;
  }
}

TEST(ProcessLimits, SecretMemoryThatCantBeLockedIsOutOfMemory) {
  TempDir home;
  ScriptedPinentry pinentry;
  pinentry.script({"always pin keychain secret"});
  RunOptions options = testing_support::privateHomeOptions(home);
  for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
  preload(options, FAIL_MLOCK);
  RunResult result = testing_support::runFerrowick({"ensure-key", "device-1"}, options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Out of memory\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(pinentry.runs(), 0);  // nothing was asked with no place to keep the answer
}

TEST(ProcessLimits, AFileSizeLimitIsTheUsualInsertFailure) {
  TempDir home;
  ScriptedPinentry pinentry;
  pinentry.script({"always pin keychain secret"});
  RunOptions options = testing_support::privateHomeOptions(home);
  for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
  // 8 KiB: less than a new keychain takes.
  RunResult result = testing_support::run(
      "/bin/sh",
      {"-c", "ulimit -f 16 && exec \"$0\" ensure-key device-1", testing_support::ferrowickPath()},
      options);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_TRUE(result.err.starts_with("Keychain insert failed: ")) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1);
  EXPECT_EQ(result.out, "");
}

// A closed standard output where /dev/null can't be opened to hold it: the next file opened
// would get descriptor 1 and receive what is printed, so neither program goes on.
TEST(ProcessLimits, AClosedOutputThatCantBeHeldEndsTheRunFirst) {
  if (geteuid() != 0 || testing_support::run("/usr/bin/unshare", {"-m", "true"}, {}).status != 0) {
    GTEST_SKIP() << "needs root and mount namespaces";
  }
  struct Program {
    const char* label;
    std::string path;
    std::vector<std::string> arguments;
  };
  const Program programs[] = {
      {"Ferrowick", testing_support::ferrowickPath(), {"ensure-key", "device-1"}},
      {"ferrowick-keychain", KEYCHAIN_TOOL, {"list"}},
  };
  for (const Program& program : programs) {
    SCOPED_TRACE(program.label);
    TempDir home;
    RunOptions options = testing_support::privateHomeOptions(home);
    // An empty /dev in a mount namespace of the run's own.
    std::vector<std::string> arguments = {
        "-m",        "--propagation",
        "private",   "sh",
        "-c",        "mount -t tmpfs none /dev && exec \"$0\" \"$@\" >&-",
        program.path};
    arguments.insert(arguments.end(), program.arguments.begin(), program.arguments.end());
    RunResult result = testing_support::run("/usr/bin/unshare", arguments, options);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Internal error\n");
    EXPECT_TRUE(testing_support::readFile(keychainFile(home)).empty());
  }
}

// A parent that made its pipe non-blocking and is slow to read it still gets the result.
TEST(ProcessLimits, AFullNonBlockingOutputIsWaitedOn) {
  TempDir folder;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  std::string filler(4096, 'x');
  while (write(fds[1], filler.data(), filler.size()) > 0) {
  }
  // One byte at a time would still leave room; take the pipe completely full.
  while (write(fds[1], "x", 1) > 0) {
  }
  const std::string err = folder.file("err");
  pid_t run = fork();
  ASSERT_GE(run, 0);
  if (run == 0) {
    int in = open("/dev/null", O_RDONLY);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(fds[1], 1);
    dup2(e, 2);
    close(fds[0]);
    const std::string program = testing_support::ferrowickPath();
    execl(program.c_str(), program.c_str(), "self-test", folder.path().c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::this_thread::sleep_for(3s);  // the run has met the full pipe by now
  std::string got;
  char buffer[65536];
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + 60s;
  bool ended = false;
  while (std::chrono::steady_clock::now() < deadline) {
    ssize_t count = read(fds[0], buffer, sizeof buffer);
    if (count > 0) got.append(buffer, static_cast<std::size_t>(count));
    if (count == 0) break;
    if (!ended && waitpid(run, &status, WNOHANG) == run) ended = true;
    if (count < 0) std::this_thread::sleep_for(10ms);
  }
  close(fds[0]);
  if (!ended) {
    ASSERT_EQ(waitpid(run, &status, 0), run);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << testing_support::readFile(err);
  EXPECT_TRUE(got.ends_with("Login Keychain ACL refused unattended read; fixture removed\n"));
  EXPECT_EQ(testing_support::readFile(err), "");
}

}  // namespace
