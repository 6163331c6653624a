// choose-file and choose-directory with the real GTK chooser on a private X server: a path
// typed into the location field, and the ways of not choosing.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <thread>

#include "tests/gui/DialogTest.h"

namespace {

class ChooserDialogTest : public gui::DialogTest {
 protected:
  // Puts a path into the chooser's location field and confirms it. Pasted, not typed:
  // typed non-ASCII letters were dropped under load.
  bool typePath(const std::string& window, const std::string& path) {
    if (!display().setClipboard(path) || !display().focus(window) || !display().key("ctrl+l") ||
        !display().key("ctrl+v")) {
      return false;
    }
    // Enter right after typing is swallowed while the field completes.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    return display().key("Return");
  }
};

TEST_F(ChooserDialogTest, TypedPathIsExactlyWhatIsWritten) {
  const std::string folder = home().file("My Files 报告");
  const std::string file = folder + "/key é.pem";
  mkdir(folder.c_str(), 0700);
  testing_support::writeFile(file, "not a key");
  struct Case {
    const char* word;
    const char* message;
    std::string typed;
    std::string expected;
    const char* screenshot;
  };
  const Case cases[] = {
      {"choose-file", "请选择要上传的文件", file, file, "choose-file"},
      {"choose-directory", "请选择保存位置", folder, folder, "choose-directory"},
      {"choose-directory", "请选择保存位置", folder + "/", folder, nullptr},
  };
  for (const Case& c : cases) {
    start({c.word, c.message});
    std::string window = waitForWindow(c.message);
    ASSERT_FALSE(window.empty()) << c.word << ": no chooser came up";
    if (c.screenshot != nullptr) {
      ASSERT_TRUE(display().focus(window));
      // Give the file list a moment to fill before the picture.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_TRUE(display().screenshot(window, artifact(c.screenshot)));
    }
    ASSERT_TRUE(typePath(window, c.typed)) << c.word;

    testing_support::RunResult result = finish();
    EXPECT_EQ(result.status, 0) << c.word << " " << c.typed;
    EXPECT_EQ(result.out, c.expected) << c.word << " " << c.typed;
    EXPECT_EQ(result.err, "") << c.word << " " << c.typed;
  }
  // Picks are not recorded in the user's recent files.
  std::string recent = testing_support::readFile(home().file(".local/share/recently-used.xbel"));
  EXPECT_EQ(recent.find("key"), std::string::npos);
  EXPECT_EQ(recent.find("My%20Files"), std::string::npos);
}

TEST_F(ChooserDialogTest, EveryWayOfNotChoosingIsASelectionCancelled) {
  struct Case {
    const char* word;
    const char* how;
    std::function<bool(const gui::VirtualDisplay&, const std::string& window)> end;
  };
  const Case cases[] = {
      {"choose-file", "Escape", [](auto& display, auto&) { return display.key("Escape"); }},
      {"choose-directory", "Escape", [](auto& display, auto&) { return display.key("Escape"); }},
      {"choose-file", "closing the window",
       [](auto& display, auto& window) { return display.requestClose(window); }},
  };
  for (const Case& c : cases) {
    start({c.word, "选择一项"});
    std::string window = waitForWindow("选择一项");
    ASSERT_FALSE(window.empty()) << c.word << ": no chooser came up";
    ASSERT_TRUE(display().focus(window)) << c.word;
    ASSERT_TRUE(c.end(display(), window)) << c.word << ": " << c.how;

    testing_support::RunResult result = finish();
    EXPECT_EQ(result.status, 1) << c.word << ": " << c.how;
    EXPECT_EQ(result.out, "") << c.word << ": " << c.how;
    EXPECT_EQ(result.err, "Selection cancelled\n") << c.word << ": " << c.how;
  }
}

}  // namespace
