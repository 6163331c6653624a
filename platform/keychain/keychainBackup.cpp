// Backup and restore. A backup is taken through SQLite's online backup API inside one read
// transaction, so it is a consistent snapshot however many runs write meanwhile. Rules:
// - a new file never replaces an existing one: it is written unnamed, then linked into place;
// - what is put in place is exactly the bytes that were checked;
// - a keychain is replaced only while no run holds any SQLite lock on it, and is kept.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/keychain/keychainCare.h"
#include "platform/keychain/keychainCareImage.h"
#include "platform/keychain/keychainStatement.h"

namespace keychain::care {

namespace {

// The byte range SQLite's unix locks use (pending, reserved and shared bytes).
constexpr off_t sqliteLockStart = 0x40000000;
constexpr off_t sqliteLockBytes = 512;

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return fsync(fd) == 0;
}

void syncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    ::close(fd);
  }
}

// Writes `image` to the new name `path` (mode 0600); errSecDuplicateKeychain when it is taken.
OSStatus placeNew(const std::string& path, const std::string& image) {
  const std::string folder = folderOf(path);
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) {
    OSStatus status = errSecSuccess;
    if (!writeAll(fd, image)) {
      status = statusOfErrno(errno);
    } else {
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        status = statusOfErrno(errno);
      }
    }
    ::close(fd);
    if (status == errSecSuccess) syncFolder(folder);
    return status;
  }
  // No unnamed files here: claim the name itself, and take it back if the write fails.
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return statusOfErrno(errno);
  const bool written = writeAll(fd, image);
  const int error = errno;
  ::close(fd);
  if (!written) {
    unlink(path.c_str());
    return statusOfErrno(error);
  }
  syncFolder(folder);
  return errSecSuccess;
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string timeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

// The snapshot's bytes: the backup API copies every page under one read lock.
OSStatus snapshot(sqlite3* source, std::string& image) {
  sqlite3* db = nullptr;
  int result =
      sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE, nullptr);
  Database copy(db);
  if (result != SQLITE_OK) return statusOf(result);
  sqlite3_backup* backup = sqlite3_backup_init(db, "main", source, "main");
  if (backup == nullptr) return statusOf(sqlite3_errcode(db));
  result = sqlite3_backup_step(backup, -1);
  const int finished = sqlite3_backup_finish(backup);
  if (result != SQLITE_DONE) return statusOf(result);
  if (finished != SQLITE_OK) return statusOf(finished);
  sqlite3_int64 size = 0;
  unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
  if (bytes == nullptr) return errSecAllocate;
  image.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
  sqlite3_free(bytes);
  return errSecSuccess;
}

}  // namespace

OSStatus backupKeychain(const std::string& path, FolderRule rule, const std::string& destination,
                        CheckReport& report) {
  Database database;
  OSStatus status = openKeychain(path, rule, database);
  if (status != errSecSuccess) return status;
  if (exists(destination)) return errSecDuplicateKeychain;
  std::string image;
  status = snapshot(database.get(), image);
  if (status != errSecSuccess) return status;
  checkImage(image, path, false, report);
  if (!report.allWell()) return errSecInvalidKeychain;
  status = placeNew(destination, image);
  if (status != errSecSuccess) return status;

  // What reached the disk must read back as a keychain in its own right.
  CheckReport written;
  std::string problem, reread;
  status = readImage(destination, true, reread, problem);
  if (status == errSecSuccess) checkImage(reread, destination, false, written);
  if (status != errSecSuccess || !written.allWell() || reread != image) {
    unlink(destination.c_str());
    return status != errSecSuccess ? status : errSecIO;
  }
  return errSecSuccess;
}

OSStatus restoreKeychain(const std::string& source, const std::string& path, bool replace,
                         CheckReport& report, RestoreRefusal& refusal, std::string& keptAs) {
  refusal = RestoreRefusal::none;
  std::string image, problem;
  OSStatus status = readImage(source, false, image, problem);
  if (status != errSecSuccess) {
    report.findings.push_back({"file", problem, false});
    refusal = RestoreRefusal::sourceBad;
    return status;
  }
  checkImage(image, source, false, report);
  if (!report.allWell()) {
    refusal = RestoreRefusal::sourceBad;
    return errSecInvalidKeychain;
  }
  // A journal beside the keychain would be rolled into whatever file is put there.
  const std::string journal = path + "-journal";
  if (exists(journal)) {
    refusal = RestoreRefusal::journal;
    return errSecInvalidKeychain;
  }
  if (!exists(path)) {
    status = placeNew(path, image);
    if (status == errSecDuplicateKeychain) refusal = RestoreRefusal::exists;
    return status;
  }
  if (!replace) {
    refusal = RestoreRefusal::exists;
    return errSecDuplicateKeychain;
  }

  // Every SQLite lock byte: no run may read or write the keychain until it is swapped.
  int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return statusOfErrno(errno);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = sqliteLockStart;
  lock.l_len = sqliteLockBytes;
  if (fcntl(fd, F_SETLK, &lock) != 0) {
    ::close(fd);
    refusal = RestoreRefusal::inUse;
    return errSecIO;
  }
  if (exists(journal)) {
    ::close(fd);
    refusal = RestoreRefusal::journal;
    return errSecInvalidKeychain;
  }
  // The copy is written under the name the old keychain will be kept as, then the two are
  // exchanged in one step: the keychain's name never lacks a file, and a run killed at any
  // point leaves at most a complete keychain under that name, nothing half-made.
  const std::string kept = path + ".replaced-" + timeStamp();
  status = placeNew(kept, image);
  if (status == errSecSuccess) {
    if (renameat2(AT_FDCWD, kept.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
      status = statusOfErrno(errno);
      unlink(kept.c_str());
    } else {
      keptAs = kept;
      syncFolder(folderOf(path));
    }
  }
  ::close(fd);
  return status;
}

}  // namespace keychain::care
