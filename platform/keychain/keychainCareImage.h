// The bytes of a keychain file, read once through a descriptor, and their checks in memory:
// shared by the check, the backup and the restore.
#pragma once

#include <string>

#include "platform/keychain/keychainCare.h"

namespace keychain::care {

// The file's bytes; `problem` says in a few words why not. `strict`: the file rules of a
// keychain in use (ours, 0600, one link); otherwise any regular file that is not a link.
OSStatus readImage(const std::string& path, bool strict, std::string& image, std::string& problem);
// The same for the file `name` in a held folder.
OSStatus readImageIn(int folderFd, const std::string& name, bool strict, std::string& image,
                     std::string& problem);

// A read-only in-memory database over a copy of `image`.
OSStatus openImage(const std::string& image, Database& database);

// Format, schema, integrity, records; with `password`, every item authenticated.
void checkImage(const std::string& image, const std::string& path, bool password,
                CheckReport& report);

}  // namespace keychain::care
