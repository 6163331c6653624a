// A file reached from / one step at a time by descriptor, every step trusted.
#pragma once

#include <sys/types.h>

#include <string>

namespace files {

// An O_PATH, close-on-exec descriptor of the regular file that the absolute `path` names, when
// nobody but `uid` or root can have placed or changed it or anything on the way; else -1.
// Links are followed by the walk itself. Every folder passed through is owned by `uid` or
// root, and one others may write must be sticky (like /tmp) and is passed only into an entry
// owned by `uid` or root, which nobody else can rename; a folder holding a link followed or
// the file itself must be writable by nobody else at all; the file is a trusted program
// (isTrustedProgram). Whoever uses the file uses the descriptor, so what was checked is what
// is used. With `holder`, the folder that holds the file is handed back too (O_PATH, the
// caller closes it), and the file's name in it: an entry of it can only be changed by `uid`
// or root.
int openTrustedFile(const std::string& path, uid_t uid, int* holder = nullptr,
                    std::string* nameInHolder = nullptr);

}  // namespace files
