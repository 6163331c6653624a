// The system's file layer with one fault to switch on, for tests of writes that committed.
#pragma once

#include <sqlite3.h>

namespace keychain_test {

// The system's file layer with one fault to switch on: releasing the write lock after a commit
// fails, as it once did on a network filesystem, though the commit itself went through.
struct FailingUnlock {
  static inline sqlite3_vfs* base = nullptr;
  static inline sqlite3_vfs vfs{};
  static inline sqlite3_io_methods methods{};
  static inline const sqlite3_io_methods* original = nullptr;
  static inline bool armed = false;

  static int unlock(sqlite3_file* file, int level) {
    int result = original->xUnlock(file, level);
    return armed && level == SQLITE_LOCK_SHARED && result == SQLITE_OK ? SQLITE_IOERR_UNLOCK
                                                                       : result;
  }
  static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
    int result = base->xOpen(base, name, file, flags, out);
    if (result == SQLITE_OK && file->pMethods != nullptr && (flags & SQLITE_OPEN_MAIN_DB)) {
      if (original == nullptr) {
        original = file->pMethods;
        methods = *original;
        methods.xUnlock = unlock;
      }
      if (file->pMethods == original) file->pMethods = &methods;
    }
    return result;
  }
  // Becomes the default for every connection opened from now on, this process only.
  static void install() {
    if (base != nullptr) return;
    base = sqlite3_vfs_find(nullptr);
    vfs = *base;
    vfs.zName = "failing-unlock";
    vfs.xOpen = open;
    sqlite3_vfs_register(&vfs, 1);
  }
};

}  // namespace keychain_test
