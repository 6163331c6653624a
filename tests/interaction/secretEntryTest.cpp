// input-secret against the dialog double: what the owner is shown, which answers count as a
// confirmation, the byte limit, and what happens to the field afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/FakeAppKit.h"
#include "tests/fakes/FakeFoundation.h"

namespace {

using ::testing::ElementsAre;

const std::string informativeText = "Token 仅交给本机加密工具；上传到云端的只有密文。";

std::string repeat(const std::string& piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

class SecretEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::appkit::reset(); }
  void TearDown() override { fake::appkit::reset(); }

  static fake::Outcome enter(std::string operand) {
    return fake::runFrontEnd({"Ferrowick", "input-secret", std::move(operand)});
  }
};

TEST_F(SecretEntryTest, TheOwnerSeesOneAlertInFrontWithItsFixedTextsButtonsAndAFocusedSecureField) {
  fake::appkit::state().typed = "tok";
  enter("API 令牌");
  fake::appkit::ShownAlert expected;
  expected.inFront = true;
  expected.messageText = "录入 API 令牌";
  expected.informativeText = informativeText;
  expected.buttons = {"加密并上传", "取消"};
  expected.secureField = "0,0,420,28";
  expected.fieldHasFocus = true;
  EXPECT_THAT(fake::appkit::state().alerts, ElementsAre(expected));
}

TEST_F(SecretEntryTest, TheHeadlineIsThePrefixFollowedByTheOperandVerbatim) {
  struct Case {
    const char* operand;
    const char* headline;
  };
  for (Case c :
       {Case{"", "录入 "}, Case{"GitHub", "录入 GitHub"},
        Case{" two  spaces ", "录入  two  spaces "}, Case{"云端 令牌", "录入 云端 令牌"}}) {
    fake::appkit::reset();
    enter(c.operand);
    ASSERT_EQ(fake::appkit::state().alerts.size(), 1u) << "operand '" << c.operand << "'";
    EXPECT_EQ(fake::appkit::state().alerts[0].messageText, c.headline)
        << "operand '" << c.operand << "'";
  }
}

TEST_F(SecretEntryTest, AnyAnswerButTheFirstButtonIsACancelAndTheFieldIsNotRead) {
  // 1 is the panel's OK, not the alert's first button; 1001 is "取消".
  for (NSModalResponse response : {1001L, 1002L, 0L, 1L, -1000L, -1001L}) {
    fake::appkit::reset();
    fake::appkit::state().alertResponse = response;
    fake::appkit::state().typed = repeat("x", 20000);  // would be too large if it were read
    fake::Outcome outcome = enter("label");
    EXPECT_EQ(outcome.status, 1) << response;
    EXPECT_EQ(outcome.err, "Credential input cancelled\n") << response;
    EXPECT_EQ(outcome.out, "") << response;
    EXPECT_EQ(fake::appkit::firstOutOfOrder({"stringValue"}), "stringValue") << response;
  }
}

TEST_F(SecretEntryTest, ConfirmedTextIsWrittenWholeOrRefusedByItsUtf8ByteCount) {
  struct Case {
    const char* label;
    std::string typed;
    const char* refusal;  // null when the text is written
  };
  const std::string threeBytes = "密";         // U+5BC6
  const std::string fourBytes = "\U0001F511";  // 🔑
  const Case cases[] = {
      {"empty field", "", "Credential input cancelled\n"},
      {"a single space", " ", nullptr},
      {"spaces and a line end kept", "  tok en \n", nullptr},
      {"16384 ASCII bytes", repeat("a", 16384), nullptr},
      {"16385 ASCII bytes", repeat("a", 16385), "Credential too large\n"},
      {"5461 three-byte characters (16383 bytes)", repeat(threeBytes, 5461), nullptr},
      {"5462 three-byte characters (16386 bytes)", repeat(threeBytes, 5462),
       "Credential too large\n"},
      {"4096 four-byte characters (16384 bytes)", repeat(fourBytes, 4096), nullptr},
      {"4096 four-byte characters and one more byte", repeat(fourBytes, 4096) + "a",
       "Credential too large\n"},
  };
  for (const Case& c : cases) {
    fake::appkit::reset();
    fake::appkit::state().typed = c.typed;
    fake::Outcome outcome = enter("label");
    if (c.refusal != nullptr) {
      EXPECT_EQ(outcome.status, 1) << c.label;
      EXPECT_EQ(outcome.err, c.refusal) << c.label;
      EXPECT_EQ(outcome.out, "") << c.label;
    } else {
      EXPECT_EQ(outcome.status, 0) << c.label;
      EXPECT_EQ(outcome.err, "") << c.label;
      EXPECT_TRUE(outcome.out == c.typed) << c.label;  // no terminator, nothing changed
      EXPECT_EQ(outcome.outWrites, 1) << c.label;
    }
  }
}

TEST_F(SecretEntryTest, FieldIsClearedAfterTheSecretIsWritten) {
  fake::appkit::state().typed = "hunter2";
  fake::Outcome outcome = enter("label");
  ASSERT_EQ(outcome.status, 0);
  EXPECT_EQ(fake::appkit::state().outputWritesBeforeLastSet, 1);
  ASSERT_TRUE(fake::appkit::state().fieldValueAtEnd.has_value());
  EXPECT_TRUE(fake::appkit::state().fieldValueAtEnd->empty());
}

}  // namespace
