#include "tests/gui/DialogTest.h"

#include <filesystem>
#include <thread>

namespace gui {

namespace {

constexpr std::chrono::seconds runLimit{30};
constexpr std::chrono::seconds windowLimit{15};
// Well past the dialogs' half-second guard, with room for a loaded machine that handles the
// focus change late.
constexpr std::chrono::milliseconds guardWait{1200};

}  // namespace

void DialogTest::SetUp() {
  home_ = std::make_unique<testing_support::TempDir>();
  runtime_ = std::make_unique<testing_support::TempDir>();
  display_ = std::make_unique<VirtualDisplay>(screen_);
  ASSERT_TRUE(display_->started()) << "Xvfb did not start";
  if (windowManager_) {
    ASSERT_TRUE(display_->startWindowManager()) << "openbox did not start";
  }
}

void DialogTest::TearDown() {
  display_.reset();
  if (run_ && run_->valid()) run_->wait();
}

void DialogTest::start(const std::vector<std::string>& arguments,
                       testing_support::StandardOutput output) {
  testing_support::RunOptions options;
  options.environment = {
      {"DISPLAY", display_->name()},
      {"HOME", home_->path()},
      {"XDG_RUNTIME_DIR", runtime_->path()},
      {"LANG", "C.UTF-8"},
      {"WAYLAND_DISPLAY", std::nullopt},
      {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
      {"XDG_CONFIG_HOME", std::nullopt},
      {"XDG_DATA_HOME", std::nullopt},
      {"XDG_CACHE_HOME", std::nullopt},
      {"GTK_USE_PORTAL", std::nullopt},
      // GTK keeps caches for the life of the process; they are not ours to free.
      {"ASAN_OPTIONS", "detect_leaks=0"},
  };
  options.workingDirectory = workingDirectory_.value_or(home_->path());
  options.timeout = runLimit;
  options.standardOutput = output;
  run_ = std::async(std::launch::async, [arguments, options] {
    return testing_support::runFerrowick(arguments, options);
  });
}

testing_support::RunResult DialogTest::finish() {
  testing_support::RunResult result = run_->get();
  run_.reset();
  EXPECT_FALSE(result.timedOut) << "the dialog did not end";
  return result;
}

std::string DialogTest::waitForWindow(const std::string& title) {
  return display_->waitForWindow(title, windowLimit).value_or("");
}

bool DialogTest::focusForInput(const std::string& window) {
  if (!display_->focus(window)) return false;
  std::this_thread::sleep_for(guardWait);
  return true;
}

bool DialogTest::ended() {
  return run_ && run_->wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

std::string DialogTest::artifact(const std::string& name) {
  std::filesystem::create_directories(FERROWICK_GUI_ARTIFACTS);
  return std::string(FERROWICK_GUI_ARTIFACTS) + "/" + name + ".png";
}

}  // namespace gui
