// The confirmation-protected access object, against the fake keychain services.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Ferrowick/keystore/protectedAccess.h"
#include "tests/fakes/AccessObjectFailures.h"
#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeSecurity.h"

namespace {

namespace security = fake::security;

bool authorisesDecryption(const security::AclEntry& entry) {
  for (const std::string& right : entry.authorizations) {
    if (right == "ACLAuthorizationDecrypt" || right == "ACLAuthorizationAny") return true;
  }
  return false;
}

class ProtectedAccessTest : public ::testing::Test {
 protected:
  void SetUp() override { security::reset(); }
  void TearDown() override { security::reset(); }

  // Builds the access object as a run would; null if the run ended.
  static SecAccessRef build(const std::string& label, fake::Outcome& outcome) {
    SecAccessRef access;
    outcome = fake::runOperation([&] { access = ferrowick::protectedAccess(label); });
    return access;
  }
};

TEST_F(ProtectedAccessTest, EveryDecryptingEntryRequiresConfirmation) {
  const std::string label = "Peldora · device-key";
  for (int entries : {1, 2, 3, 5}) {
    security::reset();
    security::state().failures.decryptEntries = entries;
    fake::Outcome outcome;
    SecAccessRef access = build(label, outcome);
    ASSERT_EQ(outcome.status, 0) << entries;
    EXPECT_EQ(outcome.err, "") << entries;
    ASSERT_TRUE(access) << entries;

    auto created = security::callsOf("SecAccessCreate");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].argument("descriptor"), label);
    EXPECT_EQ(created[0].argument("trustedList"), "[]");  // present and empty, never null
    auto lists = security::callsOf("SecAccessCopyMatchingACLList");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].argument("authorization"), "ACLAuthorizationDecrypt");

    auto rewrites = security::callsOf("SecACLSetContents");
    ASSERT_EQ(rewrites.size(), static_cast<std::size_t>(entries));
    for (const security::Call& rewrite : rewrites) {
      EXPECT_EQ(rewrite.argument("applications"), "[]");
      EXPECT_EQ(rewrite.argument("description"), label);
      EXPECT_EQ(rewrite.argument("selector"), "1");
    }

    // And the object handed back is the one that was rewritten.
    int decrypting = 0;
    for (const security::AclEntry& entry : security::aclEntries(access)) {
      if (!authorisesDecryption(entry)) continue;
      ++decrypting;
      ASSERT_TRUE(entry.applications.has_value());
      EXPECT_TRUE(entry.applications->empty());
      EXPECT_EQ(entry.description, label);
      EXPECT_EQ(entry.selector, kSecKeychainPromptRequirePassphase);
    }
    EXPECT_EQ(decrypting, entries);
  }
}

TEST_F(ProtectedAccessTest, AcceptsAnyLabel) {
  for (std::string label : {std::string(""), std::string("Peldora test fixture"),
                            "Peldora · " + std::string(100, 'x'), std::string("a\nb \xFF")}) {
    security::reset();
    fake::Outcome outcome;
    ASSERT_TRUE(build(label, outcome));
    EXPECT_EQ(security::callsOf("SecAccessCreate")[0].argument("descriptor"), label);
    EXPECT_EQ(security::callsOf("SecACLSetContents")[0].argument("description"), label);
  }
}

TEST_F(ProtectedAccessTest, FailuresEndTheRunWithTheirMessage) {
  for (const auto& c : security::accessObjectFailures()) {
    security::reset();
    c.arrange(security::state().failures);
    fake::Outcome outcome;
    build("Peldora · k", outcome);
    EXPECT_EQ(outcome.status, 1) << c.label;
    EXPECT_EQ(outcome.out, "") << c.label;
    EXPECT_EQ(outcome.err, c.message + "\n") << c.label;
    EXPECT_EQ(security::itemCount(), 0u) << c.label;
  }
}

TEST_F(ProtectedAccessTest, EachCallBuildsItsOwnObject) {
  fake::Outcome outcome;
  SecAccessRef first = build("one", outcome);
  SecAccessRef second = build("two", outcome);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  // Building the second changed nothing in the first.
  for (const auto& [access, label] : {std::pair{first, "one"}, std::pair{second, "two"}}) {
    int decrypting = 0;
    for (const security::AclEntry& entry : security::aclEntries(access)) {
      if (!authorisesDecryption(entry)) continue;
      ++decrypting;
      EXPECT_EQ(entry.description, label);
    }
    EXPECT_EQ(decrypting, 1) << label;
  }
}

}  // namespace
