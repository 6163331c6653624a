// Whether a file or folder, as fstat describes it, may be trusted. Pure functions of the
// status and the user meant: the caller passes the effective uid (geteuid()), the owner of
// every file this process makes, so the rules can be tried for any user without being him.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace files {

// Owned by `uid`, or by root.
bool ownedByUserOrRoot(const struct stat& info, uid_t uid);

// Someone other than the owner (group or others) may write it.
bool othersMayWrite(const struct stat& info);

// Group or others have any permission at all on it.
bool othersHaveAccess(const struct stat& info);

// A file only `uid` can read or change: regular, owned by `uid`, one link (no second name
// someone else could reach it by), no group or other permission.
bool isPrivateFile(const struct stat& info, uid_t uid);

// A program or module that may be run: regular, owned by `uid` or root, and writable by nobody
// else.
bool isTrustedProgram(const struct stat& info, uid_t uid);

// A folder only `uid` can change: owned by `uid`, no group or other write.
bool isPrivateFolder(const struct stat& info, uid_t uid);

// A folder whose entries owned by `uid` or root nobody else can rename or remove: owned by
// `uid` or root, and either writable by nobody else or sticky (like /tmp). What such a folder
// holds can still be added to by others, so every entry taken from it must itself be checked.
bool isSafeFolder(const struct stat& info, uid_t uid);

// A folder that nothing but `uid` or root can change at all: owned by `uid` or root and
// writable by nobody else (sticky or not).
bool isClosedFolder(const struct stat& info, uid_t uid);

}  // namespace files
