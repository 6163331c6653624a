// Making a new keychain file: its bytes built in memory, then placed in its folder only if the
// name is still free, so nothing reaches the folder before the file is whole.
#pragma once

#include <sys/stat.h>

#include <string>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainSchema.h"

namespace keychain {

// Writes a new keychain file at `path`, atomically. errSecDuplicateKeychain when a file (of
// anyone's) got there first; the caller decides what that means. `placed`, if given, receives
// what the new file's name showed right after it was placed (all zero if that lookup failed).
OSStatus createKeychainFile(const std::string& path, const KeychainRecord& contents,
                            struct stat* placed = nullptr);
OSStatus createKeychainFileIn(int folderFd, const std::string& name,
                              const KeychainRecord& contents);

}  // namespace keychain
