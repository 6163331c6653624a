// The keychain contract: what the tool may rely on from Security.h, checked against the real
// keychain component and against the fake with the same source.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Ferrowick/keystore/Security.h"
#include "Ferrowick/keystore/keyQuery.h"
#include "tests/keychain/KeychainBackend.h"

// Each executable names the suite after its keychain, so their test names differ.
#ifndef KEYCHAIN_CONTRACT
#define KEYCHAIN_CONTRACT KeychainContract
#endif

namespace {

using contract::Answer;

// Items are addressed exactly as the tool addresses them.
using ferrowick::keyQuery;

// Every decrypt entry rewritten: `applications` null = anyone, empty = nobody.
SecAccessRef accessWith(const SecTrustedApplicationList* applications,
                        SecKeychainPromptSelector selector) {
  const SecTrustedApplicationList none;
  SecAccessRef access;
  EXPECT_EQ(SecAccessCreate("contract label", &none, &access), errSecSuccess);
  SecValue entries = SecAccessCopyMatchingACLList(access, kSecACLAuthorizationDecrypt);
  for (const SecACLRef& entry : std::get<std::vector<SecACLRef>>(entries)) {
    EXPECT_EQ(SecACLSetContents(entry, applications, "contract label", selector), errSecSuccess);
  }
  return access;
}

SecAccessRef passwordAccess() {
  const SecTrustedApplicationList none;
  return accessWith(&none, kSecKeychainPromptRequirePassphase);
}
SecAccessRef openAccess() {
  return accessWith(nullptr, 0);
}

OSStatus addItem(std::string_view account, const SecureBytes& data, const SecAccessRef& access,
                 const SecKeychainRef& keychain = nullptr) {
  SecDictionary add = keyQuery(account);
  if (keychain) add.set(kSecUseKeychain, keychain);
  add.set(kSecAttrAccess, access);
  add.set(kSecValueData, data);
  return SecItemAdd(add, nullptr);
}

OSStatus readData(std::string_view account, SecValue& result,
                  const SecKeychainRef& keychain = nullptr) {
  SecDictionary query = keyQuery(account);
  if (keychain) query.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
  query.set(kSecReturnData, true);
  query.set(kSecMatchLimit, SecConstant{kSecMatchLimitOne});
  return SecItemCopyMatching(query, &result);
}

OSStatus lookup(std::string_view account, const SecKeychainRef& keychain = nullptr) {
  SecDictionary query = keyQuery(account);
  if (keychain) query.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
  query.set(kSecReturnAttributes, true);
  return SecItemCopyMatching(query, nullptr);
}

bool holdsNothing(const SecValue& value) {
  return std::holds_alternative<std::monostate>(value);
}

bool holdsData(const SecValue& value, const SecureBytes& expected) {
  const auto* data = std::get_if<SecureBytes>(&value);
  return data != nullptr && *data == expected;
}

class KEYCHAIN_CONTRACT : public ::testing::Test {
 protected:
  void SetUp() override { contract::start(); }
  void TearDown() override { contract::finish(); }

  // A new keychain at a scratch path; unlocked in this process, asking nothing.
  SecKeychainRef createKeychain(const std::string& name = "test.keychain-db") {
    path = contract::scratchPath(name);
    const std::string password = contract::keychainPassword;
    SecKeychainRef keychain;
    EXPECT_EQ(SecKeychainCreate(path.c_str(), static_cast<std::uint32_t>(password.size()),
                                password.data(), false, nullptr, &keychain),
              errSecSuccess);
    EXPECT_TRUE(keychain);
    return keychain;
  }

  std::string path;
  const SecureBytes secret{std::string_view("0123456789abcdef0123456789abcdef")};
};

TEST_F(KEYCHAIN_CONTRACT, AddedItemIsFoundByAttributesWithoutPromptEvenWhenLocked) {
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecSuccess);
  EXPECT_EQ(lookup("device-1", keychain), errSecSuccess);

  contract::newProcess();
  SecDictionary query = keyQuery("device-1");
  query.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
  query.set(kSecReturnAttributes, true);
  SecValue result;
  ASSERT_EQ(SecItemCopyMatching(query, &result), errSecSuccess);
  const auto* attributes = std::get_if<std::shared_ptr<const SecDictionary>>(&result);
  ASSERT_TRUE(attributes && *attributes);
  const auto* account = (*attributes)->get<std::string>(kSecAttrAccount);
  ASSERT_NE(account, nullptr);
  EXPECT_EQ(*account, "device-1");
  EXPECT_EQ((*attributes)->find(kSecValueData), nullptr);
  EXPECT_EQ(contract::promptsShown(), 0);
}

TEST_F(KEYCHAIN_CONTRACT, DuplicateAddIsRefusedAndKeepsTheFirstSecret) {
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("device-1", secret, openAccess(), keychain), errSecSuccess);
  EXPECT_EQ(addItem("device-1", SecureBytes(std::string_view("other")), openAccess(), keychain),
            errSecDuplicateItem);
  SecValue result;
  ASSERT_EQ(readData("device-1", result, keychain), errSecSuccess);
  EXPECT_TRUE(holdsData(result, secret));
}

TEST_F(KEYCHAIN_CONTRACT, AccountsAreComparedAsBytes) {
  SecKeychainRef keychain = createKeychain();
  // Case, a final line feed and invalid UTF-8 all make different items.
  const std::vector<std::string> accounts = {"a", "A", "a\n", "a\r\n", "a\xFF", "", "a b"};
  for (const std::string& account : accounts) {
    EXPECT_EQ(
        addItem(account, SecureBytes(std::string_view(account + "!")), openAccess(), keychain),
        errSecSuccess)
        << "account #" << (&account - accounts.data());
  }
  for (const std::string& account : accounts) {
    SecValue result;
    ASSERT_EQ(readData(account, result, keychain), errSecSuccess);
    EXPECT_TRUE(holdsData(result, SecureBytes(std::string_view(account + "!"))))
        << "account #" << (&account - accounts.data());
  }
  EXPECT_EQ(lookup("a\n\n", keychain), errSecItemNotFound);
}

TEST_F(KEYCHAIN_CONTRACT, MissingItemIsNotFoundWithoutPrompt) {
  // No login keychain yet.
  EXPECT_EQ(lookup("device-1"), errSecItemNotFound);
  SecValue result;
  EXPECT_EQ(readData("device-1", result), errSecItemNotFound);
  EXPECT_TRUE(holdsNothing(result));

  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecSuccess);
  EXPECT_EQ(lookup("device-2", keychain), errSecItemNotFound);
  EXPECT_EQ(readData("device-2", result, keychain), errSecItemNotFound);
  EXPECT_TRUE(holdsNothing(result));
  EXPECT_EQ(contract::promptsShown(), 0);
}

TEST_F(KEYCHAIN_CONTRACT, ItemsOfOneKeychainAreNotSeenInAnother) {
  SecKeychainRef first = createKeychain("first.keychain-db");
  SecKeychainRef second = createKeychain("second.keychain-db");
  ASSERT_EQ(addItem("device-1", secret, openAccess(), first), errSecSuccess);
  EXPECT_EQ(lookup("device-1", second), errSecItemNotFound);
  EXPECT_EQ(lookup("device-1"), errSecItemNotFound);  // nor in the login keychain
}

TEST_F(KEYCHAIN_CONTRACT, ConfirmationReadAsksForTheKeychainPassword) {
  struct Case {
    const char* name;
    std::vector<Answer> answers;
    OSStatus status;
    int prompts;
  };
  const std::vector<Case> cases = {
      {"right password", {Answer::rightPassword}, errSecSuccess, 1},
      {"wrong, then right", {Answer::wrongPassword, Answer::rightPassword}, errSecSuccess, 2},
      {"wrong three times",
       {Answer::wrongPassword, Answer::wrongPassword, Answer::wrongPassword, Answer::rightPassword},
       errSecAuthFailed,
       3},
      {"cancel", {Answer::cancel}, errSecUserCanceled, 1},
      {"no prompt possible", {Answer::noPrompt}, errSecInteractionNotAllowed, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    contract::finish();
    contract::start();
    SecKeychainRef keychain = createKeychain();
    ASSERT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecSuccess);
    contract::answer(c.answers);
    SecValue result;
    EXPECT_EQ(readData("device-1", result, keychain), c.status);
    EXPECT_EQ(contract::promptsShown(), c.prompts);
    if (c.status == errSecSuccess) {
      EXPECT_TRUE(holdsData(result, secret));
    } else {
      EXPECT_TRUE(holdsNothing(result));
    }
  }
}

TEST_F(KEYCHAIN_CONTRACT, ConfirmationReadAsksEveryTimeEvenWhenUnlocked) {
  SecKeychainRef keychain = createKeychain();  // unlocked
  ASSERT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecSuccess);
  contract::answer({Answer::rightPassword, Answer::rightPassword});
  for (int read = 1; read <= 2; ++read) {
    SecValue result;
    EXPECT_EQ(readData("device-1", result, keychain), errSecSuccess);
    EXPECT_TRUE(holdsData(result, secret));
    EXPECT_EQ(contract::promptsShown(), read);
  }
}

TEST_F(KEYCHAIN_CONTRACT, DisallowedInteractionRefusesProtectedReadsWithoutPromptOrData) {
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("confirmed", secret, passwordAccess(), keychain), errSecSuccess);
  ASSERT_EQ(addItem("open", secret, openAccess(), keychain), errSecSuccess);
  contract::answer({Answer::rightPassword});

  SecKeychainSetUserInteractionAllowed(false);
  SecValue result;
  EXPECT_EQ(readData("confirmed", result, keychain), errSecInteractionNotAllowed);
  EXPECT_TRUE(holdsNothing(result));
  // An open item of a locked keychain still needs the unlock prompt.
  contract::newProcess();
  EXPECT_EQ(readData("open", result, keychain), errSecInteractionNotAllowed);
  EXPECT_TRUE(holdsNothing(result));
  // Attribute lookups are unaffected.
  EXPECT_EQ(lookup("confirmed", keychain), errSecSuccess);
  SecKeychainSetUserInteractionAllowed(true);
  EXPECT_EQ(contract::promptsShown(), 0);
}

TEST_F(KEYCHAIN_CONTRACT, OpenItemOfUnlockedKeychainIsReadWithoutPrompt) {
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("device-1", secret, openAccess(), keychain), errSecSuccess);
  SecValue result;
  ASSERT_EQ(readData("device-1", result, keychain), errSecSuccess);
  EXPECT_TRUE(holdsData(result, secret));
  EXPECT_EQ(contract::promptsShown(), 0);
}

TEST_F(KEYCHAIN_CONTRACT, OpenItemOfLockedKeychainAsksForTheUnlockOnce) {
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("device-1", secret, openAccess(), keychain), errSecSuccess);
  contract::newProcess();
  contract::answer({Answer::rightPassword});
  for (int read = 0; read < 2; ++read) {
    SecValue result;
    ASSERT_EQ(readData("device-1", result, keychain), errSecSuccess);
    EXPECT_TRUE(holdsData(result, secret));
  }
  EXPECT_EQ(contract::promptsShown(), 1);
}

TEST_F(KEYCHAIN_CONTRACT, NobodyTrustedWithoutPasswordSelectorAsksForConfirmation) {
  const SecTrustedApplicationList none;
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("device-1", secret, accessWith(&none, 0), keychain), errSecSuccess);
  contract::answer({Answer::allow, Answer::deny});
  SecValue result;
  EXPECT_EQ(readData("device-1", result, keychain), errSecSuccess);
  EXPECT_TRUE(holdsData(result, secret));
  SecValue refused;
  EXPECT_EQ(readData("device-1", refused, keychain), errSecAuthFailed);
  EXPECT_TRUE(holdsNothing(refused));
  EXPECT_EQ(contract::promptsShown(), 2);
}

TEST_F(KEYCHAIN_CONTRACT, FirstAddCreatesTheLoginKeychainWithANewPassword) {
  contract::answer({Answer::rightPassword});
  ASSERT_EQ(addItem("device-1", secret, passwordAccess()), errSecSuccess);
  EXPECT_EQ(contract::promptsShown(), 1);
  EXPECT_EQ(lookup("device-1"), errSecSuccess);

  // A later run: a doomed add asks nothing, a new one asks for the password once.
  contract::newProcess();
  EXPECT_EQ(addItem("device-1", secret, passwordAccess()), errSecDuplicateItem);
  EXPECT_EQ(contract::promptsShown(), 1);
  contract::answer({Answer::rightPassword, Answer::rightPassword});
  EXPECT_EQ(addItem("device-2", secret, passwordAccess()), errSecSuccess);
  EXPECT_EQ(contract::promptsShown(), 2);
  SecValue result;
  EXPECT_EQ(readData("device-1", result), errSecSuccess);
  EXPECT_TRUE(holdsData(result, secret));
  EXPECT_EQ(contract::promptsShown(), 3);
}

TEST_F(KEYCHAIN_CONTRACT, FirstAddThatCannotAskCreatesNothing) {
  struct Case {
    const char* name;
    bool interaction;
    std::vector<Answer> answers;
    OSStatus status;
  };
  const std::vector<Case> cases = {
      {"cancelled", true, {Answer::cancel}, errSecUserCanceled},
      {"no prompt possible", true, {Answer::noPrompt}, errSecInteractionNotAllowed},
      {"interaction disallowed", false, {Answer::rightPassword}, errSecInteractionNotAllowed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    contract::finish();
    contract::start();
    contract::answer(c.answers);
    SecKeychainSetUserInteractionAllowed(c.interaction);
    EXPECT_EQ(addItem("device-1", secret, passwordAccess()), c.status);
    SecKeychainSetUserInteractionAllowed(true);
    EXPECT_EQ(lookup("device-1"), errSecItemNotFound);
  }
}

TEST_F(KEYCHAIN_CONTRACT, AddToLockedKeychainChecksForDuplicatesBeforeAsking) {
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecSuccess);
  contract::newProcess();
  EXPECT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecDuplicateItem);
  EXPECT_EQ(contract::promptsShown(), 0);

  contract::answer({Answer::wrongPassword, Answer::wrongPassword, Answer::wrongPassword});
  EXPECT_EQ(addItem("device-2", secret, passwordAccess(), keychain), errSecAuthFailed);
  EXPECT_EQ(contract::promptsShown(), 3);
  EXPECT_EQ(lookup("device-2", keychain), errSecItemNotFound);

  contract::answer({Answer::rightPassword});
  EXPECT_EQ(addItem("device-2", secret, passwordAccess(), keychain), errSecSuccess);
  EXPECT_EQ(contract::promptsShown(), 4);
}

TEST_F(KEYCHAIN_CONTRACT, KeychainAtAPathIsCreatedOnceAndDeletedOnce) {
  SecKeychainRef keychain = createKeychain();
  EXPECT_TRUE(contract::keychainFileExists(path));

  const std::string password = contract::keychainPassword;
  SecKeychainRef again;
  EXPECT_EQ(SecKeychainCreate(path.c_str(), static_cast<std::uint32_t>(password.size()),
                              password.data(), false, nullptr, &again),
            errSecDuplicateKeychain);
  EXPECT_FALSE(again);

  ASSERT_EQ(addItem("device-1", secret, passwordAccess(), keychain), errSecSuccess);
  EXPECT_EQ(SecKeychainDelete(keychain), errSecSuccess);
  EXPECT_FALSE(contract::keychainFileExists(path));
  EXPECT_EQ(SecKeychainDelete(keychain), errSecNoSuchKeychain);
  EXPECT_EQ(addItem("device-2", secret, passwordAccess(), keychain), errSecNoSuchKeychain);
  EXPECT_EQ(lookup("device-1", keychain), errSecNoSuchKeychain);
}

TEST_F(KEYCHAIN_CONTRACT, MalformedRequestsAreRefused) {
  SecKeychainRef keychain = createKeychain();
  auto add = [&](auto change) {
    SecDictionary request = keyQuery("device-1");
    request.set(kSecUseKeychain, keychain);
    request.set(kSecAttrAccess, openAccess());
    request.set(kSecValueData, secret);
    change(request);
    return SecItemAdd(request, nullptr);
  };
  auto find = [&](auto change) {
    SecDictionary request = keyQuery("device-1");
    request.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
    request.set(kSecReturnData, true);
    change(request);
    SecValue result;
    OSStatus status = SecItemCopyMatching(request, &result);
    EXPECT_TRUE(holdsNothing(result));
    return status;
  };
  struct Case {
    const char* name;
    OSStatus status;
  };
  const std::vector<Case> cases = {
      {"add: class is a string",
       add([](SecDictionary& r) { r.set(kSecClass, std::string("genp")); })},
      {"add: other class", add([](SecDictionary& r) { r.set(kSecClass, SecConstant{"keys"}); })},
      {"add: account as data",
       add([](SecDictionary& r) { r.set(kSecAttrAccount, SecureBytes(std::string_view("a"))); })},
      {"add: no data", add([](SecDictionary& r) { r.set(kSecValueData, std::monostate{}); })},
      {"add: null access", add([](SecDictionary& r) { r.set(kSecAttrAccess, SecAccessRef()); })},
      {"add: unknown key", add([](SecDictionary& r) { r.set("labl", std::string("x")); })},
      {"find: no service",
       find([](SecDictionary& r) { r.set(kSecAttrService, std::monostate{}); })},
      {"find: limit all",
       find([](SecDictionary& r) { r.set(kSecMatchLimit, SecConstant{"m_LimitAll"}); })},
      {"find: empty search list",
       find([](SecDictionary& r) { r.set(kSecMatchSearchList, std::vector<SecKeychainRef>{}); })},
      {"find: return data not a boolean",
       find([](SecDictionary& r) { r.set(kSecReturnData, std::string("yes")); })},
  };
  for (const Case& c : cases) EXPECT_EQ(c.status, errSecParam) << c.name;

  SecDictionary withResult = keyQuery("device-1");
  withResult.set(kSecUseKeychain, keychain);
  withResult.set(kSecValueData, secret);
  SecValue result;
  EXPECT_EQ(SecItemAdd(withResult, &result), errSecParam);
  EXPECT_EQ(lookup("device-1", keychain), errSecItemNotFound);
}

TEST_F(KEYCHAIN_CONTRACT, AccessObjectHasOneDecryptEntryThatCanBeRewritten) {
  const SecTrustedApplicationList none;
  SecAccessRef access;
  ASSERT_EQ(SecAccessCreate("label", &none, &access), errSecSuccess);
  ASSERT_TRUE(access);
  SecValue entries = SecAccessCopyMatchingACLList(access, kSecACLAuthorizationDecrypt);
  const auto* list = std::get_if<std::vector<SecACLRef>>(&entries);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 1u);
  // The rewrite changes the access object itself: as created, nobody is trusted and a read
  // asks for confirmation; rewritten to trust anyone, the item it guards reads without one.
  EXPECT_EQ(SecACLSetContents(list->front(), nullptr, "label", 0), errSecSuccess);
  SecKeychainRef keychain = createKeychain();
  ASSERT_EQ(addItem("rewritten", secret, access, keychain), errSecSuccess);
  SecAccessRef untouched;
  ASSERT_EQ(SecAccessCreate("label", &none, &untouched), errSecSuccess);
  ASSERT_EQ(addItem("as created", secret, untouched, keychain), errSecSuccess);
  contract::answer({Answer::deny});
  SecValue result;
  EXPECT_EQ(readData("rewritten", result, keychain), errSecSuccess);
  EXPECT_TRUE(holdsData(result, secret));
  EXPECT_EQ(contract::promptsShown(), 0);
  SecValue refused;
  EXPECT_EQ(readData("as created", refused, keychain), errSecAuthFailed);
  EXPECT_TRUE(holdsNothing(refused));
  EXPECT_EQ(contract::promptsShown(), 1);
  EXPECT_TRUE(holdsNothing(SecAccessCopyMatchingACLList(nullptr, kSecACLAuthorizationDecrypt)));
}

TEST_F(KEYCHAIN_CONTRACT, RandomBytesFillTheBuffer) {
  std::vector<std::uint8_t> first(32, 0), second(32, 0);
  ASSERT_EQ(SecRandomCopyBytes(kSecRandomDefault, first.size(), first.data()), errSecSuccess);
  ASSERT_EQ(SecRandomCopyBytes(kSecRandomDefault, second.size(), second.data()), errSecSuccess);
  EXPECT_FALSE(first == second);
  EXPECT_FALSE(first == std::vector<std::uint8_t>(32, 0));
}

}  // namespace
