// choose-file and choose-directory against the dialog double: the panel the owner is shown,
// which answers count, and the path handed over unchanged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/FakeAppKit.h"
#include "tests/fakes/FakeFoundation.h"

namespace {

using ::testing::ElementsAre;

class ChooserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::appkit::reset();
    fake::appkit::state().pickedPath = "/home/user/picked";
  }
  void TearDown() override { fake::appkit::reset(); }

  static fake::Outcome choose(std::string word, std::string message) {
    return fake::runFrontEnd({"Ferrowick", std::move(word), std::move(message)});
  }
};

TEST_F(ChooserTest, EachWordShowsOnePanelInFrontForOneItemOfItsKind) {
  struct Case {
    const char* word;
    bool directories;
  };
  for (Case c : {Case{"choose-file", false}, Case{"choose-directory", true}}) {
    fake::appkit::reset();
    fake::appkit::state().pickedPath = "/tmp";
    fake::Outcome outcome = choose(c.word, "请选择");
    EXPECT_EQ(outcome.status, 0) << c.word;
    fake::appkit::ShownPanel expected;
    expected.inFront = true;
    expected.message = "请选择";
    expected.canChooseDirectories = c.directories;
    expected.canChooseFiles = !c.directories;
    expected.allowsMultipleSelection = false;
    EXPECT_THAT(fake::appkit::state().panels, ElementsAre(expected)) << c.word;
  }
}

TEST_F(ChooserTest, TheMessageIsTheOperandVerbatim) {
  for (const char* message : {"", "选择 a folder", "  padded  ", "/not/a/starting/folder"}) {
    fake::appkit::reset();
    fake::appkit::state().pickedPath = "/tmp";
    choose("choose-directory", message);
    ASSERT_EQ(fake::appkit::state().panels.size(), 1u) << "message '" << message << "'";
    EXPECT_EQ(fake::appkit::state().panels[0].message, message) << "message '" << message << "'";
  }
}

TEST_F(ChooserTest, NoConfirmationOrNoItemIsASelectionCancelled) {
  struct Case {
    const char* label;
    NSModalResponse response;
    std::optional<std::string> path;
  };
  const Case cases[] = {
      {"cancelled (0)", 0, "/tmp/x"},
      {"the alert's first button is not OK", 1000, "/tmp/x"},
      {"an abort", -1001, "/tmp/x"},
      {"another positive answer", 2, "/tmp/x"},
      {"confirmed without an item", NSModalResponseOK, std::nullopt},
  };
  for (const char* word : {"choose-file", "choose-directory"}) {
    for (const Case& c : cases) {
      fake::appkit::reset();
      fake::appkit::state().panelResponse = c.response;
      fake::appkit::state().pickedPath = c.path;
      fake::Outcome outcome = choose(word, "pick");
      EXPECT_EQ(outcome.status, 1) << word << ": " << c.label;
      EXPECT_EQ(outcome.err, "Selection cancelled\n") << word << ": " << c.label;
      EXPECT_EQ(outcome.out, "") << word << ": " << c.label;
    }
  }
}

TEST_F(ChooserTest, PickedPathIsWrittenUnchangedInOneWrite) {
  for (const char* path : {"/", "/home/user/My Files/报告 2024.pdf", "/tmp/é\ttab\nline end",
                           "/tmp/trailing space ", "/tmp/dir/"}) {
    fake::appkit::reset();
    fake::appkit::state().pickedPath = path;
    fake::Outcome outcome = choose("choose-file", "pick");
    EXPECT_EQ(outcome.status, 0) << path;
    EXPECT_EQ(outcome.out, path);
    EXPECT_EQ(outcome.outWrites, 1) << path;
    EXPECT_EQ(outcome.err, "") << path;
  }
}

}  // namespace
