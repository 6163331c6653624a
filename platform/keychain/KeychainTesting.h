// Hooks for the keychain's own tests only; the tool never calls them.
#pragma once

#include <string>

#include "Ferrowick/Foundation.h"

namespace keychain::testing {

// Forgets every unlocked keychain, as a new process would start.
void forgetUnlockedKeychains();

// The key K this process holds for the keychain file at `path`; false when it is locked.
bool unlockedKeyOf(const std::string& path, SecureBytes& key);

// Creation as where the filesystem has neither unnamed files nor RENAME_NOREPLACE: a named
// temporary, link() and unlink().
void forceNamedCreation(bool forced);
// Kills this process at a step of that creation: 1 temporary made, 2 written, 3 linked into
// place (0: never).
void killAtCreationStep(int step);

}  // namespace keychain::testing
