// Control over the keychain's file placement in this test process.
#pragma once

namespace keychain_test {

// Placement as where the filesystem has neither unnamed files nor RENAME_NOREPLACE: a named
// temporary, link() and unlink().
void refuseUnnamedFiles(bool refused);
// Kills this process at a step of that placement: 1 temporary made, 2 written, 3 linked into
// place (0: never).
void killAtPlacementStep(int step);

}  // namespace keychain_test
