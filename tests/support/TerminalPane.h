// The real binary in a tmux pane that is its terminal, with real PAM (pam_matrix behind
// libpam_wrapper) and a real pinentry as the only `pinentry` on its PATH. What the run prints,
// its status and the terminal's modes afterwards go to files; the pane stays so its screen can
// still be read once the run has ended.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"

namespace testing_support {

class TerminalPane {
 public:
  // `pinentry`: the program linked as `pinentry` in the run's PATH.
  TerminalPane(const std::string& pinentry, const PamEnvironment& pam);
  ~TerminalPane();  // ends every tmux server a run started
  TerminalPane(const TerminalPane&) = delete;
  TerminalPane& operator=(const TerminalPane&) = delete;

  // Starts `Ferrowick <operation> <operand>` in a new pane. Each run has a tmux server of its
  // own: one asked for a new session while its last pane is closing would fail.
  void start(const std::string& operation, const std::string& operand);

  RunResult tmux(std::vector<std::string> arguments) const;  // on the last run's server
  std::string screen() const;
  // Waits until the pane shows `text` (`times` times: earlier prompts of a line-by-line
  // pinentry stay on the screen), also where a long text is broken over boxed lines, and has
  // stopped changing: the pinentry has drawn its prompt and is reading.
  bool shows(const std::string& text, int times = 1) const;

  // Handed to the pane as input, as the owner's typing would be. The text goes through a
  // private file and a tmux buffer, never through a command line.
  void type(const std::string& text);
  void keys(std::vector<std::string> names);
  void typeLine(const std::string& text);

  // The run's exit status once it ended; -1 if it didn't within `limit`.
  int finished(std::chrono::seconds limit = std::chrono::seconds(30)) const;
  bool ended() const;
  std::string out() const;
  // The tool's own lines: the wrapper's are about other processes' folders.
  std::string err() const;
  // `stty -a` of the pane's terminal once the run ended.
  std::string modes() const;
  // The binary while it runs (the pane shell's one child); -1 when there is none.
  int runPid() const;

  // The run's home: `home` under this pane's private folder.
  std::string homeFile(const std::string& relative) const;

 private:
  TempDir dir_;
  std::vector<std::string> environment_;
  int runs_ = 0;
};

// How often `text` stands in `screen`.
int occurrences(const std::string& screen, const std::string& text);

}  // namespace testing_support
