// A fixture for one dialog run of the real binary on a private X server: the binary runs on a
// thread while the test drives its window. Tearing down stops the server first, so a dialog
// the test failed to end goes away at once instead of waiting for its time-out.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/gui/VirtualDisplay.h"
#include "tests/support/RunBinary.h"

namespace gui {

class DialogTest : public ::testing::Test {
 protected:
  // The screen the display has, and whether a window manager (openbox) runs on it.
  explicit DialogTest(Screen screen = {}, bool windowManager = false)
      : screen_(screen), windowManager_(windowManager) {}

  void SetUp() override;
  void TearDown() override;

  // Starts `Ferrowick <arguments>` with this display, a private HOME and no session bus.
  void start(const std::vector<std::string>& arguments,
             testing_support::StandardOutput output = testing_support::StandardOutput::collected);
  // Where the next run starts (the private HOME unless set).
  void startIn(const std::string& folder) { workingDirectory_ = folder; }
  // Waits for the run to end (it is killed after its time-out).
  testing_support::RunResult finish();

  // The dialog's window, found by its exact title; empty if it didn't come up in time.
  std::string waitForWindow(const std::string& title);
  // Focuses the dialog and waits out its guard: input it gets in its first moments with the
  // focus is dropped on purpose.
  bool focusForInput(const std::string& window);
  // Whether the run has ended by now.
  bool ended();

  // Where a screenshot named `name` is kept (in the build tree).
  static std::string artifact(const std::string& name);

  const VirtualDisplay& display() const { return *display_; }
  // Another program on the display (a terminal the user types into), for the test's lifetime.
  bool startClient(const std::vector<std::string>& argv) { return display_->startClient(argv); }
  const testing_support::TempDir& home() const { return *home_; }

 private:
  Screen screen_;
  bool windowManager_;
  std::optional<std::string> workingDirectory_;
  std::unique_ptr<testing_support::TempDir> home_;
  std::unique_ptr<testing_support::TempDir> runtime_;
  std::unique_ptr<VirtualDisplay> display_;
  std::optional<std::future<testing_support::RunResult>> run_;
};

}  // namespace gui
