// The item-name rule: a table of the cases that matter, then a comparison with ICU's own regular
// expression engine on generated names, since the rule must accept exactly what
// "^[A-Za-z0-9_-]{1,100}$" finds under ICU's default flags (a final line terminator included).
#include <gtest/gtest.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Ferrowick/keystore/itemName.h"
#include "tests/fakes/FakeFoundation.h"

namespace {

using ferrowick::checkItemName;
using ferrowick::isValidItemName;

const std::string hundred = std::string(50, 'a') + std::string(50, 'Z');

// Every line terminator before which ICU's `$` also matches, in UTF-8.
const std::vector<std::pair<const char*, std::string>> terminators = {{"LF", "\n"},
                                                                      {"VT", "\v"},
                                                                      {"FF", "\f"},
                                                                      {"CR", "\r"},
                                                                      {"CR LF", "\r\n"},
                                                                      {"NEL", "\xC2\x85"},
                                                                      {"LINE SEP", "\xE2\x80\xA8"},
                                                                      {"PARA SEP", "\xE2\x80\xA9"}};

struct Case {
  std::string label;
  std::string name;
  bool valid;
};

std::vector<Case> ruleCases() {
  std::vector<Case> cases = {
      {"empty", "", false},
      {"one letter", "k", true},
      {"one capital", "K", true},
      {"one digit", "7", true},
      {"one hyphen", "-", true},
      {"one underscore", "_", true},
      {"mixed allowed characters", "device-key_01-AbZ", true},
      // Letter case is kept, not folded: both spellings pass (and name different items).
      {"capitals", "DEVICEKEY", true},
      {"mixed case", "DeviceKey", true},
      {"100 characters", hundred, true},
      {"101 characters", hundred + "a", false},
      {"200 characters", hundred + hundred, false},
      {"dot", "device.key", false},
      {"space inside", "device key", false},
      {"leading space", " device", false},
      {"trailing space", "device ", false},
      {"slash", "device/key", false},
      {"backslash", "device\\key", false},
      {"plus", "a+b", false},
      {"non-ASCII letter", "cl\xC3\xA9", false},
      {"CJK", "\xE5\xAF\x86\xE9\x92\xA5", false},
      {"full-width letter", "\xEF\xBC\xA1", false},
      {"tab at the end", "key\t", false},
      {"two line feeds", "key\n\n", false},
      {"100 characters and two line feeds", hundred + "\n\n", false},
      {"line feed in the middle", "ke\ny", false},
      {"line feed first", "\nkey", false},
      {"LF CR at the end", "key\n\r", false},
      {"CR CR LF at the end", "key\r\r\n", false},
      {"101 characters and a line feed", hundred + "a\n", false},
      {"lone continuation byte", "key\x80", false},
      {"truncated sequence", "key\xC2", false},
      {"truncated line separator", "key\xE2\x80", false},
      {"overlong line feed", "key\xC0\x8A", false},
      {"encoded surrogate", "key\xED\xA0\x80", false},
      {"bytes that are not UTF-8", "\xFF\xFE", false},
      {"NUL", std::string("key\0", 4), false},
  };
  for (const auto& [label, terminator] : terminators) {
    cases.push_back({std::string(label) + " after one character", "k" + terminator, true});
    cases.push_back({std::string(label) + " after 100 characters", hundred + terminator, true});
    cases.push_back({std::string(label) + " alone", terminator, false});
    cases.push_back({std::string(label) + " twice", "k" + terminator + terminator, false});
    cases.push_back({std::string(label) + " in the middle", "k" + terminator + "k", false});
  }
  return cases;
}

TEST(ItemNameRuleTest, AcceptsAndRefusesAsTheTableSays) {
  for (const Case& c : ruleCases()) {
    EXPECT_EQ(isValidItemName(c.name), c.valid) << c.label;
  }
}

TEST(ItemNameRuleTest, CheckDiesWithInvalidItemNameOnlyForRefusedNames) {
  for (const Case& c : ruleCases()) {
    fake::Outcome outcome = fake::runOperation([&] { checkItemName(c.name); });
    EXPECT_EQ(outcome.status, c.valid ? 0 : 1) << c.label;
    EXPECT_EQ(outcome.err, c.valid ? "" : "Invalid item name\n") << c.label;
    EXPECT_EQ(outcome.out, "") << c.label;
  }
}

// ICU's verdict on the name, as the platform would reach it: the argument's bytes decoded as
// UTF-8 with every ill-formed sequence replaced by U+FFFD, then searched with find().
class IcuRule {
 public:
  IcuRule() {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    pattern_.reset(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8("^[A-Za-z0-9_-]{1,100}$"), 0, parseError, status));
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
  }

  bool finds(const std::string& utf8) const {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(text, status));
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
    return matcher->find();
  }

  static bool isWellFormedUTF8(const std::string& utf8) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
    return status != U_INVALID_CHAR_FOUND && status != U_ILLEGAL_CHAR_FOUND;
  }

 private:
  std::unique_ptr<icu::RegexPattern> pattern_;
};

std::string encodeUTF8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Names near the rule's edges: runs of allowed characters around the length limit, with now and
// then a foreign piece somewhere and one or two terminators at the end.
class NameGenerator {
 public:
  explicit NameGenerator(unsigned seed) : random_(seed) {}

  std::string next() {
    std::string name;
    // Lengths at the limits come up far more often than a uniform pick would make them.
    static constexpr int edges[] = {0, 1, 2, 99, 100, 101, 102};
    const int length = chance(40) ? edges[pick(0, 6)] : pick(0, 102);
    for (int i = 0; i < length; ++i) name += allowed[pick(0, int(allowed.size()) - 1)];
    if (chance(30)) name.insert(pick(0, int(name.size())), foreignPiece());
    if (chance(40)) name += terminators[pick(0, int(terminators.size()) - 1)].second;
    if (chance(8)) name += terminators[pick(0, int(terminators.size()) - 1)].second;
    if (chance(5)) name.insert(0, terminators[pick(0, int(terminators.size()) - 1)].second);
    return name;
  }

 private:
  static constexpr std::string_view allowed =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

  std::string foreignPiece() {
    switch (pick(0, 4)) {
      case 0:  // printable ASCII, mostly not allowed
        return std::string(1, static_cast<char>(pick(0x20, 0x7E)));
      case 1:  // any code point outside the surrogates, well-formed
      {
        char32_t c = static_cast<char32_t>(pick(0x80, 0x10FFFF));
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        return encodeUTF8(c);
      }
      case 2:  // code points that look like terminators or letters
      {
        static constexpr char32_t lookalikes[] = {0x85,   0x2028, 0x2029, 0x1C,   0x1E,
                                                  0x2027, 0x202A, 0xFF21, 0x212A, 0x0130};
        return encodeUTF8(lookalikes[pick(0, 9)]);
      }
      case 3:  // a random byte, often ill-formed on its own
        return std::string(1, static_cast<char>(pick(0, 255)));
      default:  // a few random bytes
      {
        std::string bytes;
        for (int i = pick(1, 4); i > 0; --i) bytes += static_cast<char>(pick(0x80, 0xFF));
        return bytes;
      }
    }
  }

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool chance(int percent) { return pick(1, 100) <= percent; }

  std::mt19937 random_;
};

TEST(ItemNameRuleTest, AgreesWithIcuOnGeneratedNames) {
  const IcuRule icu;
  NameGenerator generator(20261210);
  int accepted = 0;
  int illFormed = 0;
  constexpr int count = 4000;
  for (int i = 0; i < count; ++i) {
    const std::string name = generator.next();
    const bool ours = isValidItemName(name);
    // Labelled by index and length only: the bytes themselves may not print sensibly.
    ASSERT_EQ(ours, icu.finds(name))
        << "generated name #" << i << " of " << name.size() << " bytes";
    if (!IcuRule::isWellFormedUTF8(name)) {
      ++illFormed;
      ASSERT_FALSE(ours) << "ill-formed UTF-8 accepted, name #" << i;
    }
    if (ours) ++accepted;
  }
  // The comparison means something only if both verdicts and broken input occur often.
  EXPECT_GT(accepted, count / 5);
  EXPECT_LT(accepted, count * 4 / 5);
  EXPECT_GT(illFormed, count / 50);
}

TEST(ItemNameRuleTest, AgreesWithIcuOnTheTable) {
  const IcuRule icu;
  for (const Case& c : ruleCases()) {
    EXPECT_EQ(icu.finds(c.name), c.valid) << c.label;
  }
}

}  // namespace
