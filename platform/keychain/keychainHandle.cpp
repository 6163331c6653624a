#include "platform/keychain/keychainHandle.h"

namespace keychain {

OSStatus openHandle(const SecKeychainRef& handle, OpenKeychain& keychain) {
  if (!handle) return errSecInvalidKeychain;
  if (handle->deleted) return errSecNoSuchKeychain;
  keychain.path = handle->path;
  OSStatus status = openKeychain(handle->path, FolderRule::shared, keychain.database);
  if (status != errSecSuccess) return status;
  status = readKeychainRecord(keychain.database.get(), keychain.record);
  if (status != errSecSuccess) return status;
  return keychain.record.uuid == handle->uuid ? errSecSuccess : errSecNoSuchKeychain;
}

}  // namespace keychain
