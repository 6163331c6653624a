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
    if (!display().setClipboard(path) || !focusForInput(window) || !display().key("ctrl+l") ||
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

TEST_F(ChooserDialogTest, OpensInTheHomeFolderWhereverTheParentRuns) {
  // The same name in both places: a relative name picks from the folder the chooser shows.
  testing_support::TempDir elsewhere;
  testing_support::writeFile(elsewhere.file("note.txt"), "parent's");
  testing_support::writeFile(home().file("note.txt"), "home's");
  startIn(elsewhere.path());
  start({"choose-file", "选择一项"});
  std::string window = waitForWindow("选择一项");
  ASSERT_FALSE(window.empty()) << "no chooser came up";
  ASSERT_TRUE(typePath(window, "note.txt"));
  testing_support::RunResult result = finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, home().file("note.txt"));
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
    ASSERT_TRUE(focusForInput(window)) << c.word;
    ASSERT_TRUE(c.end(display(), window)) << c.word << ": " << c.how;

    testing_support::RunResult result = finish();
    EXPECT_EQ(result.status, 1) << c.word << ": " << c.how;
    EXPECT_EQ(result.out, "") << c.word << ": " << c.how;
    EXPECT_EQ(result.err, "Selection cancelled\n") << c.word << ": " << c.how;
  }
}

}  // namespace

// A laptop-sized screen with a window manager: GTK's own default size would put the buttons
// below the bottom edge.
class ChooserOnSmallScreen : public gui::DialogTest {
 protected:
  ChooserOnSmallScreen() : DialogTest({1280, 800}, true) {}
};

TEST_F(ChooserOnSmallScreen, TheWholeChooserIsOnScreen) {
  for (const char* word : {"choose-file", "choose-directory"}) {
    start({word, "选择一项"});
    std::string window = waitForWindow("选择一项");
    ASSERT_FALSE(window.empty()) << word << ": no chooser came up";
    ASSERT_TRUE(focusForInput(window)) << word;
    auto shown = display().geometry(window);
    ASSERT_TRUE(shown.has_value()) << word;
    EXPECT_GE(shown->x, 0) << word;
    EXPECT_GE(shown->y, 0) << word;
    // Cancel and Open sit along the bottom edge of the window.
    EXPECT_LE(shown->x + shown->width, display().screen().width) << word;
    EXPECT_LE(shown->y + shown->height, display().screen().height) << word;
    if (std::string(word) == "choose-file") {
      EXPECT_TRUE(display().screenshot(window, artifact("chooser-1280x800")));
    }
    ASSERT_TRUE(display().key("Escape")) << word;
    testing_support::RunResult result = finish();
    EXPECT_EQ(result.err, "Selection cancelled\n") << word;
  }
}
