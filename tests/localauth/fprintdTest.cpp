// `Ferrowick approve` with Debian's real pam_fprintd, the real fprintd and libfprint's virtual
// reader (FP_VIRTUAL_DEVICE), all on a private system bus where python3-dbusmock stands in for
// polkit; pam_matrix behind libpam_wrapper takes the password when the reader gives up, and the
// scripted pinentry shows the prompts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"
#include "tests/support/Waiting.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing_support::PamEnvironment;
using testing_support::readFile;
using testing_support::RunResult;
using testing_support::ScriptedPinentry;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string password = "matrix pass 1";
const char* const pamFprintdPlaces[] = {"/lib/x86_64-linux-gnu/security/pam_fprintd.so",
                                        "/usr/lib/x86_64-linux-gnu/security/pam_fprintd.so"};

// The daemons' answers are programs run at each poll: poll less often, wait longer.
bool waitForDaemon(const std::function<bool()>& condition, std::chrono::milliseconds limit = 15s) {
  return testing_support::waitFor(condition, limit, 50ms);
}

std::string pamFprintd() {
  for (const char* place : pamFprintdPlaces) {
    if (access(place, R_OK) == 0) return place;
  }
  return {};
}

class RealFprintd : public testing::Test {
 protected:
  void SetUp() override {
    if (pamFprintd().empty() || access("/usr/libexec/fprintd", X_OK) != 0 ||
        access("/usr/bin/dbus-daemon", X_OK) != 0 || access("/usr/bin/fprintd-enroll", X_OK) != 0 ||
        run("/usr/bin/python3", {"-c", "import dbusmock"}).status != 0) {
      GTEST_SKIP() << "needs fprintd, libpam-fprintd, dbus-daemon and python3-dbusmock";
    }
    bus_ = "unix:path=" + dir_.file("system_bus_socket");
    writeFile(dir_.file("bus.conf"),
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>system</type><listen>" +
                  bus_ +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                  "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                  "<allow receive_sender=\"*\"/></policy></busconfig>\n");
    ASSERT_TRUE(background(
        "bus", "exec /usr/bin/dbus-daemon --nofork --config-file=" + dir_.file("bus.conf")));
    ASSERT_TRUE(
        waitForDaemon([&] { return access(dir_.file("system_bus_socket").c_str(), F_OK) == 0; }));
    ASSERT_TRUE(
        background("polkit", "exec /usr/bin/python3 -m dbusmock --system --template polkitd"));
    ASSERT_TRUE(waitForDaemon([&] {
      return run("/usr/bin/gdbus", {"call", "--system", "-d", "org.freedesktop.PolicyKit1", "-o",
                                    "/org/freedesktop/PolicyKit1/Authority", "-m",
                                    "org.freedesktop.DBus.Mock.SetAllowed",
                                    "['net.reactivated.fprint.device.verify', "
                                    "'net.reactivated.fprint.device.enroll']"})
                 .status == 0;
    }));
    ASSERT_EQ(mkdir(dir_.file("state").c_str(), 0700), 0);
    ASSERT_TRUE(background("fprintd", "FP_VIRTUAL_DEVICE='" + dir_.file("reader") +
                                          "' STATE_DIRECTORY='" + dir_.file("state") +
                                          "' exec /usr/libexec/fprintd --no-timeout"));
    ASSERT_TRUE(waitForDaemon([&] {
      return run("/usr/bin/fprintd-list", {PamEnvironment::currentUser()}).out.find("Virtual") !=
             std::string::npos;
    }));
    // Enrol: the virtual reader takes five scans of the same finger.
    ASSERT_TRUE(background("enroll", "exec /usr/bin/fprintd-enroll -f right-index-finger " +
                                         PamEnvironment::currentUser()));
    for (int stage = 0; stage < 10 && !enrolled(); ++stage) {
      ASSERT_TRUE(waitForDaemon([&] { return access(dir_.file("reader").c_str(), F_OK) == 0; }));
      std::this_thread::sleep_for(300ms);
      touch("finger-1");
      waitForDaemon([&] { return enrolled(); }, 700ms);
    }
    ASSERT_TRUE(enrolled()) << readFile(dir_.file("enroll.log"));

    std::string matrix =
        PamEnvironment::moduleDir() + "/pam_matrix.so passdb=" + dir_.file("passdb");
    writeFile(dir_.file("passdb"), PamEnvironment::currentUser() + ":" + password + ":ferrowick\n");
    // As Debian's pam-auth-update puts it ahead of pam_unix.
    writeFile(pam_.serviceDir() + "/ferrowick", "auth [success=done default=ignore] " +
                                                    pamFprintd() +
                                                    " max-tries=1 timeout=20\nauth required " +
                                                    matrix + "\naccount required " + matrix + "\n");
  }

  void TearDown() override {
    for (const char* name : {"enroll", "fprintd", "polkit", "bus"}) {
      std::string pid = readFile(dir_.file(std::string(name) + ".pid"));
      if (!pid.empty()) kill(std::stoi(pid), SIGTERM);
    }
  }

  RunResult run(const std::string& program, const std::vector<std::string>& arguments) const {
    testing_support::RunOptions options;
    options.environment["DBUS_SYSTEM_BUS_ADDRESS"] = bus_;
    options.timeout = 10s;
    return testing_support::run(program, arguments, options);
  }

  // Starts `command` in the background, its output in NAME.log and its pid in NAME.pid.
  bool background(const std::string& name, const std::string& command) const {
    std::string log = dir_.file(name + ".log");
    RunResult started =
        run("/bin/sh", {"-c", "(" + command + ") >'" + log + "' 2>&1 </dev/null & echo $! >'" +
                                  dir_.file(name + ".pid") + "'"});
    return started.status == 0;
  }

  bool enrolled() const {
    return readFile(dir_.file("enroll.log")).find("enroll-completed") != std::string::npos;
  }

  // A finger on the virtual reader, as libfprint's virtual device takes it.
  void touch(const std::string& finger) const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = dir_.file("reader");
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string command = "SCAN " + finger + "\n";
    ASSERT_EQ(write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    shutdown(fd, SHUT_WR);
    char ignored[256];
    while (read(fd, ignored, sizeof ignored) > 0) {
    }
    close(fd);
  }

  RunResult approve() {
    testing_support::RunOptions options;
    options.environment = pam_.environment();
    for (const auto& [key, value] : pinentry_.environment()) options.environment[key] = value;
    options.environment["DBUS_SYSTEM_BUS_ADDRESS"] = bus_;
    // pam_fprintd drops the reply array of every message it sends (ours is calloc'd, as PAM
    // asks): a leak of the module's that LeakSanitizer would count against us. pam_end has
    // unloaded the module by the exit, so only our frame names the allocation; the waiting
    // module's tests, which free it, keep our side checked.
    writeFile(dir_.file("leaks.supp"), "leak:pam_fprintd.so\nleak:converse\n");
    options.environment["LSAN_OPTIONS"] =
        "print_suppressions=0:suppressions=" + dir_.file("leaks.supp");
    options.timeout = 60s;
    auto begin = std::chrono::steady_clock::now();
    RunResult result = testing_support::runFerrowick({"approve", "Sign in to Peldora"}, options);
    took_ = std::chrono::steady_clock::now() - begin;
    return result;
  }

  // Puts `finger` on the reader once the status prompt is up.
  std::thread touchOnceShown(const std::string& finger) {
    return std::thread([this, finger] {
      if (waitForDaemon([this] { return !pinentry_.texts("CONFIRM").empty(); })) touch(finger);
    });
  }

  TempDir dir_;
  std::string bus_;
  ScriptedPinentry pinentry_;
  PamEnvironment pam_{PamEnvironment::currentUser(), password};
  std::chrono::steady_clock::duration took_{};
};

TEST_F(RealFprintd, TheEnrolledFingerApprovesWhatTheStatusPromptShowed) {
  pinentry_.script({"hang"});
  std::thread finger = touchOnceShown("finger-1");
  RunResult result = approve();
  finger.join();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(pinentry_.runs(), 1);
  ASSERT_EQ(pinentry_.texts("SETDESC").size(), 1u);
  EXPECT_THAT(pinentry_.texts("SETDESC")[0], HasSubstr("Sign in to Peldora\n\n"));
  EXPECT_THAT(pinentry_.texts("SETDESC")[0], HasSubstr("finger"));
}

TEST_F(RealFprintd, TheStatusPromptsButtonCancelsWhileTheReaderWaits) {
  pinentry_.script({"confirm"});
  RunResult result = approve();
  EXPECT_EQ(result.err, "User approval denied or expired\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_LT(took_, 2s);  // the reader would have waited 20 s
}

TEST_F(RealFprintd, AnotherFingerIsRefusedAndThePasswordFollows) {
  pinentry_.script({"hang", "pin " + password});
  std::thread finger = touchOnceShown("finger-2");
  RunResult result = approve();
  finger.join();
  EXPECT_EQ(result.out, "approved\n");
  EXPECT_EQ(pinentry_.runs(), 2);
  EXPECT_EQ(pinentry_.texts("GETPIN").size(), 1u);
  EXPECT_THAT(pinentry_.texts("SETERROR"), testing::Contains(HasSubstr("match")));
}

}  // namespace
