// Debian's real pinentry-curses in a tmux pane, the binary's terminal, with real PAM: an ending
// signal sent to the binary while the prompt is on the screen closes the prompt, gives the
// screen back as it was, and ends the run with its line.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "tests/support/PamEnvironment.h"
#include "tests/support/TerminalPane.h"

namespace {

using testing_support::PamEnvironment;
using testing_support::TerminalPane;

class TerminalSignal : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (access(program_, X_OK) != 0) GTEST_SKIP() << program_ << " is not installed";
    pane_ = std::make_unique<TerminalPane>(program_, pam_);
  }

  const char* program_ = "/usr/bin/pinentry-curses";
  PamEnvironment pam_{PamEnvironment::currentUser(), "owner pass 1"};
  std::unique_ptr<TerminalPane> pane_;
};

TEST_P(TerminalSignal, ThePromptClosesAndTheScreenIsGivenBack) {
  const int signal = GetParam();
  TerminalPane& pane = *pane_;
  pane.start("approve", "approve-marker");
  ASSERT_TRUE(pane.shows("approve-marker"));
  const int run = pane.runPid();
  ASSERT_GT(run, 0);
  ASSERT_EQ(kill(run, signal), 0);
  EXPECT_EQ(pane.finished(), 1) << strsignal(signal);
  EXPECT_EQ(pane.err(), "User approval denied or expired\n");
  EXPECT_EQ(pane.out(), "");
  const std::string left = pane.screen();
  EXPECT_EQ(left.find("approve-marker"), std::string::npos) << left;
  // The terminal is back in the modes a shell expects: lines, echo, signals from the keyboard.
  const std::string modes = pane.modes();
  for (std::string mode : {"icanon", "echo", "isig"}) {
    EXPECT_NE(modes.find(mode + " "), std::string::npos) << mode << " in " << modes;
    EXPECT_EQ(modes.find("-" + mode + " "), std::string::npos) << mode << " in " << modes;
  }
  EXPECT_TRUE(kill(run, 0) != 0 && errno == ESRCH);
}

INSTANTIATE_TEST_SUITE_P(Curses, TerminalSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& each) {
                           return std::string(sigabbrev_np(each.param));
                         });

}  // namespace
