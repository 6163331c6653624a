// Runs the real Ferrowick binary (or any program) as a child process and collects what it
// wrote, for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct RunResult {
  std::string out;  // every byte written to standard output
  // Every byte written to standard error, less the lines libpam_wrapper itself printed there
  // in a wrapped run: those come from the test's stand-in, not from the program under test.
  std::string err;
  std::string pamWrapperLines;  // the lines set aside from `err`, in order
  int status = -1;              // exit status, or 128 + signal number
  bool timedOut = false;
};

// Where the child's standard output goes: a pipe read to its end, or one of the ways a parent
// can fail to take the result.
enum class StandardOutput {
  collected,
  fullDevice,  // /dev/full: every write fails with ENOSPC
  closed,      // no descriptor 1 at all
  readerGone,  // a pipe whose read end was closed before the child started
};

struct RunOptions {
  // Variables to set (or, with std::nullopt, remove) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> environment;
  std::optional<std::string> workingDirectory;
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};
  StandardOutput standardOutput = StandardOutput::collected;
  // Called with the child's pid right after it was started, before its output is read. A
  // wrapped child that ends by a signal has its wrapper folder removed afterwards.
  std::function<void(pid_t)> started;
  // Run as this user and group instead (no supplementary groups); needs root.
  std::optional<std::pair<uid_t, gid_t>> user;
};

// Splits the lines libpam_wrapper writes to a wrapped program's standard error
// ("PWRAP_ERROR[prog (pid)] - ...") from everything else, which is returned unchanged.
std::string withoutPamWrapperLines(const std::string& text, std::string* setAside = nullptr);

// Removes the /tmp/pam.* folder libpam_wrapper made for process `pid` of this user, which a
// wrapped process killed by a signal leaves behind (its wrapper never gets to clean up).
void removePamWrapperFolderOf(pid_t pid);

// The path of the Ferrowick binary under test.
std::string ferrowickPath();

// Runs `program` with `arguments` (argv[1..]); standard input is /dev/null.
RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const RunOptions& options = {});

// {major, minor} from the first line of a pinentry's `--version`, "pinentry-curses (pinentry)
// 1.3.1"; {0, 0} if it printed none.
std::pair<int, int> pinentryVersion(const std::string& program);

// Runs the Ferrowick binary.
RunResult runFerrowick(const std::vector<std::string>& arguments, const RunOptions& options = {});

// A fresh private directory, removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Options for a run that sees only `home`: HOME is it, XDG_DATA_HOME (where the login keychain
// lives) is its "data" folder, and there is no display, so nothing can reach the user's own
// keychain or screen.
RunOptions privateHomeOptions(const TempDir& home);

// Reads a whole file; empty when it can't be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents, int mode = 0600);

}  // namespace testing_support
