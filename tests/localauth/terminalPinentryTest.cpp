// The real Debian pinentry-curses and pinentry-tty, each the `pinentry` on PATH, driven in a tmux
// pane that is the binary's terminal, with real PAM (pam_matrix behind libpam_wrapper).
// pinentry-curses changed how it takes a new password between 1.2 (Debian 12) and 1.3
// (Debian 13); the tests drive whichever generation is installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/TerminalPane.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PamEnvironment;
using testing_support::TerminalPane;

const std::string ownerPassword = "owner pass 1";
const std::string keychainPassword = "keychain pass 1";

// How a new password's two entries are taken. pinentry-curses 1.3 shows both fields in one form
// (Tab moves to the second; Enter in the first stays there) and holds the form, silently, while
// they differ. 1.2 asks once; Ferrowick asks again under the repeat label, compares, and asks
// anew with its mismatch text. pinentry-tty asks twice itself and complains itself, with our
// mismatch text, on both.
enum class NewPasswordForm { oneFieldThenOurRepeat, bothFieldsInOneForm, asksTwiceItself };

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
    pane_ = std::make_unique<TerminalPane>(program_, pam_);
  }

  // Both entries of a new password, the way the installed pinentry takes them (`round` 2 is the
  // second time it is asked in one run). The first screen shows whether the form is the one
  // this generation should show.
  void typeNewPassword(const std::string& first, const std::string& second, int round = 1) {
    int shown = form_ == NewPasswordForm::asksTwiceItself ? round : 1;
    ASSERT_TRUE(pane_->shows("新密码", shown));
    if (form_ == NewPasswordForm::bothFieldsInOneForm) {
      ASSERT_NE(pane_->screen().find("再次输入"), std::string::npos) << "not one form:\n"
                                                                     << pane_->screen();
      pane_->type(first);
      pane_->keys({"Tab"});
      pane_->type(second);
      pane_->keys({"Enter"});
      return;
    }
    ASSERT_EQ(testing_support::occurrences(pane_->screen(), "再次输入"), shown - 1)
        << "both at once:\n"
        << pane_->screen();
    pane_->typeLine(first);
    ASSERT_TRUE(pane_->shows("再次输入", shown));
    pane_->typeLine(second);
  }

  std::string keychainFile() const {
    return pane_->homeFile("data/ferrowick/keychains/login.keychain-db");
  }

  void newKeychain() {
    pane_->start("ensure-key", "device-1");
    typeNewPassword(keychainPassword, keychainPassword);
    ASSERT_EQ(pane_->finished(), 0) << pane_->err();
    ASSERT_EQ(pane_->out(), "created\n");
  }

  // read-key of device-1 opens the keychain with `password` and gives the key.
  void readKeyWith(const std::string& password) {
    pane_->start("read-key", "device-1");
    ASSERT_TRUE(pane_->shows("device-1"));  // the approval's reason names the key
    pane_->typeLine(ownerPassword);
    ASSERT_TRUE(pane_->shows("login.keychain-db"));  // the keychain's own prompt names its file
    pane_->typeLine(password);
    EXPECT_EQ(pane_->finished(), 0) << pane_->err();
    EXPECT_EQ(pane_->out().size(), 32u);
    EXPECT_EQ(pane_->err(), "");
  }

  NewPasswordForm form_ = NewPasswordForm::oneFieldThenOurRepeat;

  std::string program_;
  PamEnvironment pam_{PamEnvironment::currentUser(), ownerPassword};
  std::unique_ptr<TerminalPane> pane_;
};

TEST_P(TerminalPinentry, FirstEnsureKeyCreatesTheKeychainAndReadKeyGivesTheKey) {
  newKeychain();
  readKeyWith(keychainPassword);
}

// Two different entries make no keychain: whoever notices (the pinentry or Ferrowick) has the
// owner enter them again, and the keychain that is then made opens with the agreed password.
TEST_P(TerminalPinentry, MismatchedNewPasswordsMakeNoKeychainUntilTheyAgree) {
  const std::string other = "keychain pass 2";
  pane_->start("ensure-key", "device-1");
  typeNewPassword(keychainPassword, other);
  switch (form_) {
    case NewPasswordForm::oneFieldThenOurRepeat:
      ASSERT_TRUE(pane_->shows("两次输入的密码不一致，请重新输入。"));
      EXPECT_FALSE(fileExists(keychainFile()));
      typeNewPassword(keychainPassword, keychainPassword, 2);
      break;
    case NewPasswordForm::asksTwiceItself:
      // It says so with the text it is given for a mismatch.
      ASSERT_TRUE(pane_->shows("两次输入的密码不一致，请重新输入。")) << pane_->screen();
      EXPECT_FALSE(fileExists(keychainFile()));
      typeNewPassword(keychainPassword, keychainPassword, 2);
      break;
    case NewPasswordForm::bothFieldsInOneForm: {
      // The form stays as it was, the second field still focused, and nothing reaches us.
      std::string held = pane_->screen();
      std::this_thread::sleep_for(1s);
      EXPECT_EQ(pane_->screen(), held);
      EXPECT_FALSE(pane_->ended()) << "the run ended: " << pane_->err();
      EXPECT_FALSE(fileExists(keychainFile()));
      std::vector<std::string> erase(other.size(), "BSpace");
      pane_->keys(erase);
      pane_->typeLine(keychainPassword);
      break;
    }
  }
  ASSERT_EQ(pane_->finished(), 0) << pane_->err();
  ASSERT_EQ(pane_->out(), "created\n");
  readKeyWith(keychainPassword);
}

TEST_P(TerminalPinentry, ApproveAfterOneWrongPassword) {
  pane_->start("approve", "approve-marker");
  ASSERT_TRUE(pane_->shows("approve-marker"));
  pane_->typeLine("wrong password");
  ASSERT_TRUE(pane_->shows("密码不正确"));
  pane_->typeLine(ownerPassword);
  EXPECT_EQ(pane_->finished(), 0) << pane_->err();
  EXPECT_EQ(pane_->out(), "approved\n");
}

TEST_P(TerminalPinentry, CancelIsARefusal) {
  pane_->start("approve", "approve-marker");
  ASSERT_TRUE(pane_->shows("approve-marker"));
  // tty cancels on end of input; curses with its cancel button, two tabs past the field.
  std::vector<std::string> keys =
      std::string(GetParam()) == "pinentry-tty"
          ? std::vector<std::string>{"send-keys", "C-d"}
          : std::vector<std::string>{"send-keys", "Tab", "Tab", "Enter"};
  ASSERT_EQ(pane_->tmux(keys).status, 0);
  EXPECT_EQ(pane_->finished(), 1);
  EXPECT_EQ(pane_->err(), "User approval denied or expired\n");
  EXPECT_EQ(pane_->out(), "");
}

INSTANTIATE_TEST_SUITE_P(Debian, TerminalPinentry,
                         testing::Values("pinentry-curses", "pinentry-tty"),
                         [](const auto& flavour) {
                           std::string name = flavour.param;
                           return name.substr(name.find('-') + 1);
                         });

}  // namespace
