// Keys typed for another window while a dialog comes forward don't count: with and without a
// window manager, a terminal has the focus and typing goes on while input-secret opens its
// alert, or choose-file its chooser, and takes the focus away.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/gui/DialogTest.h"
#include "tests/gui/typeAhead.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* label = "API 令牌";
const std::string title = std::string("录入 ") + label;

class TypeAhead : public gui::DialogTest, public testing::WithParamInterface<bool> {
 protected:
  TypeAhead() : DialogTest({1280, 800}, GetParam()) {}
};

TEST_P(TypeAhead, KeysMeantForAnotherWindowNeitherFillNorConfirmTheSecret) {
  ASSERT_TRUE(startClient({"xterm", "-title", "terminal"}));
  std::string terminal = waitForWindow("terminal");
  ASSERT_FALSE(terminal.empty()) << "no terminal came up";
  ASSERT_TRUE(display().focus(terminal));

  start({"input-secret", label});
  std::string window;
  // The rest of a command line, Return included, arrives in the dialog's first moments.
  if (GetParam()) {
    // The window manager gives the dialog the focus as it comes up.
    ASSERT_TRUE(
        gui::typeAheadUntilFocusMoves(display().name(), std::stoul(terminal), "it status", 20s))
        << "the focus never left the terminal";
    window = waitForWindow(title);
  } else {
    // Nothing moves the focus without a window manager: the user does, without a pause.
    window = waitForWindow(title);
    ASSERT_FALSE(window.empty()) << "no alert came up";
    ASSERT_TRUE(gui::focusAndTypeAtOnce(display().name(), std::stoul(window), "it status"));
  }
  ASSERT_FALSE(window.empty()) << "no alert came up";
  ASSERT_EQ(display().focused(), window) << "the alert doesn't have the focus";

  std::this_thread::sleep_for(1200ms);
  ASSERT_FALSE(ended()) << "Return typed ahead ended the dialog";
  // Typing meant for the dialog, once it has been up a moment, is the secret, and all of it.
  ASSERT_TRUE(display().type("after guard"));
  ASSERT_TRUE(display().key("Return"));
  testing_support::RunResult result = finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out == "after guard")
      << "stdout has " << result.out.size() << " bytes, not the 11 typed after the guard";
  EXPECT_EQ(result.err, "");
}

// The chooser's location field takes a path typed after "/"; one typed ahead, Return included,
// must pick nothing.
TEST_P(TypeAhead, APathMeantForAnotherWindowPicksNothingInTheChooser) {
  const std::string message = "请选择要上传的文件";
  const std::string picked = home().file("picked.txt");
  testing_support::writeFile(picked, "meant");
  ASSERT_TRUE(startClient({"xterm", "-title", "terminal"}));
  std::string terminal = waitForWindow("terminal");
  ASSERT_FALSE(terminal.empty()) << "no terminal came up";
  ASSERT_TRUE(display().focus(terminal));

  start({"choose-file", message});
  std::string window;
  const std::string typedAhead = "/etc/hostname";
  if (GetParam()) {
    ASSERT_TRUE(
        gui::typeAheadUntilFocusMoves(display().name(), std::stoul(terminal), typedAhead, 20s))
        << "the focus never left the terminal";
    window = waitForWindow(message);
  } else {
    window = waitForWindow(message);
    ASSERT_FALSE(window.empty()) << "no chooser came up";
    ASSERT_TRUE(gui::focusAndTypeAtOnce(display().name(), std::stoul(window), typedAhead));
  }
  ASSERT_FALSE(window.empty()) << "no chooser came up";
  ASSERT_EQ(display().focused(), window) << "the chooser doesn't have the focus";

  std::this_thread::sleep_for(1200ms);
  ASSERT_FALSE(ended()) << "a path typed ahead was picked";
  // A path typed once the chooser has been up a moment is picked as typed, nothing before it.
  ASSERT_TRUE(display().key("ctrl+l"));
  ASSERT_TRUE(display().type(picked));
  std::this_thread::sleep_for(400ms);  // Return right after typing is swallowed while it completes
  ASSERT_TRUE(display().key("Return"));
  testing_support::RunResult result = finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, picked);
  EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, TypeAhead, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& shown) {
                           return shown.param ? "openbox" : "noWindowManager";
                         });

}  // namespace
