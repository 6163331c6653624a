// A scripted stand-in for pinentry (scripted_pinentry.py) on a private PATH, for tests of every
// prompt path without a person: it answers as scripted and logs the decoded texts it was sent.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"

namespace testing_support {

struct PinentryLogEntry {
  int run;              // which pinentry process (1, 2, ...)
  std::string command;  // SETDESC, SETPROMPT, GETPIN, OPTION, ...
  std::string text;     // the command's argument, decoded
};

class ScriptedPinentry {
 public:
  ScriptedPinentry();  // temp dir with bin/pinentry (executable) + state files

  // One line per prompt, consumed in order across pinentry runs (one run = one process):
  //   "pin <text>"  answer GETPIN with <text> (for SETREPEAT also sends "S PIN_REPEATED")
  //   "cancel"      ERR 83886179 Operation cancelled   (the user's cancel)
  //   "notty"       ERR 83918950 Inappropriate ioctl for device (no display/terminal)
  //   "ttydenied"   S ERROR curses.open_tty_for_read + ERR 83918849 Permission denied (a
  //                 terminal owned by another user)
  //   "hang"        never answer GETPIN/CONFIRM (until killed; SIGINT -> exit)
  //   "stubborn"    like "hang", but ignores SIGINT: only SIGKILL ends it
  //   "timeout"     ERR 83886142 Timeout (pinentry's own SETTIMEOUT ran out)
  //   "eof"         exit without answering
  //   "confirm" / "deny"  answer CONFIRM with OK / ERR 83886194 Not confirmed
  //   "await <path> <line>"  keep the prompt open until <path> exists (at most a minute),
  //                  then answer as <line>: a test acts while a run waits on its prompt
  // When the script is exhausted, a prompt is answered "cancel".
  void script(const std::vector<std::string>& lines);

  // How SETREPEAT is honoured: confirmed by the pinentry itself ("pin <text>" stands for both
  // entries, with S PIN_REPEATED), as pinentry-tty and -gtk2 do; or acknowledged and ignored,
  // as pinentry-curses does, so that every GETPIN takes its own script line.
  enum class Repeat { confirmsItself, asksOnce };
  void repeat(Repeat flavour);

  // Every command received, decoded, in order; PINs are never logged (they are only sent).
  std::vector<PinentryLogEntry> log() const;
  // The decoded texts of one command, in order (e.g. every SETDESC).
  std::vector<std::string> texts(const std::string& command) const;
  // Whether `command` (e.g. GETPIN: the prompt is up) was received within `limit`.
  bool waitForCommand(const std::string& command, std::chrono::milliseconds limit) const;
  int runs() const;  // number of pinentry processes started so far
  // The pid of the latest run (0 before any); all runs' pids.
  int lastPid() const;
  std::vector<int> pids() const;
  // The names of the latest run's environment variables.
  std::vector<std::string> environmentNames() const;
  // The file descriptors the latest run was started with.
  std::vector<int> openDescriptors() const;

  std::string binDir() const;    // folder holding `pinentry`
  std::string stateDir() const;  // $SCRIPTED_PINENTRY_DIR

  // Environment for the binary under test: PATH=<binDir>:<dir of python3> and
  // SCRIPTED_PINENTRY_DIR=<state dir>.
  std::map<std::string, std::optional<std::string>> environment() const;
  void applyToThisProcess() const;  // setenv the same, for in-process tests

 private:
  TempDir dir_;
};

// A scripted pinentry that this process's own prompts use, for in-process tests: applied on
// construction; PATH is given back as it was when it goes.
class InProcessPinentry : public ScriptedPinentry {
 public:
  InProcessPinentry();
  ~InProcessPinentry();
  InProcessPinentry(const InProcessPinentry&) = delete;
  InProcessPinentry& operator=(const InProcessPinentry&) = delete;

 private:
  std::optional<std::string> savedPath_;
};

// Decodes one line of the scripted pinentry's JSON log; nullopt when malformed.
std::optional<PinentryLogEntry> parsePinentryLogLine(const std::string& line);

}  // namespace testing_support
