// Hooks for the keychain's own tests only; the tool never calls them.
#pragma once

namespace keychain::testing {

// Forgets every unlocked keychain, as a new process would start.
void forgetUnlockedKeychains();

}  // namespace keychain::testing
