// A private X server (Xvfb) for one test, and the xdotool moves that drive the dialogs on it.
// Every step has a time limit: a dialog test must fail, never hang.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"

namespace gui {

// The size of a virtual screen, in pixels.
struct Screen {
  int width = 1280;
  int height = 1024;
};

class VirtualDisplay {
 public:
  // Starts Xvfb on a free display number; started() says whether that worked.
  explicit VirtualDisplay(Screen screen = {});
  // Stops the programs started on it, then the server; any client still connected (a dialog
  // left open) then ends as well.
  ~VirtualDisplay();
  VirtualDisplay(const VirtualDisplay&) = delete;
  VirtualDisplay& operator=(const VirtualDisplay&) = delete;

  bool started() const { return !name_.empty(); }
  const Screen& screen() const { return screen_; }
  const std::string& name() const { return name_; }  // ":N"

  // Starts a program (a window manager, a terminal) on this display for the display's lifetime;
  // false if it could not be started.
  bool startClient(const std::vector<std::string>& argv);
  // Starts openbox and waits until it manages the screen.
  bool startWindowManager();

  // Runs xdotool with the given arguments on this display.
  testing_support::RunResult xdotool(const std::vector<std::string>& arguments) const;
  // The first visible window whose title is exactly `title`, polled every few milliseconds.
  std::optional<std::string> waitForWindow(const std::string& title,
                                           std::chrono::milliseconds limit) const;
  // Whether no visible window has that title any more.
  bool windowGone(const std::string& title) const;
  // Gives the window the keyboard focus, with the pointer moved away from it first.
  bool focus(const std::string& window) const;
  // The window that has the keyboard focus, empty if none.
  std::string focused() const;
  // The window's position and size on the screen (of its own area, without a frame).
  struct Geometry {
    long x = 0, y = 0, width = 0, height = 0;
  };
  std::optional<Geometry> geometry(const std::string& window) const;
  bool type(const std::string& text) const;
  // Puts `text` on this display's clipboard (xclip serves it until someone else takes the
  // clipboard or the server stops). Synthetic key events drop non-ASCII letters under load,
  // as they remap a spare key for each; a paste carries the exact bytes.
  bool setClipboard(const std::string& text) const;
  bool key(const std::string& keys) const;
  // Clicks at a fraction of the window's width, `fromBottom` pixels above its lower edge.
  bool clickAt(const std::string& window, double x, int fromBottom) const;
  // Asks the window to close, as a window manager does (WM_DELETE_WINDOW).
  bool requestClose(const std::string& window) const;
  // A PNG of the window, for looking at later.
  bool screenshot(const std::string& window, const std::string& path) const;

 private:
  testing_support::RunOptions options() const;

  Screen screen_;
  pid_t server_ = -1;
  std::string name_;
  bool windowManager_ = false;
  std::vector<pid_t> clients_;
};

}  // namespace gui
