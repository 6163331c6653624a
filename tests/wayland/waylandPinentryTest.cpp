// Debian's real pinentry-qt on a headless sway with Qt's Wayland backend, as the `pinentry` on
// PATH, with real PAM (pam_matrix behind libpam_wrapper): an approval shows its reason in a
// window of its own, takes the owner's password, and a cancel is a refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/wayland/WaylandSession.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::RunResult;

constexpr const char* program = "/usr/bin/pinentry-qt";
// ASCII, so the virtual keyboard's standard keymap carries it intact.
const std::string ownerPassword = "owner pass 1";
// The title every prompt of the tool's own carries.
constexpr const char* title = "Ferrowick";
constexpr auto windowLimit = 30s;

class WaylandPinentry : public testing::Test {
 protected:
  void SetUp() override {
    if (access(program, X_OK) != 0) GTEST_SKIP() << program << " is not installed";
    if (!session_.started()) GTEST_SKIP() << session_.problem();
    // A private folder of ours, as the tool only runs a pinentry nobody else could have placed.
    ASSERT_EQ(mkdir(dir_.file("bin").c_str(), 0700), 0);
    ASSERT_EQ(symlink(program, dir_.file("bin/pinentry").c_str()), 0);
    ASSERT_EQ(mkdir(dir_.file("home").c_str(), 0700), 0);
  }

  void TearDown() override {
    if (run_ && run_->valid()) run_->wait();
  }

  void approve(const std::string& reason) {
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    for (const auto& [key, value] : session_.clientEnvironment()) options.environment[key] = value;
    // Without it (only WAYLAND_DISPLAY set) Qt doesn't start on Wayland.
    options.environment["QT_QPA_PLATFORM"] = "wayland";
    options.environment["PATH"] = dir_.file("bin");
    options.environment["HOME"] = dir_.file("home");
    options.environment["LC_ALL"] = "C.UTF-8";
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
    options.environment["GPG_TTY"] = std::nullopt;
    options.timeout = 90s;
    run_ = std::async(std::launch::async, [reason, options] {
      return testing_support::runFerrowick({"approve", reason}, options);
    });
  }

  RunResult finish() {
    RunResult result = run_->get();
    run_.reset();
    EXPECT_FALSE(result.timedOut) << "the approval did not end";
    return result;
  }

  testing_support::TempDir dir_;
  PamEnvironment pam_{PamEnvironment::currentUser(), ownerPassword};
  std::optional<std::future<RunResult>> run_;
  // Last, so it goes first: a prompt the test failed to end goes with its compositor.
  wayland::WaylandSession session_;
};

TEST_F(WaylandPinentry, TheOwnersPasswordApproves) {
  approve("Sign in to Peldora on Wayland");
  ASSERT_TRUE(session_.focusWindow(title, windowLimit)) << "no prompt came up";
  ASSERT_TRUE(session_.keys({"text:" + ownerPassword, "key:Return"}));
  RunResult result = finish();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(WaylandPinentry, EscapeIsARefusal) {
  approve("Sign in to Peldora on Wayland");
  ASSERT_TRUE(session_.focusWindow(title, windowLimit)) << "no prompt came up";
  ASSERT_TRUE(session_.keys({"text:half typed", "key:Escape"}));
  RunResult result = finish();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "User approval denied or expired\n");
  EXPECT_FALSE(session_.hasWindow(title));
}

}  // namespace
