// input-secret with the real GTK alert on a private X server, driven like a user would.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/gui/DialogTest.h"

namespace {

constexpr const char* label = "API 令牌";
const std::string title = std::string("录入 ") + label;

class SecretEntryDialogTest : public gui::DialogTest {};

TEST_F(SecretEntryDialogTest, TypedSecretConfirmedWithEnterIsExactlyWhatIsWritten) {
  // Non-ASCII letters are pasted: synthetic key events drop them under load.
  const std::string typed = "p@ss ";
  const std::string pasted = "wörd 密钥 ";
  const std::string secret = typed + pasted;
  ASSERT_TRUE(display().setClipboard(pasted));
  start({"input-secret", label});
  std::string window = waitForWindow(title);
  ASSERT_FALSE(window.empty()) << "no alert came up";
  // The field has the focus as soon as the window has it: no click needed.
  ASSERT_TRUE(focusForInput(window));
  EXPECT_TRUE(display().screenshot(window, artifact("secret-entry")));
  ASSERT_TRUE(display().type(typed));
  ASSERT_TRUE(display().key("ctrl+v"));
  ASSERT_TRUE(display().key("Return"));

  testing_support::RunResult result = finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out == secret) << "stdout is not exactly the typed text";
  EXPECT_EQ(result.err, "");
}

TEST_F(SecretEntryDialogTest, ASecretThatCannotReachTheParentIsAFailureAndIsNotShown) {
  using testing_support::StandardOutput;
  const std::pair<const char*, StandardOutput> outputs[] = {
      {"/dev/full", StandardOutput::fullDevice},
      {"closed", StandardOutput::closed},
      {"reader gone", StandardOutput::readerGone},
  };
  for (const auto& [how, output] : outputs) {
    start({"input-secret", label}, output);
    std::string window = waitForWindow(title);
    ASSERT_FALSE(window.empty()) << how << ": no alert came up";
    ASSERT_TRUE(focusForInput(window)) << how;
    ASSERT_TRUE(display().type("typed-secret")) << how;
    ASSERT_TRUE(display().key("Return")) << how;

    testing_support::RunResult result = finish();
    EXPECT_EQ(result.status, 1) << how;
    EXPECT_TRUE(result.err == "Cannot write result\n")
        << how << ": " << result.err.size() << " bytes on standard error";
  }
}

TEST_F(SecretEntryDialogTest, EveryWayOfNotConfirmingIsACancel) {
  struct Case {
    const char* label;
    std::function<bool(const gui::VirtualDisplay&, const std::string& window)> end;
  };
  const Case cases[] = {
      {"Escape",
       [](auto& display, auto&) { return display.type("typed") && display.key("Escape"); }},
      // The buttons share the bottom row; "取消" is the second, on the right.
      {"the 取消 button",
       [](auto& display, auto& window) {
         return display.type("typed") && display.clickAt(window, 0.75, 14);
       }},
      {"Enter on an empty field", [](auto& display, auto&) { return display.key("Return"); }},
      {"closing the window",
       [](auto& display, auto& window) {
         return display.type("typed") && display.requestClose(window);
       }},
  };
  for (const Case& c : cases) {
    start({"input-secret", label});
    std::string window = waitForWindow(title);
    ASSERT_FALSE(window.empty()) << c.label << ": no alert came up";
    ASSERT_TRUE(focusForInput(window)) << c.label;
    ASSERT_TRUE(c.end(display(), window)) << c.label;

    testing_support::RunResult result = finish();
    EXPECT_EQ(result.status, 1) << c.label;
    EXPECT_EQ(result.out, "") << c.label;
    EXPECT_EQ(result.err, "Credential input cancelled\n") << c.label;
    EXPECT_TRUE(display().windowGone(title)) << c.label;
  }
}

}  // namespace
