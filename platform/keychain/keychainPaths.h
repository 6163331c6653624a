// Where the login keychain lives: $XDG_DATA_HOME/ferrowick/keychains/login.keychain-db, with
// XDG_DATA_HOME defaulting to $HOME/.local/share.
#pragma once

#include <string>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainFile.h"

namespace keychain {

// errSecNotAvailable when no home folder can be found.
OSStatus loginKeychainPath(std::string& path);

// Walks to the keychain's folder from the data home by descriptor, never following a symlink in
// the two folders of ours, and holds it. `create`: missing folders are made (0700). Without
// `create`, errSecNoSuchKeychain when one is missing; a symlink or a folder that isn't private
// is errSecNotAvailable.
OSStatus holdLoginFolder(const std::string& keychainPath, bool create, Descriptor& held);

// An absolute form of a path given relative to the working folder.
std::string absolutePath(const std::string& path);

}  // namespace keychain
