// The SQLite side of a keychain connection: the library's settings and the VFS every keychain
// file is opened with.
#pragma once

#include <sqlite3.h>

namespace keychain {

// A run opens one keychain and reads a few pages of it: the library is set up for that before
// its first use in the process. Later calls do nothing.
void configureLibrary();

// The name of the VFS keychain files are opened with; nullptr when it can't be registered.
// It is the default unix VFS with two changes:
// - names are kept as given (/proc/self/fd/<folder>/<name>), not resolved back into a path;
// - a rollback journal is checked on the descriptor SQLite itself will read, at the moment it
//   opens it: a journal that is not a regular file of ours with one link and no group/other
//   bits is never opened, so it is never rolled into the keychain. Such an open fails with
//   SQLITE_NOTADB, which the keychain reports as errSecInvalidKeychain.
const char* keychainVfs();

}  // namespace keychain
