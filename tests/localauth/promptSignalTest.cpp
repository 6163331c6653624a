// SIGTERM, SIGINT and SIGHUP sent to the real binary while its prompt is showing: the pinentry
// and whatever it started end, and the run ends with the line a refused prompt gives. The
// pinentry here forks a child of its own and never answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

// Gone, or a zombie nobody has reaped yet (it runs nothing any more).
bool processGone(int pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t end = text.rfind(')');
  return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'Z';
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// Starts `program arguments` with `environment` added, output into files of `dir`.
pid_t start(const std::string& program, const std::vector<std::string>& arguments,
            const std::map<std::string, std::optional<std::string>>& environment,
            const TempDir& dir) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    std::string key = text.substr(0, text.find('='));
    if (environment.count(key) == 0) entries.push_back(text);
  }
  for (const auto& [key, value] : environment) {
    if (value) entries.push_back(key + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string out = dir.file("out"), err = dir.file("err");
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || o < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

struct Operation {
  const char* word;
  const char* line;  // what a refused prompt makes of it
};

const Operation operations[] = {
    {"approve", "User approval denied or expired\n"},
    {"ensure-key", "Keychain insert failed: -128\n"},
};

const int signals[] = {SIGTERM, SIGINT, SIGHUP};

// A pinentry that starts a child of its own, records both pids, and never answers.
void placeForkingPinentry(const TempDir& dir) {
  mkdir(dir.file("bin").c_str(), 0700);
  mkdir(dir.file("home").c_str(), 0700);
  const std::string state = dir.path();
  writeFile(dir.file("bin/pinentry"),
            "#!/bin/sh\nsleep 300 &\necho $! >'" + state + "/child'\necho $$ >'" + state +
                "/pid'\necho 'OK ready'\nwhile read -r line; do\n  case \"$line\" in\n"
                "    GETPIN|CONFIRM) : >'" +
                state + "/asked' ;;\n    *) echo OK ;;\n  esac\ndone\n",
            0700);
}

std::map<std::string, std::optional<std::string>> runEnvironment(const PamEnvironment& pam,
                                                                 const TempDir& dir) {
  auto environment = pam.environment();
  environment["PATH"] = dir.file("bin") + ":/usr/bin:/bin";
  environment["HOME"] = dir.file("home");
  environment["XDG_DATA_HOME"] = dir.file("home/data");
  environment["DISPLAY"] = std::nullopt;
  environment["WAYLAND_DISPLAY"] = std::nullopt;
  return environment;
}

TEST(PromptSignal, EachEndingSignalClosesThePinentryAndItsChildAndEndsWithTheLine) {
  PamEnvironment pam(PamEnvironment::currentUser(), "owner password");
  for (const Operation& operation : operations) {
    for (int signal : signals) {
      const std::string label = std::string(operation.word) + ", " + strsignal(signal);
      TempDir dir;
      placeForkingPinentry(dir);
      pid_t run = start(testing_support::ferrowickPath(), {operation.word, "device-1"},
                        runEnvironment(pam, dir), dir);
      ASSERT_GT(run, 0);
      ASSERT_TRUE(waitUntil([&] { return access(dir.file("asked").c_str(), F_OK) == 0; }, 20s))
          << label << ": " << readFile(dir.file("err"));
      const int pinentry = std::stoi(readFile(dir.file("pid")));
      const int child = std::stoi(readFile(dir.file("child")));

      ASSERT_EQ(kill(run, signal), 0);
      int status = 0;
      ASSERT_TRUE(waitUntil([&] { return waitpid(run, &status, WNOHANG) == run; }, 10s)) << label;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << label << ": " << status;
      EXPECT_EQ(readFile(dir.file("err")), operation.line) << label;
      EXPECT_EQ(readFile(dir.file("out")), "") << label;
      EXPECT_TRUE(processGone(pinentry)) << label;
      EXPECT_TRUE(waitUntil([&] { return processGone(child); }, 2s)) << label;
      if (!processGone(child)) kill(child, SIGKILL);
    }
  }
}

// Killed outright, the run can do nothing; the kernel hands its pinentry the SIGINT that
// closes the prompt.
TEST(PromptSignal, APinentryEndsWhenTheRunIsKilled) {
  PamEnvironment pam(PamEnvironment::currentUser(), "owner password");
  TempDir dir;
  placeForkingPinentry(dir);
  pid_t run =
      start(testing_support::ferrowickPath(), {"approve", "reason"}, runEnvironment(pam, dir), dir);
  ASSERT_GT(run, 0);
  ASSERT_TRUE(waitUntil([&] { return access(dir.file("asked").c_str(), F_OK) == 0; }, 20s));
  const int pinentry = std::stoi(readFile(dir.file("pid")));
  const int child = std::stoi(readFile(dir.file("child")));
  ASSERT_EQ(kill(run, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(run, &status, 0), run);
  EXPECT_TRUE(waitUntil([&] { return processGone(pinentry); }, 5s));
  kill(child, SIGKILL);  // what the pinentry itself started can't be reached this way
}

}  // namespace
