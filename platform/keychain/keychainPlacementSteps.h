// The points of a placement a test can stop at. The shipped program's definitions do nothing;
// the keychain's tests link their own (tests/keychain/placementControl.cpp).
#pragma once

namespace keychain::placement {

enum class Step { temporaryMade = 1, written = 2, linked = 3 };

// Called as a placement through a named temporary passes each step.
void reached(Step step);
// True: behave as on a filesystem with neither unnamed files nor RENAME_NOREPLACE.
bool unnamedFilesRefused();

}  // namespace keychain::placement
