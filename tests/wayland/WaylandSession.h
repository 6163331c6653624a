// A headless sway of the test's own, and the moves that drive a dialog on it. sway refuses to
// run as root, so it runs as the unprivileged `nobody` in a runtime folder handed to it; the
// dialogs and the key sender, run by the test as root, can still connect to its socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"

namespace wayland {

class WaylandSession {
 public:
  WaylandSession();
  ~WaylandSession();
  WaylandSession(const WaylandSession&) = delete;
  WaylandSession& operator=(const WaylandSession&) = delete;

  // Whether sway is up and accepting clients; why not, otherwise.
  bool started() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }

  // What a client needs to reach this compositor (and not an X server).
  std::map<std::string, std::optional<std::string>> clientEnvironment() const;

  // Gives the window titled exactly `title` the focus once it is there; false if it didn't come
  // up within `limit`.
  bool focusWindow(const std::string& title, std::chrono::milliseconds limit) const;
  // Whether a window of that title is still up.
  bool hasWindow(const std::string& title) const;
  // Sends keys to the focused window: text:WORDS, key:Return|Escape|Tab|BackSpace, ctrl:LETTER.
  bool keys(const std::vector<std::string>& steps) const;

 private:
  testing_support::RunResult swaymsg(const std::vector<std::string>& arguments) const;

  testing_support::TempDir runtime_;
  pid_t compositor_ = -1;
  std::string socketPath_;
  std::string problem_;
};

}  // namespace wayland
