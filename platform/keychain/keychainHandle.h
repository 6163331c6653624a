// Keychain handles and opening the keychain a request is aimed at.
#pragma once

#include <sys/types.h>

#include <string>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainSchema.h"

struct OpaqueSecKeychain {
  std::string path;  // absolute
  std::string uuid;  // the keychain record's uuid: a file replaced at the path is not this one
  bool deleted = false;
  // The file this process created at `path` (zero otherwise): where SQLite can't be given the
  // file (no /proc), deleting it checks that it is still this very file instead.
  dev_t device = 0;
  ino_t inode = 0;
};

namespace keychain {

struct OpenKeychain {
  std::string path;
  Database database;
  KeychainRecord record;  // read by openHandle; by the caller otherwise
};

// Opens the keychain of a handle and checks it is still the same keychain;
// errSecNoSuchKeychain when it was deleted or is gone.
OSStatus openHandle(const SecKeychainRef& handle, OpenKeychain& keychain);

}  // namespace keychain
