// Which pinentry may be run.
#pragma once

#include <sys/types.h>

namespace pinentry {

// The pinentry to run, opened (an O_PATH, close-on-exec descriptor; -1 when there is none):
// the first `pinentry` in an absolute PATH entry that is executable and that nobody but root
// or `uid` can have placed or changed. It types the owner's passwords, so the file and every
// folder and link from / down to it are checked on the descriptors the walk itself holds, and
// the caller runs the program from the descriptor: what was checked is what runs.
int openPinentry(uid_t uid);

}  // namespace pinentry
