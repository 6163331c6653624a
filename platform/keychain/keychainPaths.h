// Where the login keychain lives: $XDG_DATA_HOME/ferrowick/keychains/login.keychain-db, with
// XDG_DATA_HOME defaulting to $HOME/.local/share.
#pragma once

#include <string>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainFolders.h"

namespace keychain {

// errSecNotAvailable when no home folder can be found.
OSStatus loginKeychainPath(std::string& path);

// An absolute form of a path given relative to the working folder.
std::string absolutePath(const std::string& path);

}  // namespace keychain
