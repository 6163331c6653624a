// Adding and finding items. Rules this file keeps:
// - an attribute lookup is one indexed SELECT: no unlock, no prompt, no KDF;
// - an add checks for a duplicate before it asks anything, and the UNIQUE constraint still
//   decides a race;
// - no transaction is open across a prompt or the KDF;
// - a result is set only on success.
#include <ctime>
#include <memory>
#include <optional>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/accessObject.h"
#include "platform/keychain/keychainCreation.h"
#include "platform/keychain/keychainHandle.h"
#include "platform/keychain/keychainPaths.h"
#include "platform/keychain/keychainUnlock.h"

using namespace keychain;

namespace {

struct Address {
  std::string itemClass;
  std::string service;
  std::string account;
  ItemKey key() const { return {itemClass, service, account}; }
};

bool onlyKeys(const SecDictionary& request, std::initializer_list<CFStringRef> known) {
  for (const auto& entry : request) {
    bool listed = false;
    for (CFStringRef key : known) listed = listed || entry.first == key;
    if (!listed) return false;
  }
  return true;
}

// A present key must hold the right type.
template <class T>
bool absentOrTyped(const SecDictionary& request, CFStringRef key) {
  return request.find(key) == nullptr || request.get<T>(key) != nullptr;
}

OSStatus addressOf(const SecDictionary& request, Address& address) {
  const auto* itemClass = request.get<SecConstant>(kSecClass);
  const auto* service = request.get<std::string>(kSecAttrService);
  const auto* account = request.get<std::string>(kSecAttrAccount);
  if (itemClass == nullptr || itemClass->value != kSecClassGenericPassword || service == nullptr ||
      account == nullptr) {
    return errSecParam;
  }
  address = {std::string(itemClass->value), *service, *account};
  return errSecSuccess;
}

// The first add of a user's first run: ask for a new password and create the file. When another
// process created it meanwhile, theirs is used (the typed password is tried on it first).
OSStatus createLoginKeychain(const std::string& path, const Address& address,
                             OpenKeychain& keychain) {
  // Held from here on: the folders may be swapped while the prompt is open.
  Descriptor folder;
  OSStatus status = holdLoginFolder(path, true, folder);
  if (status != errSecSuccess) return status;
  const std::string name = path.substr(path.rfind('/') + 1);
  SecureBytes password;
  status = askNewKeychainPassword({path, address.account}, password);
  if (status != errSecSuccess) return status;
  KeychainRecord contents;
  SecureBytes key;
  status = makeNewKeychain(password, contents, key);
  if (status != errSecSuccess) return status;
  status = createKeychainFileIn(folder.get(), name, contents);
  if (status == errSecSuccess) rememberKey(contents.uuid, key);
  if (status != errSecSuccess && status != errSecDuplicateKeychain) return status;

  status = openKeychainIn(folder.get(), name, keychain.database);
  if (status == errSecSuccess)
    status = readKeychainRecord(keychain.database.get(), keychain.record);
  if (status != errSecSuccess) return status;
  SecureBytes theirs;
  if (!unlockedKey(keychain.record.uuid, theirs) &&
      unwrapKey(password, keychain.record, theirs) == errSecSuccess) {
    rememberKey(keychain.record.uuid, theirs);
  }
  return errSecSuccess;
}

// The login keychain; errSecNoSuchKeychain when it doesn't exist yet.
OSStatus openLogin(OpenKeychain& keychain) {
  OSStatus status = loginKeychainPath(keychain.path);
  Descriptor folder;
  if (status == errSecSuccess) status = holdLoginFolder(keychain.path, false, folder);
  if (status != errSecSuccess) return status;
  return openKeychainIn(folder.get(), keychain.path.substr(keychain.path.rfind('/') + 1),
                        keychain.database);
}

// K for reading an item, asking whatever its access object and the lock require.
OSStatus keyForRead(const OpaqueSecAccess& access, const OpenKeychain& keychain,
                    const std::string& account, SecureBytes& key) {
  const PromptSubject subject{keychain.path, account};
  bool unlocked = unlockedKey(keychain.record.uuid, key);
  switch (readRule(access, selfApplication())) {
    case ReadRule::denied:
      return errSecAuthFailed;
    case ReadRule::open:
      if (unlocked) return errSecSuccess;
      break;
    case ReadRule::password:
      // Every time, even when unlocked: the password is the confirmation.
      if (!interactionAllowed()) return errSecInteractionNotAllowed;
      break;
    case ReadRule::confirmation:
      if (!interactionAllowed()) return errSecInteractionNotAllowed;
      if (unlocked) return askConfirmation(subject);
      break;  // the unlock prompt serves as the confirmation too
  }
  return unlockWithPrompts(subject, PasswordPurpose::read, keychain.record, key);
}

std::shared_ptr<const SecDictionary> attributesOf(const Address& address, const SecureBytes* data) {
  auto attributes = std::make_shared<SecDictionary>();
  attributes->set(kSecClass, SecConstant{kSecClassGenericPassword});
  attributes->set(kSecAttrService, address.service);
  attributes->set(kSecAttrAccount, address.account);
  if (data != nullptr) attributes->set(kSecValueData, *data);
  return attributes;
}

// Finds the item in one keychain. errSecItemNotFound lets the search go on.
OSStatus findIn(OpenKeychain& keychain, const Address& address, bool wantsData,
                bool wantsAttributes, SecValue* result) {
  sqlite3* db = keychain.database.get();
  if (!wantsData) {
    bool found = false;
    OSStatus status = itemExists(db, address.key(), found);
    if (status != errSecSuccess) return status;
    if (!found) return errSecItemNotFound;
    if (result != nullptr && wantsAttributes) *result = attributesOf(address, nullptr);
    return errSecSuccess;
  }
  ItemRecord item;
  OSStatus status = readItem(db, address.key(), item);
  if (status != errSecSuccess) return status;
  std::optional<OpaqueSecAccess> access = parseAccess(item.access);
  if (!wellFormed(item) || !access) return errSecInvalidKeychain;
  if (keychain.record.uuid.empty()) {
    status = readKeychainRecord(db, keychain.record);
    if (status != errSecSuccess) return status;
  }
  SecureBytes key;
  status = keyForRead(*access, keychain, address.account, key);
  if (status != errSecSuccess) return status;
  SecureBytes data;
  std::string ad = itemAssociatedData(keychain.record.uuid, item.uuid, item.itemClass, item.service,
                                      item.account, item.access);
  if (!open(key, item.secret, item.nonce, ad, data)) return errSecDecode;
  if (wantsAttributes) {
    *result = attributesOf(address, &data);
  } else {
    *result = std::move(data);
  }
  return errSecSuccess;
}

}  // namespace

OSStatus SecItemAdd(const SecDictionary& attributes, SecValue* result) {
  Address address;
  if (result != nullptr ||
      !onlyKeys(attributes, {kSecClass, kSecAttrService, kSecAttrAccount, kSecAttrAccess,
                             kSecValueData, kSecUseKeychain}) ||
      addressOf(attributes, address) != errSecSuccess ||
      !absentOrTyped<SecAccessRef>(attributes, kSecAttrAccess) ||
      !absentOrTyped<SecKeychainRef>(attributes, kSecUseKeychain)) {
    return errSecParam;
  }
  const auto* data = attributes.get<SecureBytes>(kSecValueData);
  const auto* access = attributes.get<SecAccessRef>(kSecAttrAccess);
  const auto* handle = attributes.get<SecKeychainRef>(kSecUseKeychain);
  if (data == nullptr || data->size() > maxSecretBytes || (access && !*access) ||
      (handle && !*handle)) {
    return errSecParam;
  }
  if (!cryptoReady()) return errSecNotAvailable;
  // Without an access object the item trusts this program only.
  const SecTrustedApplicationList self{selfApplication()};
  const std::string accessBlob =
      serializeAccess(access ? **access : newAccess(address.account, &self));
  if (!parseAccess(accessBlob)) return errSecParam;  // over a limit: could not be read back

  OpenKeychain keychain;
  OSStatus status = errSecSuccess;
  if (handle) {
    status = openHandle(*handle, keychain);
  } else {
    status = openLogin(keychain);
    if (status == errSecNoSuchKeychain) {
      status = createLoginKeychain(keychain.path, address, keychain);
    } else if (status == errSecSuccess) {
      status = readKeychainRecord(keychain.database.get(), keychain.record);
    }
  }
  if (status != errSecSuccess) return status;

  // A doomed add asks nothing.
  bool duplicate = false;
  status = itemExists(keychain.database.get(), address.key(), duplicate);
  if (status != errSecSuccess) return status;
  if (duplicate) return errSecDuplicateItem;

  SecureBytes key;
  if (!unlockedKey(keychain.record.uuid, key)) {
    status = unlockWithPrompts({keychain.path, address.account}, PasswordPurpose::add,
                               keychain.record, key);
    if (status != errSecSuccess) return status;
  }
  ItemRecord item;
  item.uuid = randomBytes(uuidBytes);
  item.itemClass = address.itemClass;
  item.service = address.service;
  item.account = address.account;
  item.access = accessBlob;
  item.secret = seal(key, *data,
                     itemAssociatedData(keychain.record.uuid, item.uuid, item.itemClass,
                                        item.service, item.account, item.access),
                     item.nonce);
  return insertItem(keychain.database.get(), item, static_cast<std::int64_t>(std::time(nullptr)));
}

OSStatus SecItemCopyMatching(const SecDictionary& query, SecValue* result) {
  if (result != nullptr) *result = std::monostate{};
  Address address;
  if (!onlyKeys(query, {kSecClass, kSecAttrService, kSecAttrAccount, kSecReturnData,
                        kSecReturnAttributes, kSecMatchLimit, kSecMatchSearchList}) ||
      addressOf(query, address) != errSecSuccess || !absentOrTyped<bool>(query, kSecReturnData) ||
      !absentOrTyped<bool>(query, kSecReturnAttributes) ||
      !absentOrTyped<SecConstant>(query, kSecMatchLimit) ||
      !absentOrTyped<std::vector<SecKeychainRef>>(query, kSecMatchSearchList)) {
    return errSecParam;
  }
  const auto* limit = query.get<SecConstant>(kSecMatchLimit);
  const auto* searchList = query.get<std::vector<SecKeychainRef>>(kSecMatchSearchList);
  if ((limit && limit->value != kSecMatchLimitOne) || (searchList && searchList->empty())) {
    return errSecParam;
  }
  const bool* returnData = query.get<bool>(kSecReturnData);
  const bool* returnAttributes = query.get<bool>(kSecReturnAttributes);
  const bool wantsData = returnData && *returnData && result != nullptr;
  const bool wantsAttributes = returnAttributes && *returnAttributes;
  if (wantsData && !cryptoReady()) return errSecNotAvailable;

  // Each result is built into `found` and handed over only on success.
  SecValue found;
  if (!searchList) {
    OpenKeychain keychain;
    OSStatus status = openLogin(keychain);
    // No login keychain yet: nothing stored, nothing found.
    if (status == errSecNoSuchKeychain) return errSecItemNotFound;
    if (status == errSecSuccess) {
      status = findIn(keychain, address, wantsData, wantsAttributes, &found);
    }
    if (status == errSecSuccess && result != nullptr) *result = std::move(found);
    return status;
  }
  for (const SecKeychainRef& handle : *searchList) {
    OpenKeychain keychain;
    OSStatus status = openHandle(handle, keychain);
    if (status == errSecSuccess) {
      status = findIn(keychain, address, wantsData, wantsAttributes, &found);
    }
    if (status == errSecItemNotFound) continue;
    if (status == errSecSuccess && result != nullptr) *result = std::move(found);
    return status;
  }
  return errSecItemNotFound;
}
