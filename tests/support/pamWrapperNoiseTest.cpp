// What libpam_wrapper prints into a wrapped program's standard error is set aside before a test
// compares it, and nothing else is: the wrapper complains about the /tmp/pam.* folders of other
// processes (a run killed mid-start, another run filling its folder), which says nothing about
// the program under test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using testing_support::PamEnvironment;
using testing_support::withoutPamWrapperLines;

const std::string staleComplaint =
    "PWRAP_ERROR[Ferrowick (4242)] - pwrap_clean_stale_dirs: Failed to parse pid, buf=\n";

TEST(PamWrapperNoise, OnlyTheWrappersOwnLinesAreSetAside) {
  struct Case {
    const char* label;
    std::string text;
    std::string kept;
    std::string setAside;
  };
  const Case cases[] = {
      {"nothing", "", "", ""},
      {"the tool's line alone", "User approval denied or expired\n",
       "User approval denied or expired\n", ""},
      {"a complaint before the tool's line", staleComplaint + "Internal error\n",
       "Internal error\n", staleComplaint},
      {"complaints of every level around it",
       "PWRAP_TRACE[x (1)] - a\nInternal error\nPWRAP_WARN[x (1)] - b\nPWRAP_DEBUG[x (1)] - c",
       "Internal error\n", "PWRAP_TRACE[x (1)] - a\nPWRAP_WARN[x (1)] - b\nPWRAP_DEBUG[x (1)] - c"},
      // Anything else stays, so a stray line of the tool's still fails the comparison.
      {"the name inside a line", "Internal error PWRAP_ERROR[x (1)]\n",
       "Internal error PWRAP_ERROR[x (1)]\n", ""},
      {"no level", "PWRAP_[x (1)] - a\n", "PWRAP_[x (1)] - a\n", ""},
      {"an unknown level", "PWRAP_NOTE[x (1)] - a\n", "PWRAP_NOTE[x (1)] - a\n", ""},
      {"a line without its end", "Out of memory", "Out of memory", ""},
  };
  for (const Case& c : cases) {
    std::string setAside;
    EXPECT_EQ(withoutPamWrapperLines(c.text, &setAside), c.kept) << c.label;
    EXPECT_EQ(setAside, c.setAside) << c.label;
  }
}

// The first free /tmp/pam.<letter> the wrapper of process `pid` looks at, in the wrapper's own
// order: from a letter chosen by the pid, onwards through digits and letters.
std::string firstFreeWrapperFolder(pid_t pid) {
  int letter = 48 + static_cast<int>(pid % 70);
  for (int i = 0; i < 127; ++i, letter = (letter + 1) % 127) {
    if (std::isalnum(letter) == 0) continue;
    std::string folder = "/tmp/pam." + std::string(1, static_cast<char>(letter));
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0 && errno == ENOENT) return folder;
  }
  return "";
}

TEST(PamWrapperNoise, ALeftoverFolderOfAKilledRunDoesNotChangeWhatTheToolSays) {
  const std::string password = "noise test 密码";
  PamEnvironment pam(PamEnvironment::currentUser(), password);
  testing_support::ScriptedPinentry pinentry;
  pinentry.script({"pin " + password});
  testing_support::RunOptions options;
  options.environment = pam.environment();
  for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;

  // Holding the start-up lock keeps the child from choosing its folder until the leftover is
  // in the one it will look at first: a folder whose pid file is still empty, as a run killed
  // while making it leaves behind.
  int lock = open(PamEnvironment::startLockPath().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::string leftover;
  bool released = false;
  options.started = [&](pid_t pid) {
    leftover = firstFreeWrapperFolder(pid);
    if (!leftover.empty() && mkdir(leftover.c_str(), 0755) == 0) {
      testing_support::writeFile(leftover + "/pid", "", 0644);
    } else {
      leftover.clear();
    }
    close(lock);
    released = true;
  };
  testing_support::RunResult result = testing_support::runFerrowick({"approve", "x"}, options);
  if (!released) close(lock);
  if (!leftover.empty()) {
    unlink((leftover + "/pid").c_str());
    rmdir(leftover.c_str());
  }

  ASSERT_FALSE(leftover.empty()) << "no free /tmp/pam.* folder to plant";
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  // libpam_wrapper 1.1.4 (Debian 12) meets the planted folder and complains; 1.1.7 (Debian 13)
  // says nothing of it, so there the case proves nothing beyond the lines above.
  if (result.pamWrapperLines.find("Failed to parse pid") == std::string::npos) {
    GTEST_SKIP() << "this libpam_wrapper did not meet the leftover: " << result.pamWrapperLines;
  }
}

}  // namespace
