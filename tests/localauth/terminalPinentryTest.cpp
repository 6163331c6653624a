// The real Debian pinentry-curses and pinentry-tty, each the `pinentry` on PATH, driven in a tmux
// pane that is the binary's terminal, with real PAM (pam_matrix behind libpam_wrapper).
// pinentry-curses changed how it takes a new password between 1.2 (Debian 12) and 1.3
// (Debian 13); the tests drive whichever generation is installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string ownerPassword = "owner pass 1";
const std::string keychainPassword = "keychain pass 1";

// How a new password's two entries are taken. pinentry-curses 1.3 shows both fields in one form
// (Tab moves to the second; Enter in the first stays there) and holds the form, silently, while
// they differ. 1.2 asks once; Ferrowick asks again under the repeat label, compares, and asks
// anew with its mismatch text. pinentry-tty asks twice itself and complains itself, with our
// mismatch text, on both.
enum class NewPasswordForm { oneFieldThenOurRepeat, bothFieldsInOneForm, asksTwiceItself };

int count(const std::string& screen, const std::string& text) {
  int found = 0;
  for (auto at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1)) {
    ++found;
  }
  return found;
}

// The screen's lines joined, each without the margin and box border around it: the prompts
// break long texts (a path) into lines, which the screen shows one under the other.
std::string joinedLines(const std::string& screen) {
  const std::string border = "│";
  auto trim = [&](std::string_view line) {
    while (true) {
      std::size_t before = line.size();
      while (!line.empty() && (line.front() == ' ' || line.front() == '|')) line.remove_prefix(1);
      while (!line.empty() && (line.back() == ' ' || line.back() == '|')) line.remove_suffix(1);
      if (line.starts_with(border)) line.remove_prefix(border.size());
      if (line.ends_with(border)) line.remove_suffix(border.size());
      if (line.size() == before) return line;
    }
  };
  std::string joined;
  std::istringstream lines(screen);
  for (std::string line; std::getline(lines, line);) joined += trim(line);
  return joined;
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

class TerminalPinentry : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    program_ = std::string("/usr/bin/") + GetParam();
    if (access(program_.c_str(), X_OK) != 0) GTEST_SKIP() << program_ << " is not installed";
    auto [major, minor] = testing_support::pinentryVersion(program_);
    ASSERT_GT(major, 0) << program_ << " --version names no version";
    if (std::string(GetParam()) == "pinentry-tty") {
      form_ = NewPasswordForm::asksTwiceItself;
    } else {
      form_ = std::pair(major, minor) >= std::pair(1, 3) ? NewPasswordForm::bothFieldsInOneForm
                                                         : NewPasswordForm::oneFieldThenOurRepeat;
    }
    RecordProperty("pinentry_version", std::to_string(major) + "." + std::to_string(minor));
    mkdir(dir_.file("bin").c_str(), 0700);
    ASSERT_EQ(symlink(program_.c_str(), dir_.file("bin/pinentry").c_str()), 0);
    mkdir(dir_.file("home").c_str(), 0700);
  }
  void TearDown() override {
    for (; runs_ > 0; --runs_) tmux({"kill-server"});
  }

  // Each run has a tmux server of its own: the previous one exits with its last pane, and a
  // new session asked of it meanwhile would fail.
  testing_support::RunResult tmux(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(),
                     {"-u", "-S", dir_.file("tmux-" + std::to_string(runs_) + ".socket")});
    testing_support::RunOptions options;
    options.environment["LC_ALL"] = "C.UTF-8";
    options.timeout = 20s;
    return testing_support::run("/usr/bin/tmux", arguments, options);
  }

  // Starts `Ferrowick <operation> <operand>` as the pane's program; its results go to files.
  void start(const std::string& operation, const std::string& operand) {
    std::string script = "#!/bin/sh\n";
    for (const auto& [key, value] : pam_.environment()) {
      if (value) script += "export " + key + "='" + *value + "'\n";
    }
    script += "export PATH='" + dir_.file("bin") + "' HOME='" + dir_.file("home") +
              "' XDG_DATA_HOME='" + dir_.file("home/data") + "' LC_ALL=C.UTF-8\nunset DISPLAY\n";
    script += "'" + testing_support::ferrowickPath() + "' " + operation + " '" + operand + "' >'" +
              dir_.file("out") + "' 2>'" + dir_.file("err") + "'\necho $? >'" +
              dir_.file("status.tmp") + "'\n/bin/mv '" + dir_.file("status.tmp") + "' '" +
              dir_.file("status") + "'\n";
    writeFile(dir_.file("run.sh"), script, 0700);
    unlink(dir_.file("status").c_str());
    ++runs_;
    testing_support::RunResult started =
        tmux({"new-session", "-d", "-x", "120", "-y", "40", dir_.file("run.sh")});
    ASSERT_EQ(started.status, 0) << started.err;
  }

  // Waits until the pane shows `text` (`times` times: pinentry-tty's earlier prompts stay on
  // the screen) and has stopped changing.
  bool shows(const std::string& text, int times = 1) const {
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string screen = tmux({"capture-pane", "-p"}).out;
      if (std::max(count(screen, text), count(joinedLines(screen), text)) >= times) {
        // Settled: pinentry has drawn its whole prompt and is reading (tty discards input typed
        // before it switches the terminal over).
        std::this_thread::sleep_for(200ms);
        if (tmux({"capture-pane", "-p"}).out == screen) return true;
        continue;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  std::string screen() const { return tmux({"capture-pane", "-p"}).out; }

  // Handed to the pane as input, as the owner's typing would be. The text goes through a
  // private file and a tmux buffer, never through a command line.
  void type(const std::string& text) {
    writeFile(dir_.file("typed"), text, 0600);
    ASSERT_EQ(tmux({"load-buffer", "-b", "typed", dir_.file("typed")}).status, 0);
    unlink(dir_.file("typed").c_str());
    ASSERT_EQ(tmux({"paste-buffer", "-d", "-b", "typed"}).status, 0);
  }
  void keys(std::vector<std::string> names) {
    names.insert(names.begin(), "send-keys");
    ASSERT_EQ(tmux(names).status, 0);
  }
  void typeLine(const std::string& text) {
    type(text);
    keys({"Enter"});
  }

  // Both entries of a new password, the way the installed pinentry takes them (`round` 2 is the
  // second time it is asked in one run). The first screen shows whether the form is the one
  // this generation should show.
  void typeNewPassword(const std::string& first, const std::string& second, int round = 1) {
    int shown = form_ == NewPasswordForm::asksTwiceItself ? round : 1;
    ASSERT_TRUE(shows("新密码", shown));
    if (form_ == NewPasswordForm::bothFieldsInOneForm) {
      ASSERT_NE(screen().find("再次输入"), std::string::npos) << "not one form:\n" << screen();
      type(first);
      keys({"Tab"});
      type(second);
      keys({"Enter"});
      return;
    }
    ASSERT_EQ(count(screen(), "再次输入"), shown - 1) << "both at once:\n" << screen();
    typeLine(first);
    ASSERT_TRUE(shows("再次输入", shown));
    typeLine(second);
  }

  // The run's exit status once it ended; -1 if it didn't in time.
  int finished(std::chrono::seconds limit = 30s) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string status = readFile(dir_.file("status"));
      if (!status.empty()) return std::stoi(status);
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }
  std::string out() const { return readFile(dir_.file("out")); }
  // The tool's own lines: the wrapper's are about other processes' folders.
  std::string err() const {
    return testing_support::withoutPamWrapperLines(readFile(dir_.file("err")));
  }

  std::string keychainFile() const {
    return dir_.file("home/data/ferrowick/keychains/login.keychain-db");
  }

  void newKeychain() {
    start("ensure-key", "device-1");
    typeNewPassword(keychainPassword, keychainPassword);
    ASSERT_EQ(finished(), 0) << err();
    ASSERT_EQ(out(), "created\n");
  }

  // read-key of device-1 opens the keychain with `password` and gives the key.
  void readKeyWith(const std::string& password) {
    start("read-key", "device-1");
    ASSERT_TRUE(shows("device-1"));  // the approval's reason names the key
    typeLine(ownerPassword);
    ASSERT_TRUE(shows("login.keychain-db"));  // the keychain's own prompt names its file
    typeLine(password);
    EXPECT_EQ(finished(), 0) << err();
    EXPECT_EQ(out().size(), 32u);
    EXPECT_EQ(err(), "");
  }

  NewPasswordForm form_ = NewPasswordForm::oneFieldThenOurRepeat;

  std::string program_;
  int runs_ = 0;
  TempDir dir_;
  PamEnvironment pam_{PamEnvironment::currentUser(), ownerPassword};
};

TEST_P(TerminalPinentry, FirstEnsureKeyCreatesTheKeychainAndReadKeyGivesTheKey) {
  newKeychain();
  readKeyWith(keychainPassword);
}

// Two different entries make no keychain: whoever notices (the pinentry or Ferrowick) has the
// owner enter them again, and the keychain that is then made opens with the agreed password.
TEST_P(TerminalPinentry, MismatchedNewPasswordsMakeNoKeychainUntilTheyAgree) {
  const std::string other = "keychain pass 2";
  start("ensure-key", "device-1");
  typeNewPassword(keychainPassword, other);
  switch (form_) {
    case NewPasswordForm::oneFieldThenOurRepeat:
      ASSERT_TRUE(shows("两次输入的密码不一致，请重新输入。"));
      EXPECT_FALSE(fileExists(keychainFile()));
      typeNewPassword(keychainPassword, keychainPassword, 2);
      break;
    case NewPasswordForm::asksTwiceItself:
      // It says so with the text it is given for a mismatch.
      ASSERT_TRUE(shows("两次输入的密码不一致，请重新输入。")) << screen();
      EXPECT_FALSE(fileExists(keychainFile()));
      typeNewPassword(keychainPassword, keychainPassword, 2);
      break;
    case NewPasswordForm::bothFieldsInOneForm: {
      // The form stays as it was, the second field still focused, and nothing reaches us.
      std::string held = screen();
      std::this_thread::sleep_for(1s);
      EXPECT_EQ(screen(), held);
      EXPECT_TRUE(readFile(dir_.file("status")).empty()) << "the run ended: " << err();
      EXPECT_FALSE(fileExists(keychainFile()));
      std::vector<std::string> erase(other.size(), "BSpace");
      keys(erase);
      typeLine(keychainPassword);
      break;
    }
  }
  ASSERT_EQ(finished(), 0) << err();
  ASSERT_EQ(out(), "created\n");
  readKeyWith(keychainPassword);
}

TEST_P(TerminalPinentry, ApproveAfterOneWrongPassword) {
  start("approve", "approve-marker");
  ASSERT_TRUE(shows("approve-marker"));
  typeLine("wrong password");
  ASSERT_TRUE(shows("密码不正确"));
  typeLine(ownerPassword);
  EXPECT_EQ(finished(), 0) << err();
  EXPECT_EQ(out(), "approved\n");
}

TEST_P(TerminalPinentry, CancelIsARefusal) {
  start("approve", "approve-marker");
  ASSERT_TRUE(shows("approve-marker"));
  // tty cancels on end of input; curses with its cancel button, two tabs past the field.
  std::vector<std::string> keys =
      std::string(GetParam()) == "pinentry-tty"
          ? std::vector<std::string>{"send-keys", "C-d"}
          : std::vector<std::string>{"send-keys", "Tab", "Tab", "Enter"};
  ASSERT_EQ(tmux(keys).status, 0);
  EXPECT_EQ(finished(), 1);
  EXPECT_EQ(err(), "User approval denied or expired\n");
  EXPECT_EQ(out(), "");
}

INSTANTIATE_TEST_SUITE_P(Debian, TerminalPinentry,
                         testing::Values("pinentry-curses", "pinentry-tty"),
                         [](const auto& flavour) {
                           std::string name = flavour.param;
                           return name.substr(name.find('-') + 1);
                         });

}  // namespace
