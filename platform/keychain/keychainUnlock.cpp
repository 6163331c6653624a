#include "platform/keychain/keychainUnlock.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/keychain/KeychainTesting.h"

namespace keychain {

namespace {

constexpr int passwordTries = 3;

struct Registry {
  std::mutex mutex;
  std::map<std::string, SecureBytes, std::less<>> keys;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

bool unlockedKey(std::string_view keychainUuid, SecureBytes& key) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto found = r.keys.find(keychainUuid);
  if (found == r.keys.end()) return false;
  key = found->second;
  return true;
}

void rememberKey(std::string_view keychainUuid, const SecureBytes& key) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.keys.insert_or_assign(std::string(keychainUuid), key);
}

OSStatus unwrapKey(const SecureBytes& password, const KeychainRecord& record, SecureBytes& key) {
  SecureBytes wrapping;
  OSStatus status = deriveWrappingKey(password, record.salt, record.kdf, wrapping);
  if (status != errSecSuccess) return status;
  std::string ad = wrapAssociatedData(record.uuid, record.kdf, record.salt);
  if (!open(wrapping, record.wrappedKey, record.wrapNonce, ad, key)) return errSecAuthFailed;
  return key.size() == keyBytes ? errSecSuccess : errSecAuthFailed;
}

OSStatus unlockWithPrompts(const PromptSubject& subject, PasswordPurpose purpose,
                           const KeychainRecord& record, SecureBytes& key) {
  std::string_view error;
  for (int attempt = 0; attempt < passwordTries; ++attempt) {
    SecureBytes password;
    OSStatus status = askKeychainPassword(subject, purpose, error, password);
    if (status != errSecSuccess) return status;
    status = unwrapKey(password, record, key);
    if (status == errSecSuccess) {
      rememberKey(record.uuid, key);
      return errSecSuccess;
    }
    if (status != errSecAuthFailed) return status;
    error = wrongPasswordText;
  }
  return errSecAuthFailed;
}

OSStatus makeNewKeychain(const SecureBytes& password, KeychainRecord& contents, SecureBytes& key) {
  if (!cryptoReady()) return errSecNotAvailable;
  contents.uuid = randomBytes(uuidBytes);
  contents.kdf = newKdfParams();
  contents.salt = randomBytes(saltBytes);
  SecureBytes wrapping;
  OSStatus status = deriveWrappingKey(password, contents.salt, contents.kdf, wrapping);
  if (status != errSecSuccess) return status;
  key = randomSecret(keyBytes);
  contents.wrappedKey =
      seal(wrapping, key, wrapAssociatedData(contents.uuid, contents.kdf, contents.salt),
           contents.wrapNonce);
  return errSecSuccess;
}

OSStatus askNewKeychainPassword(const PromptSubject& subject, SecureBytes& password) {
  std::string_view error;
  for (int attempt = 0; attempt < passwordTries; ++attempt) {
    OSStatus status = askNewPassword(subject, error, password);
    if (status == errSecSuccess && !password.empty()) return errSecSuccess;
    if (status != errSecSuccess && status != errSecAuthFailed) return status;
    error = status == errSecAuthFailed ? mismatchText : emptyPasswordText;
  }
  return errSecAuthFailed;
}

}  // namespace keychain

namespace keychain::testing {

void forgetUnlockedKeychains() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.keys.clear();
}

bool unlockedKeyOf(const std::string& path, SecureBytes& key) {
  Database database;
  KeychainRecord record;
  if (openKeychain(path, FolderRule::shared, database) != errSecSuccess ||
      readKeychainRecord(database.get(), record) != errSecSuccess) {
    return false;
  }
  return unlockedKey(record.uuid, key);
}

}  // namespace keychain::testing
