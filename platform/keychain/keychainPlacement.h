// Putting a new file in place in a folder held by descriptor: a keychain when it is created,
// a backup, a restored keychain. Either the whole file is there under its name, durably, or
// nothing is (a killed run leaves at most a temporary, which the next placement or open of the
// same name removes).
#pragma once

#include <string>
#include <string_view>

#include "Ferrowick/keystore/Security.h"

namespace keychain {

// Places `bytes` as the new file `name` (mode 0600) in the held folder: an unnamed file linked
// into place where the folder has them, otherwise a locked temporary of ours renamed without
// replacing; then the folder is synced. errSecDuplicateKeychain when the name is taken (by
// anyone); every other failure, the folder's sync included, is reported.
OSStatus placeFile(int folderFd, const std::string& name, std::string_view bytes);

// Removes the temporaries of `name` (and of the copies kept beside it) that killed placements
// left in the held folder (a second link of the placed file included); a temporary a live
// placement holds is left alone.
void removeStaleTemporaries(int folderFd, const std::string& name);

}  // namespace keychain
