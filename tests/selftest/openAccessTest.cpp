// The self-test can fail: the real keychain component, taken through the self-test's own steps
// with interaction switched off, releases an item whose decrypt entry trusts any application,
// and refuses the same item protected by the tool's access object.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Ferrowick/keystore/Security.h"
#include "Ferrowick/keystore/keyQuery.h"
#include "Ferrowick/keystore/protectedAccess.h"
#include "tests/support/RunBinary.h"

namespace {

using testing_support::TempDir;

// An access object whose decrypt entries are set with a null application list: anyone may
// read, without a prompt.
SecAccessRef openAccess(const std::string& label) {
  const SecTrustedApplicationList none;
  SecAccessRef access;
  if (SecAccessCreate(label, &none, &access) != errSecSuccess || !access) return nullptr;
  SecValue entries = SecAccessCopyMatchingACLList(access, kSecACLAuthorizationDecrypt);
  const auto* list = std::get_if<std::vector<SecACLRef>>(&entries);
  if (list == nullptr || list->empty()) return nullptr;
  for (const SecACLRef& entry : *list) {
    if (SecACLSetContents(entry, nullptr, label, 0) != errSecSuccess) return nullptr;
  }
  return access;
}

class OpenAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No pinentry anywhere: nothing here may depend on a prompt.
    setenv("PATH", folder.file("no-bin").c_str(), 1);
    const std::string password = "fixture-password-for-this-test-only";
    ASSERT_EQ(SecKeychainCreate(folder.file("fixture.keychain-db").c_str(),
                                static_cast<std::uint32_t>(password.size()), password.data(), false,
                                nullptr, &keychain),
              errSecSuccess);
    ASSERT_TRUE(keychain);
  }
  void TearDown() override {
    if (keychain) {
      EXPECT_EQ(SecKeychainDelete(keychain), errSecSuccess);
    }
  }

  OSStatus store(const std::string& name, SecAccessRef access) {
    SecDictionary attributes = ferrowick::keyQuery(name);
    attributes.set(kSecUseKeychain, keychain);
    attributes.set(kSecAttrAccess, std::move(access));
    attributes.set(kSecValueData, content);
    return SecItemAdd(attributes, nullptr);
  }

  // The self-test's probe read, with interaction off around it.
  OSStatus probe(const std::string& name, SecValue& result) {
    SecDictionary query = ferrowick::keyQuery(name);
    query.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
    query.set(kSecReturnData, true);
    SecKeychainSetUserInteractionAllowed(false);
    OSStatus status = SecItemCopyMatching(query, &result);
    SecKeychainSetUserInteractionAllowed(true);
    return status;
  }

  TempDir folder;
  SecKeychainRef keychain;
  const SecureBytes content{std::string(32, 'Z')};
};

TEST_F(OpenAccessTest, ItemWithoutTheConfirmationEntryIsReadUnattended) {
  SecAccessRef access = openAccess("Peldora test fixture");
  ASSERT_TRUE(access);
  ASSERT_EQ(store("fixture", access), errSecSuccess);
  SecValue result;
  EXPECT_EQ(probe("fixture", result), errSecSuccess);
  const auto* data = std::get_if<SecureBytes>(&result);
  ASSERT_NE(data, nullptr) << "the open item's data comes back, so the self-test would fail";
  EXPECT_TRUE(*data == content);
}

TEST_F(OpenAccessTest, SameItemWithTheToolsAccessIsRefused) {
  ASSERT_EQ(store("fixture", ferrowick::protectedAccess("Peldora test fixture")), errSecSuccess);
  SecValue result;
  const OSStatus status = probe("fixture", result);
  EXPECT_TRUE(status == errSecInteractionNotAllowed || status == errSecAuthFailed) << status;
  EXPECT_TRUE(std::holds_alternative<std::monostate>(result));
}

}  // namespace
