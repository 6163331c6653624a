#include "platform/keychain/keychainFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/files/fileBasics.h"
#include "platform/files/fileTrust.h"
#include "platform/keychain/keychainPlacement.h"
#include "platform/keychain/keychainSchema.h"
#include "platform/keychain/keychainStatement.h"
#include "platform/keychain/keychainVfs.h"

namespace keychain {

namespace {

constexpr std::string_view sqliteMagic{"SQLite format 3\0", 16};
constexpr std::size_t headerBytes = 100;
constexpr int busyTimeoutMs = 10000;
constexpr int maxRecordBytes = 8 << 20;

std::uint32_t bigEndian(std::string_view bytes, std::size_t offset, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
  }
  return value;
}

// Settings every connection gets before it reads anything; none of them reads the file.
OSStatus configure(sqlite3* db) {
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, busyTimeoutMs);
  // No record of ours comes near this; a planted giant blob is refused, not loaded.
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, maxRecordBytes);
  int on = 1, off = 0;
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, on, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, off, nullptr);
  // Our schema has neither; a planted trigger or view must not run.
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, off, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, off, nullptr);
  return exec(db, "PRAGMA cell_size_check=ON; PRAGMA secure_delete=ON; PRAGMA temp_store=MEMORY;");
}

// DELETE, not WAL: a keychain stays one file. The journal mode is set only on files that
// passed the header check, which has already refused WAL files. EXTRA syncs the folder once
// the journal is deleted: only then does a commit survive a power loss. Both read the schema
// first; the safety level can't be changed inside a transaction.
constexpr const char* journalMode = "PRAGMA journal_mode=DELETE";
constexpr const char* safetyLevel = "PRAGMA synchronous=EXTRA";

// Settings, then inside one read transaction (the file locked and read once): the identity
// SQLite sees, our exact schema, and a file whose size matches its page count (a truncated
// file is refused even where a lookup could succeed).
OSStatus configureAndVerify(sqlite3* db, int folderFd, const std::string& name) {
  OSStatus status = configure(db);
  if (status == errSecSuccess) status = exec(db, "BEGIN");
  if (status != errSecSuccess) return status;
  auto check = [&]() -> OSStatus {
    std::int64_t id = 0, version = 0, pages = 0, pageSize = 0;
    // The header's fields need no schema: the first of them opens the transaction, so the
    // schema is then read inside it, and only from a file that says it is a keychain.
    OSStatus s = pragmaInteger(db, "PRAGMA application_id", id);
    if (s == errSecSuccess) s = pragmaInteger(db, "PRAGMA user_version", version);
    if (s != errSecSuccess) return s;
    if (id != applicationId) return errSecInvalidKeychain;
    if (version > formatVersion) return errSecWrongSecVersion;
    if (version != formatVersion) return errSecInvalidKeychain;
    s = exec(db, journalMode);
    if (s == errSecSuccess) s = checkSchema(db);
    if (s == errSecSuccess) s = pragmaInteger(db, "PRAGMA page_count", pages);
    if (s == errSecSuccess) s = pragmaInteger(db, "PRAGMA page_size", pageSize);
    if (s != errSecSuccess) return s;
    struct stat info;
    if (fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errSecIO;
    if (pages <= 0 || static_cast<std::int64_t>(info.st_size) != pages * pageSize) {
      return errSecInvalidKeychain;
    }
    return errSecSuccess;
  };
  status = check();
  exec(db, "COMMIT");
  // The schema is loaded by now: this reads nothing.
  if (status == errSecSuccess) status = exec(db, safetyLevel);
  return status;
}

// A journal beside the keychain is rolled back into it by SQLite: it gets the same checks as the
// file itself, from an lstat, so a FIFO is never opened (that would block).
OSStatus checkJournalIn(int folderFd, const std::string& name, bool& present) {
  struct stat info;
  present = false;
  if (fstatat(folderFd, (name + "-journal").c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? errSecSuccess : errSecInvalidKeychain;
  }
  present = true;
  return files::isPrivateFile(info, geteuid()) ? errSecSuccess : errSecInvalidKeychain;
}

// Whether /proc/self/fd/<folderFd> names this very folder (no /proc: it doesn't).
bool reachableByDescriptorPath(int folderFd) {
  struct stat viaProc, folder;
  const std::string proc = files::descriptorPath(folderFd);
  return stat(proc.c_str(), &viaProc) == 0 && fstat(folderFd, &folder) == 0 &&
         viaProc.st_dev == folder.st_dev && viaProc.st_ino == folder.st_ino;
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = other.db_;
    other.db_ = nullptr;
    folder_ = std::move(other.folder_);
    file_ = std::move(other.file_);
  }
  return *this;
}

Database::~Database() {
  // The connection first: its files are reached through the folder's descriptor.
  if (db_ != nullptr) sqlite3_close_v2(db_);
}

OSStatus configureNewDatabase(sqlite3* db) {
  OSStatus status = configure(db);
  if (status == errSecSuccess) status = exec(db, journalMode);
  if (status == errSecSuccess) status = exec(db, safetyLevel);
  return status;
}

OSStatus statusOfErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return errSecWrPerm;
    case ENOENT:
    case ENOTDIR:
      return errSecNotAvailable;
    case EEXIST:
      return errSecDuplicateKeychain;
    case ELOOP:
      return errSecInvalidKeychain;
    case ENOMEM:
      return errSecAllocate;
    default:
      return errSecIO;
  }
}

OSStatus checkHeader(std::string_view header, std::uint64_t fileSize, bool hotJournal) {
  if (header.size() < headerBytes || fileSize < headerBytes) return errSecInvalidKeychain;
  if (header.substr(0, sqliteMagic.size()) != sqliteMagic) return errSecInvalidKeychain;
  if (static_cast<std::int32_t>(bigEndian(header, 68, 4)) != applicationId) {
    return errSecInvalidKeychain;
  }
  auto version = static_cast<std::int32_t>(bigEndian(header, 60, 4));
  if (version > formatVersion) return errSecWrongSecVersion;
  if (version != formatVersion) return errSecInvalidKeychain;
  std::uint32_t pageSize = bigEndian(header, 16, 2);
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
    return errSecInvalidKeychain;
  }
  // Rollback journal only (1, 1): a WAL file would grow -wal/-shm files beside it.
  if (header[18] != 1 || header[19] != 1 || header[20] != 0) return errSecInvalidKeychain;
  // An interrupted write may have left the file longer or shorter until SQLite rolls it back.
  if (!hotJournal && fileSize % pageSize != 0) return errSecInvalidKeychain;
  return errSecSuccess;
}

OSStatus openKeychain(const std::string& path, FolderRule rule, Database& database) {
  Descriptor folder;
  OSStatus status = rule == FolderRule::login ? holdLoginFolder(path, false, folder)
                                              : holdFolder(folderOf(path), rule, folder);
  if (status != errSecSuccess) return status;
  return openKeychainIn(folder.get(), nameOf(path), database);
}

OSStatus openKeychainIn(int folderFd, const std::string& name, Database& database) {
  struct stat opened;
  char header[headerBytes];
  ssize_t got = -1;
  // A lookup of a sound file reads no folder. Leftovers of a killed creation are removed here
  // only where they stand in the way (a second link of this file); otherwise the next write or
  // creation removes them.
  Descriptor file;
  for (bool cleaned = false;; cleaned = true) {
    file =
        Descriptor(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
      if (errno == ENOENT) return errSecNoSuchKeychain;
      if (errno == ELOOP || errno == EACCES || errno == ENXIO) return errSecInvalidKeychain;
      return errSecIO;
    }
    got = -1;
    if (fstat(file.get(), &opened) == 0 && S_ISREG(opened.st_mode)) {
      got = pread(file.get(), header, sizeof header, 0);
    }
    if (cleaned || !S_ISREG(opened.st_mode) || opened.st_nlink == 1) break;
    removeStaleTemporaries(folderFd, name);
  }
  if (got < 0 || !files::isPrivateFile(opened, geteuid())) return errSecInvalidKeychain;
  // Held shared for as long as the connection, a prompt included: a restore that would replace
  // the file refuses while any run has it. A placement holding the file's inode is no reason
  // to wait.
  flock(file.get(), LOCK_SH | LOCK_NB);
  bool hotJournal = false;
  OSStatus status = checkJournalIn(folderFd, name, hotJournal);
  if (status != errSecSuccess) return status;
  status = checkHeader({header, static_cast<std::size_t>(got)},
                       static_cast<std::uint64_t>(opened.st_size), hotJournal);
  if (status != errSecSuccess) return status;

  // SQLite gets the file (and computes its journal's name) through the held folder, never by
  // a path that could be redirected. Without /proc there is no such name: refused, not
  // reached by path instead.
  Descriptor held(fcntl(folderFd, F_DUPFD_CLOEXEC, 3));
  if (held.get() < 0) return errSecIO;
  if (!reachableByDescriptorPath(held.get())) return errSecNotAvailable;
  const char* vfs = keychainVfs();
  if (vfs == nullptr) return errSecIO;
  sqlite3* db = nullptr;
  int result =
      sqlite3_open_v2(files::descriptorPath(held.get(), name).c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE, vfs);
  const int heldFd = held.get();
  Database opening(db, std::move(held));
  if (result != SQLITE_OK) return statusOf(result);
  // The file SQLite opened must be the one checked above.
  struct stat now;
  if (fstatat(heldFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      now.st_dev != opened.st_dev || now.st_ino != opened.st_ino) {
    return errSecInvalidKeychain;
  }
  status = configureAndVerify(db, heldFd, name);
  if (status != errSecSuccess) return status;
  opening.hold(std::move(file));
  database = std::move(opening);
  return errSecSuccess;
}

OSStatus prepareWrite(sqlite3* db) {
  const char* path = sqlite3_db_filename(db, "main");
  if (path == nullptr || *path == '\0') return errSecSuccess;  // in memory
  // The name is the one SQLite opened, through the held folder where there is one.
  const std::string file(path);
  Descriptor folder(::open(folderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return errSecIO;
  removeStaleTemporaries(folder.get(), nameOf(file));
  bool present = false;
  return checkJournalIn(folder.get(), nameOf(file), present);
}

OSStatus removeKeychainFile(const std::string& path) {
  if (unlink(path.c_str()) != 0) {
    return errno == ENOENT ? errSecNoSuchKeychain : statusOfErrno(errno);
  }
  unlink((path + "-journal").c_str());
  return errSecSuccess;
}

OSStatus removeCreatedKeychainFile(const std::string& path, dev_t device, ino_t inode) {
  Descriptor folder;
  OSStatus status = holdFolder(folderOf(path), FolderRule::shared, folder);
  if (status != errSecSuccess) return status;
  if (reachableByDescriptorPath(folder.get())) return errSecNotAvailable;
  const std::string name = nameOf(path);
  Descriptor file(
      openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return errno == ENOENT ? errSecNoSuchKeychain : errSecInvalidKeychain;
  struct stat opened;
  char header[headerBytes];
  if (fstat(file.get(), &opened) != 0 || !files::isPrivateFile(opened, geteuid())) {
    return errSecInvalidKeychain;
  }
  // Another file at the name is not the one made here, whatever it holds.
  if (opened.st_dev != device || opened.st_ino != inode) return errSecNoSuchKeychain;
  const ssize_t got = pread(file.get(), header, sizeof header, 0);
  if (got < 0) return errSecIO;
  bool hotJournal = false;
  status = checkJournalIn(folder.get(), name, hotJournal);
  if (status == errSecSuccess) {
    status = checkHeader({header, static_cast<std::size_t>(got)},
                         static_cast<std::uint64_t>(opened.st_size), hotJournal);
  }
  if (status != errSecSuccess) return status;
  if (unlinkat(folder.get(), name.c_str(), 0) != 0) {
    return errno == ENOENT ? errSecNoSuchKeychain : statusOfErrno(errno);
  }
  if (hotJournal) unlinkat(folder.get(), (name + "-journal").c_str(), 0);
  return errSecSuccess;
}

}  // namespace keychain
