// Where the login keychain lives: $XDG_DATA_HOME/ferrowick/keychains/login.keychain-db, with
// XDG_DATA_HOME defaulting to $HOME/.local/share.
#pragma once

#include <string>

#include "Ferrowick/keystore/Security.h"

namespace keychain {

// errSecNotAvailable when no home folder can be found.
OSStatus loginKeychainPath(std::string& path);

// Creates the missing folders up to the keychain's (0700) and checks the two of ours.
OSStatus prepareLoginFolders(const std::string& keychainPath);

// An absolute form of a path given relative to the working folder.
std::string absolutePath(const std::string& path);

}  // namespace keychain
