// input-secret and the choosers on a headless sway, with GTK's Wayland backend: the secret
// typed and confirmed with Enter, Escape, and a path typed into the chooser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/RunBinary.h"
#include "tests/wayland/WaylandSession.h"

namespace {

using namespace std::chrono_literals;
using testing_support::RunResult;

// Well past the dialogs' half-second guard after they get the focus.
constexpr auto guardWait = 1200ms;
constexpr auto windowLimit = 15s;

class WaylandDialog : public testing::Test {
 protected:
  void SetUp() override {
    if (!session_.started()) GTEST_SKIP() << session_.problem();
  }

  void TearDown() override {
    if (run_ && run_->valid()) run_->wait();
  }

  void start(const std::vector<std::string>& arguments) {
    testing_support::RunOptions options;
    options.environment = session_.clientEnvironment();
    options.environment["HOME"] = home_.path();
    options.environment["LANG"] = "C.UTF-8";
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
    options.environment["XDG_CONFIG_HOME"] = std::nullopt;
    options.environment["XDG_DATA_HOME"] = std::nullopt;
    options.environment["GTK_USE_PORTAL"] = std::nullopt;
    // GTK keeps caches for the life of the process; they are not ours to free.
    options.environment["ASAN_OPTIONS"] = "detect_leaks=0";
    options.workingDirectory = home_.path();
    options.timeout = 30s;
    run_ = std::async(std::launch::async, [arguments, options] {
      return testing_support::runFerrowick(arguments, options);
    });
  }

  // Focuses the dialog once it is up and waits out its guard.
  bool focusForInput(const std::string& title) {
    if (!session_.focusWindow(title, windowLimit)) return false;
    std::this_thread::sleep_for(guardWait);
    return true;
  }

  RunResult finish() {
    RunResult result = run_->get();
    run_.reset();
    EXPECT_FALSE(result.timedOut) << "the dialog did not end";
    return result;
  }

  testing_support::TempDir home_;
  std::optional<std::future<RunResult>> run_;
  // Last, so it goes first: a dialog the test failed to end goes with its compositor.
  wayland::WaylandSession session_;
};

TEST_F(WaylandDialog, SecretTypedAndConfirmedWithEnter) {
  start({"input-secret", "API 令牌"});
  ASSERT_TRUE(focusForInput("录入 API 令牌")) << "no alert came up";
  ASSERT_TRUE(session_.keys({"text:Typed Secret 42", "key:Return"}));
  RunResult result = finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out == "Typed Secret 42")
      << "stdout has " << result.out.size() << " bytes, not the 15 typed";
  EXPECT_EQ(result.err, "");
}

TEST_F(WaylandDialog, EscapeCancelsTheSecretAndTheChooser) {
  struct Case {
    std::vector<std::string> arguments;
    const char* title;
    std::vector<std::string> keys;
    const char* message;
  };
  const Case cases[] = {
      {{"input-secret", "API 令牌"},
       "录入 API 令牌",
       {"text:typed", "key:Escape"},
       "Credential input cancelled\n"},
      // Letters typed into the chooser open its location field, which Escape closes first.
      {{"choose-file", "选择一项"}, "选择一项", {"key:Escape"}, "Selection cancelled\n"},
  };
  for (const Case& c : cases) {
    start(c.arguments);
    ASSERT_TRUE(focusForInput(c.title)) << c.title << ": no dialog came up";
    ASSERT_TRUE(session_.keys(c.keys)) << c.title;
    RunResult result = finish();
    EXPECT_EQ(result.status, 1) << c.title;
    EXPECT_EQ(result.out, "") << c.title;
    EXPECT_EQ(result.err, c.message) << c.title;
    EXPECT_FALSE(session_.hasWindow(c.title)) << c.title;
  }
}

TEST_F(WaylandDialog, ChooserTakesATypedPath) {
  const std::string folder = home_.file("Keys");
  const std::string file = folder + "/device_key.pem";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  testing_support::writeFile(file, "not a key");
  const std::pair<const char*, std::string> cases[] = {
      {"choose-file", file},
      {"choose-directory", folder},
  };
  for (const auto& [word, path] : cases) {
    start({word, "请选择"});
    ASSERT_TRUE(focusForInput("请选择")) << word << ": no chooser came up";
    ASSERT_TRUE(session_.keys({"ctrl:l", "text:" + path})) << word;
    // Enter right after typing is swallowed while the field completes.
    std::this_thread::sleep_for(400ms);
    ASSERT_TRUE(session_.keys({"key:Return"})) << word;
    RunResult result = finish();
    EXPECT_EQ(result.status, 0) << word;
    EXPECT_EQ(result.out, path) << word;
    EXPECT_EQ(result.err, "") << word;
  }
}

}  // namespace
