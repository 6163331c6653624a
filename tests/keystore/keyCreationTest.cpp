// init-key and ensure-key through the front end, against the fake keychain services: what is
// asked of the keychain, in which order, and what each outcome prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeSecurity.h"

namespace {

using ::testing::ElementsAreArray;
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

const std::vector<std::string> creationCalls = {"SecRandomCopyBytes", "SecAccessCreate",
                                                "SecAccessCopyMatchingACLList", "SecACLSetContents",
                                                "SecItemAdd"};

std::vector<std::string> withLookup(std::vector<std::string> calls) {
  calls.insert(calls.begin(), "SecItemCopyMatching");
  return calls;
}

std::vector<std::string> operations() {
  std::vector<std::string> names;
  for (const security::Call& call : security::state().calls) names.push_back(call.operation);
  return names;
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
    EXPECT_THAT(
        operations(),
        ElementsAreArray(c.operation == "ensure-key" ? withLookup(creationCalls) : creationCalls))
        << label;

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
    bool confirmed = false;
    for (const security::AclEntry& entry : item->access) {
      for (const std::string& right : entry.authorizations) {
        if (right != "ACLAuthorizationDecrypt") continue;
        confirmed = entry.applications && entry.applications->empty() && entry.selector == 1 &&
                    entry.description == "Peldora · " + c.name;
      }
    }
    EXPECT_TRUE(confirmed) << label;
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

TEST_F(KeyCreationTest, LookupFailureOtherThanNotFoundEndsTheRun) {
  for (OSStatus status : {errSecInteractionNotAllowed, errSecAuthFailed, errSecParam,
                          errSecUserCanceled, errSecInvalidKeychain, errSecDuplicateItem, 1}) {
    security::reset();
    security::state().failures.copyMatching = status;
    fake::Outcome outcome = run("ensure-key", "device-key");
    EXPECT_EQ(outcome.status, 1) << status;
    EXPECT_EQ(outcome.out, "") << status;
    EXPECT_EQ(outcome.err, "Keychain lookup failed\n") << status;
    EXPECT_THAT(operations(), ElementsAreArray({"SecItemCopyMatching"})) << status;
  }
}

TEST_F(KeyCreationTest, RandomFailureStoresNothingAndBuildsNoAccess) {
  for (const std::string& operation : bothOperations) {
    for (OSStatus status : {-1, 1, errSecParam}) {
      security::reset();
      security::state().failures.randomCopyBytes = status;
      fake::Outcome outcome = run(operation, "device-key");
      EXPECT_EQ(outcome.status, 1) << operation << status;
      EXPECT_EQ(outcome.out, "");
      EXPECT_EQ(outcome.err, "Random generation failed\n") << operation << status;
      EXPECT_TRUE(security::callsOf("SecAccessCreate").empty());
      EXPECT_TRUE(security::callsOf("SecItemAdd").empty());
      EXPECT_EQ(security::itemCount(), 0u);
    }
  }
}

TEST_F(KeyCreationTest, AccessFailureStoresNothing) {
  struct Case {
    std::function<void(security::Failures&)> arrange;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](auto& f) { f.accessCreate = errSecParam; }, "Cannot create Keychain access policy"},
      {[](auto& f) { f.decryptEntries = 0; }, "Missing decryption ACL"},
      {[](auto& f) { f.setContentsFailsOnCall = 1; }, "Cannot require Keychain confirmation"},
  };
  for (const std::string& operation : bothOperations) {
    for (const Case& c : cases) {
      security::reset();
      c.arrange(security::state().failures);
      fake::Outcome outcome = run(operation, "device-key");
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.out, "");
      EXPECT_EQ(outcome.err, c.message + "\n") << operation;
      EXPECT_TRUE(security::callsOf("SecItemAdd").empty()) << operation;
      EXPECT_EQ(security::itemCount(), 0u);
    }
  }
}

TEST_F(KeyCreationTest, InitKeyOnAnExistingItemBuildsAKeyThenRefusesTheOverwrite) {
  const SecureBytes first = bytes(32, 0xA0);
  security::putItem(service, "device-key", first);
  fake::Outcome outcome = run("init-key", "device-key");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Key already exists; refusing overwrite\n");
  // It never looks first: the duplicate is found by the add alone.
  EXPECT_THAT(operations(), ElementsAreArray(creationCalls));
  EXPECT_EQ(security::callsOf("SecItemAdd")[0].status, errSecDuplicateItem);
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

TEST_F(KeyCreationTest, OtherInsertFailuresShowTheStatusInSignedDecimal) {
  struct Case {
    OSStatus status;
    std::string shown;
  };
  const std::vector<Case> cases = {
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
  for (const std::string& operation : bothOperations) {
    for (const Case& c : cases) {
      security::reset();
      security::state().failures.itemAdd = c.status;
      fake::Outcome outcome = run(operation, "device-key");
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.out, "");
      EXPECT_EQ(outcome.err, "Keychain insert failed: " + c.shown + "\n") << operation;
      EXPECT_EQ(security::itemCount(), 0u);
    }
  }
}

}  // namespace
