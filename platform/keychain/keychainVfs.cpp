#include "platform/keychain/keychainVfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files/fileTrust.h"

namespace keychain {

namespace {

using OpenCall = int (*)(const char*, int, int);

sqlite3_vfs* baseVfs = nullptr;
OpenCall systemOpen = nullptr;

// Set only while this thread's VFS opens a rollback journal; the unix VFS opens files through
// the open() below, so the check is made on the very descriptor it goes on to read.
thread_local bool openingJournal = false;
thread_local bool journalRefused = false;

int openChecked(const char* name, int flags, int mode) {
  if (!openingJournal) return systemOpen(name, flags, mode);
  // Not through a symlink, and without blocking on a FIFO planted under the journal's name.
  int fd = systemOpen(name, flags | O_NOFOLLOW | O_NONBLOCK, mode);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENXIO) journalRefused = true;
    return fd;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !files::isPrivateFile(info, geteuid())) {
    ::close(fd);
    journalRefused = true;
    errno = EACCES;
    return -1;
  }
  if ((flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int openFile(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  if ((flags & SQLITE_OPEN_MAIN_JOURNAL) == 0) {
    return baseVfs->xOpen(baseVfs, name, file, flags, outFlags);
  }
  openingJournal = true;
  journalRefused = false;
  int result = baseVfs->xOpen(baseVfs, name, file, flags, outFlags);
  openingJournal = false;
  if (result != SQLITE_OK && journalRefused) {
    journalRefused = false;
    // Not CANTOPEN: SQLite takes a journal it can't open for a hot one and goes on trying.
    return SQLITE_NOTADB;
  }
  return result;
}

// SQLite resolves symlinks in the names it opens, /proc/self/fd/<n> included, which would turn
// a held folder back into a path. The only names this VFS sees are absolute ones through a held
// folder.
int keepFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  const std::size_t length = std::strlen(name);
  if (name[0] != '/' || length + 1 > static_cast<std::size_t>(size)) return SQLITE_CANTOPEN;
  std::memcpy(out, name, length + 1);
  return SQLITE_OK;
}

}  // namespace

// SQLite's up-front page cache block (some 90 KiB, every page of it touched at the first open),
// its lookaside buffers and its memory statistics cost a short run more than they save.
void configureLibrary() {
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  (void)configured;
}

const char* keychainVfs() {
  static const char* name = []() -> const char* {
    configureLibrary();
    baseVfs = sqlite3_vfs_find(nullptr);
    if (baseVfs == nullptr || baseVfs->iVersion < 3) return nullptr;
    systemOpen = reinterpret_cast<OpenCall>(baseVfs->xGetSystemCall(baseVfs, "open"));
    if (systemOpen == nullptr) return nullptr;
    // The unix VFS has one table of system calls; every other open passes straight through.
    if (baseVfs->xSetSystemCall(baseVfs, "open",
                                reinterpret_cast<sqlite3_syscall_ptr>(openChecked)) != SQLITE_OK) {
      return nullptr;
    }
    static sqlite3_vfs vfs = *baseVfs;
    vfs.zName = "ferrowick-keychain";
    vfs.xOpen = openFile;
    vfs.xFullPathname = keepFullPathname;
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? vfs.zName : nullptr;
  }();
  return name;
}

}  // namespace keychain
