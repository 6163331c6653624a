// Keychains named by path, the process-wide interaction setting, and random bytes.
#include <sodium.h>
#include <sys/stat.h>

#include <memory>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainCreation.h"
#include "platform/keychain/keychainHandle.h"
#include "platform/keychain/keychainPaths.h"
#include "platform/keychain/keychainUnlock.h"

using namespace keychain;

OSStatus SecKeychainCreate(const char* pathName, std::uint32_t passwordLength, const void* password,
                           bool promptUser, const SecAccessRef*, SecKeychainRef* keychain) {
  if (keychain == nullptr) return errSecParam;
  *keychain = nullptr;
  if (pathName == nullptr || *pathName == '\0' ||
      (password == nullptr && passwordLength != 0 && !promptUser)) {
    return errSecParam;
  }
  if (!cryptoReady()) return errSecNotAvailable;
  const std::string path = absolutePath(pathName);
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0) return errSecDuplicateKeychain;
  OSStatus status = checkFolder(folderOf(path), FolderRule::shared);
  if (status != errSecSuccess) return status == errSecNoSuchKeychain ? errSecNotAvailable : status;

  SecureBytes secret;
  if (promptUser) {
    status = askNewKeychainPassword({path, ""}, secret);
    if (status != errSecSuccess) return status;
  } else {
    secret = SecureBytes(password, passwordLength);
  }
  KeychainRecord contents;
  SecureBytes key;
  struct stat placed {};
  status = makeNewKeychain(secret, contents, key);
  if (status == errSecSuccess) status = createKeychainFile(path, contents, &placed);
  if (status != errSecSuccess) return status;
  // Unlocked in the process that made it.
  rememberKey(contents.uuid, key);
  *keychain = std::make_shared<OpaqueSecKeychain>(
      OpaqueSecKeychain{path, contents.uuid, false, placed.st_dev, placed.st_ino});
  return errSecSuccess;
}

OSStatus SecKeychainDelete(const SecKeychainRef& keychainOrArray) {
  OpenKeychain keychain;
  OSStatus status = openHandle(keychainOrArray, keychain);
  // Without /proc a keychain can't be opened, but one made by this run (the self-test's
  // fixture) can still be recognised by its file, and must not be left behind.
  if (status == errSecNotAvailable && keychainOrArray->inode != 0) {
    status = removeCreatedKeychainFile(keychainOrArray->path, keychainOrArray->device,
                                       keychainOrArray->inode);
    if (status == errSecSuccess) keychainOrArray->deleted = true;
    return status;
  }
  if (status != errSecSuccess) return status;
  keychain.database = Database();
  status = removeKeychainFile(keychain.path);
  if (status == errSecSuccess) keychainOrArray->deleted = true;
  return status;
}

OSStatus SecKeychainSetUserInteractionAllowed(bool state) {
  setInteractionAllowed(state);
  return errSecSuccess;
}

OSStatus SecRandomCopyBytes(SecRandomRef, std::size_t count, void* bytes) {
  if (bytes == nullptr && count != 0) return errSecParam;
  if (!cryptoReady()) return errSecNotAvailable;
  if (count != 0) randombytes_buf(bytes, count);
  return errSecSuccess;
}
