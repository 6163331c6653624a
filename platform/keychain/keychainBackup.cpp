// Backup and restore. A backup is taken through SQLite's online backup API inside one read
// transaction, so it is a consistent snapshot however many runs write meanwhile. Rules:
// - a new file is placed as the keychain's own creation places one, in a held folder, and never
//   replaces an existing file;
// - what is put in place is exactly the bytes that were checked;
// - a keychain is replaced only while no run has it open, and is kept under a free name.
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/files/fileTrust.h"
#include "platform/keychain/keychainCare.h"
#include "platform/keychain/keychainCareImage.h"
#include "platform/keychain/keychainPlacement.h"
#include "platform/keychain/keychainStatement.h"

namespace keychain::care {

namespace {

// The byte range SQLite's unix locks use (pending, reserved and shared bytes).
constexpr off_t sqliteLockStart = 0x40000000;
constexpr off_t sqliteLockBytes = 512;
// Names tried for the kept keychain within one second before giving up.
constexpr int keptNameTries = 100;

bool existsIn(int folderFd, const std::string& name) {
  struct stat info;
  return fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
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

// Places `image` under the first free name of "<name>.replaced-<time>[-<n>]"; an existing file
// of anyone's under one of them is passed over, never replaced.
OSStatus placeKept(int folderFd, const std::string& name, const std::string& image,
                   std::string& kept) {
  const std::string base = name + ".replaced-" + timeStamp();
  for (int n = 1; n <= keptNameTries; ++n) {
    kept = n == 1 ? base : base + "-" + std::to_string(n);
    OSStatus status = placeFile(folderFd, kept, image);
    if (status != errSecDuplicateKeychain) return status;
  }
  return errSecDuplicateKeychain;
}

// Replaces the keychain `name` with `image`, keeping the old one under `kept`.
OSStatus replaceKeychain(int folderFd, const std::string& name, const std::string& image,
                         RestoreRefusal& refusal, std::string& kept) {
  Descriptor file(openat(folderFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat opened, named;
  // Only a keychain file of ours is taken for the old keychain: not a FIFO, a second link or a
  // file others can read.
  if (file.get() < 0 || fstat(file.get(), &opened) != 0 ||
      !files::isPrivateFile(opened, geteuid())) {
    return file.get() < 0 && errno != ELOOP && errno != ENXIO ? statusOfErrno(errno)
                                                              : errSecInvalidKeychain;
  }
  // Every SQLite lock byte, and the flock each run holds while it has the keychain open (a
  // prompt included): no run may use the keychain until it is swapped.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = sqliteLockStart;
  lock.l_len = sqliteLockBytes;
  if (fcntl(file.get(), F_SETLK, &lock) != 0 || flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    refusal = RestoreRefusal::inUse;
    return errSecIO;
  }
  if (fstatat(folderFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      named.st_ino != opened.st_ino || named.st_dev != opened.st_dev) {
    return errSecInvalidKeychain;
  }
  if (existsIn(folderFd, name + "-journal")) {
    refusal = RestoreRefusal::journal;
    return errSecInvalidKeychain;
  }
  // The copy is placed under the name the old keychain will be kept as, then the two are
  // exchanged in one step: the keychain's name never lacks a file, and a run killed at any
  // point leaves at most a complete keychain under that name, nothing half-made.
  OSStatus status = placeKept(folderFd, name, image, kept);
  if (status != errSecSuccess) return status;
  if (renameat2(folderFd, kept.c_str(), folderFd, name.c_str(), RENAME_EXCHANGE) != 0) {
    status = statusOfErrno(errno);
    unlinkat(folderFd, kept.c_str(), 0);
    kept.clear();
    return status;
  }
  return fsync(folderFd) == 0 ? errSecSuccess : statusOfErrno(errno);
}

}  // namespace

OSStatus backupKeychain(const std::string& path, FolderRule rule, const std::string& destination,
                        CheckReport& report, bool& atDestination) {
  atDestination = false;
  Database database;
  OSStatus status = openKeychain(path, rule, database);
  if (status != errSecSuccess) return status;
  atDestination = true;
  // The backup's folder is the owner's choice; it is held from here on, so a folder swapped
  // in by path meanwhile can't redirect the copy.
  Descriptor folder(::open(folderOf(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return statusOfErrno(errno);
  const std::string name = nameOf(destination);
  removeStaleTemporaries(folder.get(), name);
  if (existsIn(folder.get(), name)) return errSecDuplicateKeychain;
  std::string image;
  atDestination = false;
  status = snapshot(database.get(), image);
  if (status != errSecSuccess) return status;
  checkImage(image, path, false, report);
  if (!report.allWell()) return errSecInvalidKeychain;
  atDestination = true;
  status = placeFile(folder.get(), name, image);
  if (status != errSecSuccess) return status;

  // What reached the disk must read back as a keychain in its own right.
  CheckReport written;
  std::string problem, reread;
  status = readImageIn(folder.get(), name, true, reread, problem);
  if (status == errSecSuccess) checkImage(reread, destination, false, written);
  if (status != errSecSuccess || !written.allWell() || reread != image) {
    unlinkat(folder.get(), name.c_str(), 0);
    return status != errSecSuccess ? status : errSecIO;
  }
  return errSecSuccess;
}

OSStatus restoreKeychain(const std::string& source, int folderFd, const std::string& path,
                         bool replace, CheckReport& report, RestoreRefusal& refusal,
                         std::string& keptAs) {
  refusal = RestoreRefusal::none;
  // A journal beside the copy means it was taken mid-write: its bytes alone are not the
  // keychain.
  struct stat journalInfo;
  if (lstat((source + "-journal").c_str(), &journalInfo) == 0) {
    refusal = RestoreRefusal::sourceJournal;
    return errSecInvalidKeychain;
  }
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
  const std::string name = nameOf(path);
  removeStaleTemporaries(folderFd, name);
  // A journal beside the keychain would be rolled into whatever file is put there.
  if (existsIn(folderFd, name + "-journal")) {
    refusal = RestoreRefusal::journal;
    return errSecInvalidKeychain;
  }
  if (!existsIn(folderFd, name)) {
    status = placeFile(folderFd, name, image);
    if (status == errSecDuplicateKeychain) refusal = RestoreRefusal::exists;
    return status;
  }
  if (!replace) {
    refusal = RestoreRefusal::exists;
    return errSecDuplicateKeychain;
  }
  std::string kept;
  status = replaceKeychain(folderFd, name, image, refusal, kept);
  if (!kept.empty()) keptAs = folderOf(path) + "/" + kept;
  return status;
}

}  // namespace keychain::care
