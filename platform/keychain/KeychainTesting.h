// Hooks for the keychain's own tests only; the tool never calls them.
#pragma once

#include <string>

#include "Ferrowick/Foundation.h"

namespace keychain::testing {

// Forgets every unlocked keychain, as a new process would start.
void forgetUnlockedKeychains();

// The key K this process holds for the keychain file at `path`; false when it is locked.
bool unlockedKeyOf(const std::string& path, SecureBytes& key);

}  // namespace keychain::testing
