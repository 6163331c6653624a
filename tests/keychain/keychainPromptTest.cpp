// What the real keychain shows through pinentry: texts that name the keychain and the item, a
// repeated entry for a new password, an error line before another try.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/keychain/KeychainTesting.h"
#include "platform/keychain/keychainPrompt.h"
#include "platform/pinentry/promptText.h"
#include "tests/keychain/RealKeychainFixture.h"
#include "tests/support/BrokenText.h"

namespace keychain_test {
namespace {

const SecureBytes secret{std::string_view("32 bytes of secret for a prompt!")};

using testing_support::containsUnbroken;

// Every line of a shown text fits a prompt window.
void expectLinesFit(const std::string& shown) {
  std::size_t start = 0;
  while (start <= shown.size()) {
    std::size_t end = std::min(shown.find('\n', start), shown.size());
    EXPECT_LE(pinentry::displayWidth(std::string_view(shown).substr(start, end - start)),
              pinentry::promptColumns)
        << shown;
    start = end + 1;
  }
}

unsigned modeOf(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(KeychainPromptTest, FirstAddAsksForANewPasswordTwiceAndMakesPrivateFolders) {
  KeychainHome home;
  home.answer({std::string("pin ") + password});
  ASSERT_EQ(addItem("device-1", secret, passwordAccess()), errSecSuccess);

  const auto& pinentry = home.pinentry();
  EXPECT_EQ(pinentry.texts("SETREPEAT").size(), 1u);
  ASSERT_EQ(pinentry.texts("SETDESC").size(), 1u);
  const std::string description = pinentry.texts("SETDESC")[0];
  EXPECT_TRUE(containsUnbroken(description, home.loginKeychain())) << description;
  EXPECT_TRUE(containsUnbroken(description, "“device-1”")) << description;
  EXPECT_EQ(pinentry.texts("SETTIMEOUT"), std::vector<std::string>{"120"});

  const std::string data = home.root() + "/home/data";
  EXPECT_EQ(modeOf(data + "/ferrowick"), 0700u);
  EXPECT_EQ(modeOf(data + "/ferrowick/keychains"), 0700u);
  EXPECT_EQ(modeOf(home.loginKeychain()), 0600u);
}

// pinentry-tty and -gtk2 confirm a repeated entry themselves; pinentry-curses takes SETREPEAT
// but asks once, so the keychain asks again and compares.
TEST(KeychainPromptTest, ANewKeychainIsMadeOnlyFromTwoMatchingEntriesWithEveryPinentry) {
  using Repeat = testing_support::ScriptedPinentry::Repeat;
  const std::string mismatch(keychain::mismatchText);
  struct Case {
    const char* label;
    Repeat flavour;
    std::vector<std::string> answers;
    std::vector<std::string> errors;  // SETERROR texts shown, in order
  };
  const Case cases[] = {
      {"confirms itself", Repeat::confirmsItself, {"pin chosen"}, {}},
      {"asks once, same entries", Repeat::asksOnce, {"pin chosen", "pin chosen"}, {}},
      {"asks once, different entries first",
       Repeat::asksOnce,
       {"pin first", "pin frist", "pin chosen", "pin chosen"},
       {mismatch}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    KeychainHome home;
    testing_support::ScriptedPinentry& pinentry = home.pinentry();
    pinentry.repeat(c.flavour);
    home.answer(c.answers);
    ASSERT_EQ(addItem("device-1", secret, passwordAccess()), errSecSuccess);
    EXPECT_EQ(pinentry.texts("SETERROR"), c.errors);
    EXPECT_EQ(pinentry.texts("GETPIN").size(), c.answers.size());

    // Only the matching entries became the password.
    for (const char* tried : {"first", "frist"}) {
      keychain::testing::forgetUnlockedKeychains();
      home.answer({std::string("pin ") + tried, "cancel"});
      SecureBytes data;
      EXPECT_NE(readData("device-1", data, nullptr), errSecSuccess) << tried;
    }
    keychain::testing::forgetUnlockedKeychains();
    home.answer({"pin chosen"});
    SecureBytes data;
    ASSERT_EQ(readData("device-1", data), errSecSuccess);
    EXPECT_TRUE(data == secret);
  }
}

TEST(KeychainPromptTest, ThreeMismatchesWithAPinentryThatAsksOnceCreateNothing) {
  KeychainHome home;
  home.pinentry().repeat(testing_support::ScriptedPinentry::Repeat::asksOnce);
  home.answer({"pin a", "pin b", "pin c", "pin d", "pin e", "pin f"});
  EXPECT_NE(addItem("device-1", secret, passwordAccess()), errSecSuccess);
  struct stat info;
  EXPECT_NE(stat(home.loginKeychain().c_str(), &info), 0);
  EXPECT_EQ(home.pinentry().runs(), 3);
}

TEST(KeychainPromptTest, EmptyNewPasswordIsAskedForAgain) {
  KeychainHome home;
  home.answer({"pin ", std::string("pin ") + password});
  ASSERT_EQ(addItem("device-1", secret, passwordAccess()), errSecSuccess);
  EXPECT_EQ(home.pinentry().texts("SETERROR"),
            std::vector<std::string>{std::string(keychain::emptyPasswordText)});
}

TEST(KeychainPromptTest, WrongPasswordIsSaidBeforeEachNextTry) {
  KeychainHome home;
  SecKeychainRef keychain = createKeychainAt(home.scratch("prompt.keychain-db"));
  ASSERT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecSuccess);
  home.answer({"pin wrong", "pin also wrong", std::string("pin ") + password});
  SecureBytes data;
  ASSERT_EQ(readData("device-1", data, keychain), errSecSuccess);
  EXPECT_TRUE(data == secret);
  const std::string wrong(keychain::wrongPasswordText);
  EXPECT_EQ(home.pinentry().texts("SETERROR"), (std::vector<std::string>{wrong, wrong}));
  EXPECT_EQ(home.pinentry().runs(), 3);
}

TEST(KeychainPromptTest, ReadPromptNamesTheItemAndShowsOddBytesEscaped) {
  KeychainHome home;
  SecKeychainRef keychain = createKeychainAt(home.scratch("prompt.keychain-db"));
  const std::string account = "line\nfeed 名字 \xFF";
  ASSERT_EQ(addItem(account, secret, passwordAccess(), keychain), errSecSuccess);
  home.answer({"cancel"});
  SecureBytes data;
  EXPECT_EQ(readData(account, data, keychain), errSecUserCanceled);
  ASSERT_EQ(home.pinentry().texts("SETDESC").size(), 1u);
  const std::string description = home.pinentry().texts("SETDESC")[0];
  EXPECT_TRUE(containsUnbroken(description, "“line\\x0Afeed 名字 \\xFF”")) << description;
  EXPECT_TRUE(containsUnbroken(description, home.scratch("prompt.keychain-db"))) << description;
}

// A long path and a long item name are broken into lines a pinentry-qt window can hold, and
// both are still there whole once the breaks are taken out.
TEST(KeychainPromptTest, LongPathsAndItemNamesAreBrokenToFitAWindow) {
  KeychainHome home;
  // As long as a path is shown whole, so none of it is cut away.
  const std::size_t room = 80 - home.scratch("").size() - std::string(".keychain-db").size();
  const std::string path = home.scratch(std::string(room, 'k') + ".keychain-db");
  SecKeychainRef keychain = createKeychainAt(path);
  std::string account;
  for (int i = 0; i < 10; ++i) account += "设备密钥-" + std::to_string(i);
  ASSERT_EQ(addItem(account, secret, passwordAccess(), keychain), errSecSuccess);
  ASSERT_EQ(addItem("short", secret, passwordAccess(), keychain), errSecSuccess);

  home.answer({"cancel"});
  SecureBytes data;
  EXPECT_EQ(readData(account, data, keychain), errSecUserCanceled);
  SecureBytes unused;
  keychain::PromptSubject subject{path, account};
  home.answer({"cancel", "deny"});
  EXPECT_EQ(keychain::askNewPassword(subject, "", unused), errSecUserCanceled);
  EXPECT_EQ(keychain::askConfirmation(subject), errSecAuthFailed);

  const std::vector<std::string> shown = home.pinentry().texts("SETDESC");
  ASSERT_EQ(shown.size(), 3u);
  for (const std::string& description : shown) {
    EXPECT_NE(description.find('\n'), std::string::npos) << description;
    expectLinesFit(description);
    EXPECT_TRUE(containsUnbroken(description, "“" + path + "”")) << description;
    EXPECT_TRUE(containsUnbroken(description, "“" + account + "”")) << description;
  }
}

// The care commands' own texts are broken the same way, and a text too long for pinentry's
// line is still cut visibly within it once the breaks (sent as %0A) are counted.
TEST(KeychainPromptTest, ABrokenTextTooLongForOneLineIsCutVisiblyWithinIt) {
  KeychainHome home;
  std::string text;
  for (int i = 0; i < 600; ++i) text += "密";
  keychain::PromptSubject subject{home.scratch("x.keychain-db"), "x", text};
  home.answer({"cancel"});
  SecureBytes unused;
  EXPECT_EQ(keychain::askKeychainPassword(subject, keychain::PasswordPurpose::read, "", unused),
            errSecUserCanceled);

  ASSERT_EQ(home.pinentry().texts("SETDESC").size(), 1u);
  const std::string shown = home.pinentry().texts("SETDESC")[0];
  const std::string mark = "…";
  ASSERT_GT(shown.size(), mark.size());
  ASSERT_EQ(shown.substr(shown.size() - mark.size()), mark);
  const std::string kept = shown.substr(0, shown.size() - mark.size());
  EXPECT_EQ(pinentry::breakLines(text).substr(0, kept.size()), kept);
  expectLinesFit(kept);
  std::size_t sent = std::string("SETDESC ").size() + mark.size();
  for (char c : kept) sent += c == '\n' ? 3 : 1;
  EXPECT_LE(sent, 1000u);
  EXPECT_GT(sent, 990u);  // cut only as far as needed
}

TEST(KeychainPromptTest, DisplayTextIsCutAtACharacterBoundary) {
  const std::string text = keychain::displayText(std::string(3, 'a') + "名字名字", 5);
  EXPECT_EQ(text, "aaa名字…");
  EXPECT_EQ(keychain::displayText("\xE0\x80\x80"), "\\xE0\\x80\\x80");  // overlong
  EXPECT_EQ(keychain::displayText("tab\tdel\x7F"), "tab\\x09del\\x7F");
}

// Everything that could hide, reorder or break the shown text is escaped byte by byte; ordinary
// text, non-Latin scripts and symbols next to the escaped ranges are shown as they are.
TEST(KeychainPromptTest, DisplayTextEscapesEveryControlAndEveryTextDirectionOrLineTrick) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"esc\x1B[2J", "esc\\x1B[2J"},
      {"del\x7F", "del\\x7F"},
      {"\xC2\x80", "\\xC2\\x80"},  // U+0080, first C1
      {"\xC2\x85", "\\xC2\\x85"},  // NEL
      {"\xC2\x9B"
       "31m",
       "\\xC2\\x9B31m"},                                               // CSI
      {"\xC2\x9F", "\\xC2\\x9F"},                                      // last C1
      {"\xC2\xA0", "\xC2\xA0"},                                        // no-break space: shown
      {"\xD8\x9C", "\\xD8\\x9C"},                                      // U+061C ALM
      {"\xE2\x80\x8E\xE2\x80\x8F", "\\xE2\\x80\\x8E\\xE2\\x80\\x8F"},  // LRM, RLM
      {"\xE2\x80\xA8", "\\xE2\\x80\\xA8"},                             // line separator
      {"\xE2\x80\xA9", "\\xE2\\x80\\xA9"},                             // paragraph separator
      {"\xE2\x80\xAA", "\\xE2\\x80\\xAA"},                             // LRE
      {"gpj.\xE2\x80\xAE"
       "exe",
       "gpj.\\xE2\\x80\\xAEexe"},                                      // RLO
      {"\xE2\x81\xA6\xE2\x81\xA9", "\\xE2\\x81\\xA6\\xE2\\x81\\xA9"},  // LRI, PDI
      {"\xE2\x80\xAF", "\xE2\x80\xAF"},                                // U+202F: shown
      {"\xEF\xBB\xBF"
       "bom",
       "\\xEF\\xBB\\xBFbom"},  // U+FEFF
      {"名字 ü €", "名字 ü €"},
  };
  for (const auto& [bytes, shown] : cases) {
    SCOPED_TRACE(shown);
    EXPECT_EQ(keychain::displayText(bytes), shown);
  }
}

}  // namespace
}  // namespace keychain_test
