// read-key through the front end: the owner's approval first, then one read whose result is
// released only as exactly 32 bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeLocalAuthentication.h"
#include "tests/fakes/FakeSecurity.h"

namespace {

namespace security = fake::security;
namespace localauth = fake::localauth;
using Arguments = std::vector<std::pair<std::string, std::string>>;

const std::string service = "org.quennet.peldora.v1";
const std::string reasonPrefix = "Peldora 需要使用设备密钥：";
const std::string denied = "Keychain read denied or unavailable\n";

Arguments readQuery(const std::string& name) {
  return {{"class", "genp"},
          {"svce", service},
          {"acct", name},
          {"r_Data", "true"},
          {"m_Limit", "m_LimitOne"}};
}

// A key whose bytes include a NUL and a line feed, which must pass unchanged.
SecureBytes awkwardKey() {
  SecureBytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(i * 7);
  key.data()[3] = 0x00;
  key.data()[4] = 0x0A;
  key.data()[31] = 0x0A;
  return key;
}

// The reason the owner was shown, or "<none>".
std::string shownReason() {
  const auto& shown = localauth::state().shown;
  return shown.empty() ? "<none>" : shown.front().reason;
}

class KeyReadTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    localauth::reset();  // clears the shared event log too
    security::reset();
  }
  static fake::Outcome read(const std::string& name) {
    return fake::runFrontEnd({"Ferrowick", "read-key", name});
  }
};

TEST_F(KeyReadTest, WritesTheStoredBytesInOneWriteAndNothingElse) {
  const SecureBytes key = awkwardKey();
  security::putItem(service, "device-key", key);
  fake::Outcome outcome = read("device-key");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.outWrites, 1);
  EXPECT_EQ(outcome.out.size(), 32u);
  EXPECT_TRUE(outcome.out == key.view());
  EXPECT_EQ(outcome.err, "");
}

TEST_F(KeyReadTest, AsksApprovalFirstThenReadsWithTheFiveEntryQuery) {
  security::putItem(service, "device-key", awkwardKey());
  read("device-key");
  const auto& events = fake::events();
  auto evaluated =
      std::find(events.begin(), events.end(), "evaluatePolicy:2:" + reasonPrefix + "device-key");
  auto queried = std::find(events.begin(), events.end(), "SecItemCopyMatching");
  ASSERT_NE(evaluated, events.end());
  ASSERT_NE(queried, events.end());
  EXPECT_LT(evaluated, queried);

  auto calls = security::state().calls;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "SecItemCopyMatching");
  EXPECT_EQ(calls[0].arguments, readQuery("device-key"));
  EXPECT_TRUE(calls[0].resultGiven);
}

TEST_F(KeyReadTest, ReasonIsThePrefixAndTheNameUnchanged) {
  // No item-name rule here: whatever the operand is reaches approval and the query as it is.
  for (std::string name :
       {std::string("device-key"), std::string(""), std::string("a b"), std::string(101, 'n'),
        std::string("k\n\n"), std::string("密钥"), std::string("\xFF\xFE")}) {
    reset();
    fake::Outcome outcome = read(name);
    EXPECT_EQ(shownReason(), reasonPrefix + name);
    EXPECT_NE(outcome.err, "Invalid item name\n");
    // Nothing is stored under these names, so the read finds nothing.
    EXPECT_EQ(outcome.err, denied);
    auto reads = security::callsOf("SecItemCopyMatching");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].arguments, readQuery(name));
  }
}

// Every way a read fails: one line on stderr, no byte on stdout, status 1. Without the owner's
// approval the keychain is not even asked, though the key is there.
TEST_F(KeyReadTest, EveryFailureWritesNoKeyByteAndOneLine) {
  struct Case {
    const char* label;
    std::function<void()> arrange;
    std::string message;
    bool keychainAsked;
  };
  const auto keyStored = [] { security::putItem(service, "device-key", awkwardKey()); };
  const std::string unavailable = "Local user authentication unavailable\n";
  const std::string notApproved = "User approval denied or expired\n";
  const std::vector<Case> cases = {
      {"approval unavailable",
       [&] {
         keyStored();
         localauth::state().canEvaluate = false;
       },
       unavailable, false},
      {"approval refused",
       [&] {
         keyStored();
         localauth::state().verdict = false;
       },
       notApproved, false},
      {"no approval in time",
       [&] {
         keyStored();
         localauth::state().timing = localauth::ReplyTiming::never;
       },
       notApproved, false},
      {"no such item", [] {}, denied, true},
      {"item in another service",
       [] { security::putItem("org.quennet.peldora.v2", "device-key", awkwardKey()); }, denied,
       true},
      {"read refused", [] { security::state().failures.copyMatching = errSecAuthFailed; }, denied,
       true},
      {"interaction not allowed",
       [] { security::state().failures.copyMatching = errSecInteractionNotAllowed; }, denied, true},
      {"user cancelled", [] { security::state().failures.copyMatching = errSecUserCanceled; },
       denied, true},
      {"positive status", [] { security::state().failures.copyMatching = 1; }, denied, true},
      {"status 0 and no result", [] { security::state().failures.copyMatching = 0; }, denied, true},
      {"a result that is not data", [] { security::state().failures.copyMatchingNonData = true; },
       denied, true},
      {"no bytes", [] { security::state().failures.copyMatchingDataLength = 0; }, denied, true},
      {"31 bytes", [] { security::state().failures.copyMatchingDataLength = 31; }, denied, true},
      {"33 bytes", [] { security::state().failures.copyMatchingDataLength = 33; }, denied, true},
      {"31 bytes stored", [] { security::putItem(service, "device-key", SecureBytes(31)); }, denied,
       true},
      {"33 bytes stored", [] { security::putItem(service, "device-key", SecureBytes(33)); }, denied,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    c.arrange();
    fake::Outcome outcome = read("device-key");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(outcome.out.empty()) << outcome.out.size() << " bytes on stdout";
    EXPECT_EQ(outcome.err, c.message);
    EXPECT_EQ(!security::callsOf("SecItemCopyMatching").empty(), c.keychainAsked);
    if (!c.keychainAsked) {
      EXPECT_TRUE(security::state().calls.empty());
    }
  }
}

TEST_F(KeyReadTest, ProtectedKeyIsReleasedOnlyWhenTheKeychainPromptIsAnswered) {
  ASSERT_EQ(fake::runFrontEnd({"Ferrowick", "ensure-key", "device-key"}).out, "created\n");
  const SecureBytes stored = security::findItem(service, "device-key")->data;
  struct Case {
    const char* label;
    std::vector<security::UserAnswer> answers;
    bool released;
  };
  using security::UserAnswer;
  const std::vector<Case> cases = {
      {"right password", {UserAnswer::rightPassword}, true},
      {"wrong, then right", {UserAnswer::wrongPassword, UserAnswer::rightPassword}, true},
      {"cancelled", {UserAnswer::cancel}, false},
      {"wrong three times",
       {UserAnswer::wrongPassword, UserAnswer::wrongPassword, UserAnswer::wrongPassword},
       false},
      {"no way to prompt", {UserAnswer::noPrompt}, false},
  };
  for (const Case& c : cases) {
    localauth::reset();
    security::state().calls.clear();
    security::state().prompts.clear();
    security::state().answers.assign(c.answers.begin(), c.answers.end());
    fake::Outcome outcome = read("device-key");
    EXPECT_FALSE(security::state().prompts.empty()) << c.label << ": the keychain must ask";
    if (c.released) {
      EXPECT_EQ(outcome.status, 0) << c.label;
      EXPECT_TRUE(outcome.out == stored.view()) << c.label;
    } else {
      EXPECT_EQ(outcome.status, 1) << c.label;
      EXPECT_TRUE(outcome.out.empty())
          << c.label << ": " << outcome.out.size() << " bytes on stdout";
      EXPECT_EQ(outcome.err, denied) << c.label;
    }
  }
}

}  // namespace
