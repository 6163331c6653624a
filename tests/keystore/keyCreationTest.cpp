// init-key and ensure-key through the front end, against the fake keychain services: what the
// keychain holds afterwards and what each outcome prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/fakes/AccessObjectFailures.h"
#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeSecurity.h"

namespace {

namespace security = fake::security;
using Arguments = std::vector<std::pair<std::string, std::string>>;

const std::string service = "org.quennet.peldora.v1";
const std::string hundred = std::string(60, 'K') + std::string(40, '7');

Arguments keyQuery(const std::string& name) {
  return {{"class", "genp"}, {"svce", service}, {"acct", name}};
}

Arguments lookupQuery(const std::string& name) {
  Arguments query = keyQuery(name);
  query.emplace_back("r_Attributes", "true");
  return query;
}

Arguments addQuery(const std::string& name) {
  Arguments query = keyQuery(name);
  query.emplace_back("acls", "<access>");
  query.emplace_back("v_Data", "<data:32>");
  return query;
}

SecureBytes bytes(std::size_t length, std::uint8_t first) {
  SecureBytes data(length);
  for (std::size_t i = 0; i < length; ++i) data.data()[i] = static_cast<std::uint8_t>(first + i);
  return data;
}

class KeyCreationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    security::reset();
    fake::events().clear();
  }
  void TearDown() override { security::reset(); }

  static fake::Outcome run(const std::string& operation, const std::string& name) {
    return fake::runFrontEnd({"Ferrowick", operation, name});
  }
};

const std::vector<std::string> bothOperations = {"init-key", "ensure-key"};

TEST_F(KeyCreationTest, InvalidNameAsksTheKeychainNothing) {
  for (const std::string& operation : bothOperations) {
    for (std::string name : {std::string(""), std::string("a.b"), std::string("a b"), hundred + "x",
                             std::string("k\n\n"), std::string("\xFF")}) {
      security::reset();
      fake::Outcome outcome = run(operation, name);
      EXPECT_EQ(outcome.status, 1) << operation;
      EXPECT_EQ(outcome.out, "") << operation;
      EXPECT_EQ(outcome.err, "Invalid item name\n") << operation;
      EXPECT_TRUE(security::state().calls.empty()) << operation << ": no call, no random bytes";
    }
  }
}

TEST_F(KeyCreationTest, CreatesA32ByteProtectedKeyUnderTheName) {
  struct Case {
    std::string operation;
    std::string name;
  };
  std::vector<Case> cases;
  for (const std::string& operation : bothOperations) {
    // A final line terminator passes the rule and is kept in the account.
    for (std::string name : {std::string("k"), std::string("device-key_1"), hundred,
                             std::string("key\n"), std::string("key\r\n")}) {
      cases.push_back({operation, name});
    }
  }
  for (const Case& c : cases) {
    security::reset();
    fake::Outcome outcome = run(c.operation, c.name);
    const std::string label = c.operation + " " + std::to_string(c.name.size());
    EXPECT_EQ(outcome.status, 0) << label;
    EXPECT_EQ(outcome.out, "created\n") << label;
    EXPECT_EQ(outcome.outWrites, 1) << label;
    EXPECT_EQ(outcome.err, "") << label;
    auto random = security::callsOf("SecRandomCopyBytes");
    ASSERT_EQ(random.size(), 1u);
    EXPECT_EQ(random[0].argument("rnd"), "kSecRandomDefault");
    EXPECT_EQ(random[0].argument("count"), "32");
    EXPECT_EQ(security::callsOf("SecAccessCreate")[0].argument("descriptor"),
              "Peldora \xC2\xB7 " + c.name)
        << label;
    auto adds = security::callsOf("SecItemAdd");
    ASSERT_EQ(adds.size(), 1u);
    EXPECT_EQ(adds[0].arguments, addQuery(c.name)) << label;
    EXPECT_FALSE(adds[0].resultGiven) << label;

    const security::Item* item = security::findItem(service, c.name);
    ASSERT_NE(item, nullptr) << label;
    EXPECT_EQ(item->data.size(), 32u);
    // Every entry that allows decrypting asks for confirmation, and there is one at least.
    int decryptEntries = 0;
    for (const security::AclEntry& entry : item->access) {
      for (const std::string& right : entry.authorizations) {
        if (right != "ACLAuthorizationDecrypt") continue;
        ++decryptEntries;
        EXPECT_TRUE(entry.applications && entry.applications->empty()) << label;
        EXPECT_EQ(entry.selector, 1) << label;
        EXPECT_EQ(entry.description, "Peldora · " + c.name) << label;
      }
    }
    EXPECT_GT(decryptEntries, 0) << label;
  }
}

TEST_F(KeyCreationTest, NamesThatDifferInCaseAreTwoKeys) {
  EXPECT_EQ(run("ensure-key", "DeviceKey").out, "created\n");
  EXPECT_EQ(run("ensure-key", "devicekey").out, "created\n");
  const security::Item* upper = security::findItem(service, "DeviceKey");
  const security::Item* lower = security::findItem(service, "devicekey");
  ASSERT_TRUE(upper && lower);
  EXPECT_FALSE(upper->data == lower->data);
}

TEST_F(KeyCreationTest, EnsureKeyOnAnExistingItemPrintsExistsAndTouchesNothing) {
  // Whatever the item holds and however it is protected: the lookup matches on the address.
  for (std::size_t length : {0u, 5u, 32u, 33u}) {
    for (bool locked : {false, true}) {
      security::reset();
      const SecureBytes stored = bytes(length, 0x10);
      security::putItem(service, "device-key", stored);
      if (locked) security::lockAll();
      fake::Outcome outcome = run("ensure-key", "device-key");
      EXPECT_EQ(outcome.status, 0) << length;
      EXPECT_EQ(outcome.out, "exists\n") << length;
      EXPECT_EQ(outcome.outWrites, 1);
      EXPECT_EQ(outcome.err, "") << length;
      // Only the lookup: no random bytes, no access object, no add, no prompt.
      auto calls = security::state().calls;
      ASSERT_EQ(calls.size(), 1u) << length;
      EXPECT_EQ(calls[0].operation, "SecItemCopyMatching");
      EXPECT_EQ(calls[0].arguments, lookupQuery("device-key"));
      EXPECT_FALSE(calls[0].resultGiven);
      EXPECT_TRUE(security::state().prompts.empty());
      EXPECT_TRUE(security::findItem(service, "device-key")->data == stored);
    }
  }
}

// Every way creating a key can fail: one line saying why, and nothing stored or shown.
TEST_F(KeyCreationTest, AFailureStoresNothingAndSaysWhy) {
  struct Case {
    std::string label;
    std::vector<std::string> operations;
    std::function<void(security::Failures&)> arrange;
    std::string message;
  };
  std::vector<Case> cases;
  for (OSStatus status : {errSecInteractionNotAllowed, errSecAuthFailed, errSecParam,
                          errSecUserCanceled, errSecInvalidKeychain, errSecDuplicateItem, 1}) {
    cases.push_back({"lookup " + std::to_string(status),
                     {"ensure-key"},
                     [status](auto& f) { f.copyMatching = status; },
                     "Keychain lookup failed"});
  }
  for (OSStatus status : {-1, 1, errSecParam}) {
    cases.push_back({"random " + std::to_string(status), bothOperations,
                     [status](auto& f) { f.randomCopyBytes = status; },
                     "Random generation failed"});
  }
  for (const auto& failure : security::accessObjectFailures()) {
    cases.push_back({std::string("access object: ") + failure.label, bothOperations,
                     failure.arrange, failure.message});
  }
  // The insert's status in signed decimal.
  const std::vector<std::pair<OSStatus, std::string>> inserts = {
      {errSecWrPerm, "-61"},
      {errSecParam, "-50"},
      {errSecUserCanceled, "-128"},
      {errSecInteractionNotAllowed, "-25308"},
      {errSecAuthFailed, "-25293"},
      {errSecIO, "-36"},
      {1, "1"},
      {25299, "25299"},
      {INT32_MAX, "2147483647"},
      {INT32_MIN, "-2147483648"},
  };
  for (const auto& [status, shown] : inserts) {
    cases.push_back({"insert " + shown, bothOperations,
                     [status = status](auto& f) { f.itemAdd = status; },
                     "Keychain insert failed: " + shown});
  }
  for (const Case& c : cases) {
    for (const std::string& operation : c.operations) {
      const std::string label = operation + ", " + c.label;
      security::reset();
      c.arrange(security::state().failures);
      fake::Outcome outcome = run(operation, "device-key");
      EXPECT_EQ(outcome.status, 1) << label;
      EXPECT_EQ(outcome.out, "") << label;
      EXPECT_EQ(outcome.err, c.message + "\n") << label;
      EXPECT_EQ(security::itemCount(), 0u) << label;
      EXPECT_TRUE(security::state().prompts.empty()) << label;
    }
  }
}

TEST_F(KeyCreationTest, InitKeyOnAnExistingItemRefusesTheOverwriteAndKeepsIt) {
  const SecureBytes first = bytes(32, 0xA0);
  security::putItem(service, "device-key", first);
  fake::Outcome outcome = run("init-key", "device-key");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Key already exists; refusing overwrite\n");
  EXPECT_TRUE(security::findItem(service, "device-key")->data == first);
}

TEST_F(KeyCreationTest, EnsureKeyThatLosesARaceRefusesTheOverwrite) {
  const SecureBytes theirs = bytes(32, 0x30);
  security::state().failures.beforeItemAdd = [&] {
    security::putItem(service, "device-key", theirs);
  };
  fake::Outcome outcome = run("ensure-key", "device-key");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Key already exists; refusing overwrite\n");
  EXPECT_TRUE(security::findItem(service, "device-key")->data == theirs);
}

}  // namespace
