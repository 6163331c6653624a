// Breaking prompt texts into lines that every pinentry can show, and the settings a one-button
// notice and a repeated entry are sent (against the scripted pinentry).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "platform/pinentry/Pinentry.h"
#include "platform/pinentry/promptText.h"
#include "tests/support/ScriptedPinentry.h"

namespace {

using pinentry::breakLines;
using pinentry::displayWidth;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

TEST(DisplayWidth, CountsWideCharactersTwiceAndBrokenBytesOnce) {
  EXPECT_EQ(displayWidth("abc"), 3u);
  EXPECT_EQ(displayWidth("密码"), 4u);
  EXPECT_EQ(displayWidth("（测试）：，"), 12u);  // full-width punctuation
  EXPECT_EQ(displayWidth("e\xCC\x81"), 1u);      // e and a combining acute accent
  EXPECT_EQ(displayWidth("\xFF\xE4\xB8"), 3u);   // a stray byte and a cut-off one: one each
  EXPECT_EQ(displayWidth("“名”"), 4u);           // curly quotes are narrow
}

TEST(BreakLines, BreaksAtSpacesAndAroundWideCharactersWithinTheWidth) {
  struct Case {
    const char* label;
    std::string text;
    std::size_t columns;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"fits", "Sign in to Peldora", 20, {"Sign in to Peldora"}},
      {"at spaces, the space dropped",
       "Sign in to Peldora now",
       10,
       {"Sign in to", "Peldora", "now"}},
      {"between wide characters", "需要使用设备密钥", 6, {"需要使", "用设备", "密钥"}},
      {"between a wide and a narrow character", "使用key-1", 7, {"使用", "key-1"}},
      {"no line starts with closing punctuation", "设备密钥，然后", 8, {"设备密", "钥，然后"}},
      {"no line ends with opening punctuation", "键名（测试）", 6, {"键名", "（测", "试）"}},
      {"a run without a break is cut where it overflows",
       "/home/owner/a-long/path",
       10,
       {"/home/owne", "r/a-long/p", "ath"}},
      {"line breaks already there stay", "first line\n\nsecond", 20, {"first line", "", "second"}},
      {"a wide character never straddles the edge", "ab密码", 3, {"ab", "密", "码"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string broken = breakLines(c.text, c.columns);
    EXPECT_EQ(lines(broken), c.expected) << broken;
  }
}

TEST(BreakLines, KeepsEveryCharacterOfALongMixedTextAndNoLineIsTooWide) {
  std::string reason = "Peldora 需要使用设备密钥：";
  for (int i = 0; i < 12; ++i)
    reason += "device-key-" + std::to_string(i) + " 以及测试用的钥匙串项目 ";
  reason += "\xFF";  // not UTF-8: kept as it is
  std::string broken = breakLines(reason);
  std::string joined;
  for (const auto& line : lines(broken)) {
    EXPECT_LE(displayWidth(line), pinentry::promptColumns) << line;
    joined += line;
  }
  std::string withoutSpaces;
  for (char c : reason) {
    if (c != ' ') withoutSpaces += c;
  }
  std::string joinedWithoutSpaces;
  for (char c : joined) {
    if (c != ' ') joinedWithoutSpaces += c;
  }
  EXPECT_EQ(joinedWithoutSpaces, withoutSpaces);
  EXPECT_GT(lines(broken).size(), 5u);
}

class PromptSettings : public testing::Test {
 protected:
  testing_support::InProcessPinentry pinentry_;
};

TEST_F(PromptSettings, ANoticeHasOneButtonAndEndsAsThePinentryAnswers) {
  struct Case {
    const char* answer;
    pinentry::Outcome outcome;
  };
  const Case cases[] = {
      {"confirm", pinentry::Outcome::confirmed},
      {"cancel", pinentry::Outcome::cancelled},
      {"timeout", pinentry::Outcome::timedOut},
      {"notty", pinentry::Outcome::unavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    pinentry_.script({c.answer});
    pinentry::Request request;
    request.title = "Ferrowick";
    request.description = "请将手指放在指纹读取器上";
    request.okLabel = "取消执行";
    request.timeoutSeconds = 30;
    EXPECT_EQ(pinentry::notice(request), c.outcome);
    EXPECT_EQ(pinentry_.texts("CONFIRM").back(), "--one-button");
    EXPECT_EQ(pinentry_.texts("SETOK").back(), "取消执行");
  }
}

TEST_F(PromptSettings, TheRepeatErrorGoesOnlyWithARepeat) {
  pinentry_.script({"pin a", "pin b"});
  pinentry::Request request;
  request.description = "新密码";
  request.repeatError = "两次输入的密码不一致。";
  request.timeoutSeconds = 30;
  ASSERT_EQ(pinentry::getPin(request).outcome, pinentry::Outcome::pin);
  EXPECT_THAT(pinentry_.texts("SETREPEATERROR"), testing::IsEmpty());
  request.repeat = "再次输入";
  ASSERT_EQ(pinentry::getPin(request).outcome, pinentry::Outcome::pin);
  EXPECT_EQ(pinentry_.texts("SETREPEATERROR"), std::vector<std::string>{"两次输入的密码不一致。"});
}

}  // namespace
