// Debian's real graphical pinentries (gtk-2; gnome3, which hands the prompt to gcr's prompter over
// a private session bus; qt) as the `pinentry` on PATH, on a private X server driven with xdotool,
// with real PAM (pam_matrix behind libpam_wrapper). Every prompt gets a window of its own, from a
// new pinentry or from the same one asking again; a step answers only a window it has not
// answered before.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/gui/VirtualDisplay.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::RunResult;
using testing_support::TempDir;

struct Flavour {
  const char* name;
  const char* program;
  // The instance part of its prompt windows' class, as xdotool matches it (Qt and GTK take it
  // from the name the program was started under).
  const char* windowClass;
  // gnome3 only forwards the prompt to gcr's prompter, found over the session bus.
  bool sessionBus;
  // The keys that move a new password's first field on to its repeat field, given the
  // program's {major, minor} version.
  std::vector<std::string> (*toRepeatField)(std::pair<int, int> version);
};

const Flavour flavours[] = {
    {"gtk2", "/usr/bin/pinentry-gtk-2", "^pinentry", false,
     [](std::pair<int, int>) { return std::vector<std::string>{"Return"}; }},
    {"gnome3", "/usr/bin/pinentry-gnome3", "^gcr-prompter", true,
     [](std::pair<int, int>) { return std::vector<std::string>{"Tab"}; }},
    // 1.3 puts a "Show passphrase" check box between the two fields, and Tab stops on it; 1.2
    // toggles visibility from inside the field instead.
    {"qt", "/usr/bin/pinentry-qt", "^pinentry", false,
     [](std::pair<int, int> version) {
       return version >= std::pair(1, 3) ? std::vector<std::string>{"Tab", "Tab"}
                                         : std::vector<std::string>{"Tab"};
     }},
};

void PrintTo(const Flavour& flavour, std::ostream* out) {
  *out << flavour.program;
}

// The fixture's own throw-away passwords, ASCII so synthetic key events carry them intact.
const std::string ownerPassword = "owner pass 1";
const std::string keychainPassword = "keychain pass 1";

// Generous: the machine is shared with other builds.
constexpr auto windowLimit = 30s;
constexpr auto runLimit = 90s;

class GuiPinentry : public testing::TestWithParam<Flavour> {
 protected:
  void SetUp() override {
    const Flavour& flavour = GetParam();
    if (access(flavour.program, X_OK) != 0) GTEST_SKIP() << flavour.program << " is not installed";
    if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
    version_ = testing_support::pinentryVersion(flavour.program);
    ASSERT_GT(version_.first, 0) << flavour.program << " --version names no version";
    RecordProperty("pinentry_version",
                   std::to_string(version_.first) + "." + std::to_string(version_.second));
    ASSERT_TRUE(display_.started());
    // A private folder of ours, as the tool only runs a pinentry nobody else could have placed.
    ASSERT_EQ(mkdir(dir_.file("bin").c_str(), 0700), 0);
    ASSERT_EQ(symlink(flavour.program, dir_.file("bin/pinentry").c_str()), 0);
    ASSERT_EQ(mkdir(dir_.file("home").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir_.file("runtime").c_str(), 0700), 0);
    if (flavour.sessionBus) {
      ASSERT_NO_FATAL_FAILURE(startSessionBus());
    }
  }

  // A session bus of the test's own, on this display: it starts gcr's prompter when asked for.
  void startSessionBus() {
    if (access("/usr/libexec/gcr-prompter", X_OK) != 0) GTEST_SKIP() << "gcr is not installed";
    const std::string socket = dir_.file("runtime/bus");
    ASSERT_TRUE(display_.startClient(
        {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + socket}));
    auto deadline = std::chrono::steady_clock::now() + 10s;
    struct stat info;
    while (stat(socket.c_str(), &info) != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(stat(socket.c_str(), &info), 0) << "the session bus did not come up";
    bus_ = "unix:path=" + socket;
  }

  // Starts `Ferrowick <operation> <operand>` on a thread; it is killed after runLimit.
  void start(const std::string& operation, const std::string& operand) {
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    options.environment["PATH"] = dir_.file("bin");
    options.environment["HOME"] = dir_.file("home");
    options.environment["XDG_DATA_HOME"] = dir_.file("home/data");
    options.environment["XDG_RUNTIME_DIR"] = dir_.file("runtime");
    options.environment["DISPLAY"] = display_.name();
    options.environment["LC_ALL"] = "C.UTF-8";
    options.environment["DBUS_SESSION_BUS_ADDRESS"] = bus_;
    options.environment["GPG_TTY"] = std::nullopt;
    options.timeout = runLimit;
    run_ = std::async(std::launch::async, [operation, operand, options] {
      return testing_support::runFerrowick({operation, operand}, options);
    });
  }

  RunResult finish() {
    RunResult result = run_->get();
    run_.reset();
    return result;
  }

  // The shown pinentry window (its class follows the name it was started under), as "window pid":
  // window ids come back with a new client, and one pinentry makes a new window for each question.
  std::optional<std::string> visiblePinentry() const {
    auto found =
        display_.xdotool({"search", "--onlyvisible", "--classname", GetParam().windowClass});
    if (found.status != 0 || found.out.empty()) return std::nullopt;
    std::string window = found.out.substr(0, found.out.find('\n'));
    auto pid = display_.xdotool({"getwindowpid", window});
    if (pid.status != 0) return std::nullopt;
    return window + " " + pid.out.substr(0, pid.out.find('\n'));
  }

  // Waits for a prompt window other than the last one answered and focuses it; false if none
  // came up in time or the run ended first.
  bool nextWindow() {
    auto deadline = std::chrono::steady_clock::now() + windowLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      auto shown = visiblePinentry();
      if (shown && *shown != answered_) {
        std::string window = shown->substr(0, shown->find(' '));
        if (display_.focus(window)) {
          answered_ = *shown;
          window_ = window;
          return true;
        }
      }
      if (run_->wait_for(0s) == std::future_status::ready) return false;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // Types into the focused field of the next prompt and confirms.
  void answer(const std::string& secret) {
    ASSERT_TRUE(nextWindow()) << "no new pinentry window came up";
    ASSERT_TRUE(display_.type(secret));
    ASSERT_TRUE(display_.key("Return"));
  }

  // A new keychain's password: each flavour shows both fields in one window, so the tool gets
  // one entry already confirmed.
  void newKeychain() {
    start("ensure-key", "device-1");
    ASSERT_TRUE(nextWindow()) << "no pinentry window came up";
    ASSERT_TRUE(display_.type(keychainPassword));
    for (const std::string& key : GetParam().toRepeatField(version_)) {
      ASSERT_TRUE(display_.key(key));
    }
    ASSERT_TRUE(display_.type(keychainPassword));
    ASSERT_TRUE(display_.key("Return"));
    RunResult result = finish();
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(result.out, "created\n");
  }

  TempDir dir_;
  std::pair<int, int> version_;
  std::optional<std::string> bus_;
  // The prompt window answered last.
  std::string window_;
  PamEnvironment pam_{PamEnvironment::currentUser(), ownerPassword};
  std::optional<std::future<RunResult>> run_;
  std::string answered_;
  // Last, so it goes first: a run still waiting on a window the test failed to answer then
  // ends with its display instead of at its time-out.
  gui::VirtualDisplay display_;
};

TEST_P(GuiPinentry, FirstEnsureKeyCreatesTheKeychainAndReadKeyGivesTheKey) {
  ASSERT_NO_FATAL_FAILURE(newKeychain());
  start("read-key", "device-1");
  ASSERT_NO_FATAL_FAILURE(answer(ownerPassword));
  ASSERT_NO_FATAL_FAILURE(answer(keychainPassword));
  RunResult result = finish();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.size(), 32u);  // the key's bytes themselves are never printed
  EXPECT_EQ(result.err, "");
}

TEST_P(GuiPinentry, ApproveAfterOneWrongPassword) {
  start("approve", "approve-marker");
  ASSERT_NO_FATAL_FAILURE(answer("wrong password"));
  ASSERT_NO_FATAL_FAILURE(answer(ownerPassword));
  RunResult result = finish();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "approved\n");
}

TEST_P(GuiPinentry, CancelIsARefusal) {
  start("approve", "approve-marker");
  ASSERT_TRUE(nextWindow()) << "no pinentry window came up";
  ASSERT_TRUE(display_.key("Escape"));
  RunResult result = finish();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "User approval denied or expired\n");
  EXPECT_EQ(result.out, "");
}

TEST_P(GuiPinentry, ALongReasonFitsTheScreen) {
  // About 230 characters, as a long approval reason made pinentry-qt wider than the screen.
  std::string reason = "请确认以下操作：";
  for (int i = 0; i < 5; ++i) reason += "sign the release archive ferrowick-2.4.1.tar.gz ";
  start("approve", reason);
  ASSERT_TRUE(nextWindow()) << "no pinentry window came up";
  // Let the window take its final size before measuring.
  std::this_thread::sleep_for(300ms);
  auto shown = display_.geometry(window_);
  ASSERT_TRUE(shown.has_value());
  EXPECT_GE(shown->x, 0);
  EXPECT_LE(shown->x + shown->width, display_.screen().width)
      << "the window is " << shown->width << " px wide";
  ASSERT_TRUE(display_.key("Escape"));
  RunResult result = finish();
  EXPECT_EQ(result.err, "User approval denied or expired\n");
}

INSTANTIATE_TEST_SUITE_P(Flavours, GuiPinentry, testing::ValuesIn(flavours),
                         [](const testing::TestParamInfo<Flavour>& shown) {
                           return std::string(shown.param.name);
                         });

}  // namespace
