// A keychain file on disk: the checks made before SQLite sees it and the connection settings
// (creation is in keychainCreation.h, placing a file in keychainPlacement.h). Rules this file
// keeps:
// - a file that is not a regular file of ours, with one link and no group/other bits, is refused
//   before it is opened by SQLite (symlinks included), and so is such a journal;
// - a refused file is never written: foreign headers are refused from our own read of them;
// - nothing is ever repaired, recreated or overwritten.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainCrypto.h"
#include "platform/keychain/keychainFolders.h"

namespace keychain {

inline constexpr std::int32_t applicationId = 0x46574B43;  // "FWKC"
inline constexpr std::int32_t formatVersion = 1;

// A descriptor this value alone closes (-1: none).
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// A connection, and the folder it was opened through when that is held by descriptor: SQLite
// reaches the file and its journal through /proc/self/fd/<folder>, so the folder stays open as
// long as the connection. The file itself is held with a shared flock meanwhile (SQLite's own
// locks are fcntl ones and come and go with each transaction).
class Database {
 public:
  Database() = default;
  explicit Database(sqlite3* db) : db_(db) {}
  Database(sqlite3* db, Descriptor folder) : db_(db), folder_(std::move(folder)) {}
  Database(Database&& other) noexcept
      : db_(other.db_), folder_(std::move(other.folder_)), file_(std::move(other.file_)) {
    other.db_ = nullptr;
  }
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();
  sqlite3* get() const { return db_; }
  // Keeps the keychain file open (and its shared flock) as long as the connection.
  void hold(Descriptor file) { file_ = std::move(file); }

 private:
  sqlite3* db_ = nullptr;
  Descriptor folder_;
  Descriptor file_;
};

// The status for an errno value from creating, writing or removing a file.
OSStatus statusOfErrno(int error);

// Checks the first 100 bytes of a file (SQLite's header) and its size: ours, our format, not
// truncated. `hotJournal`: a rollback journal lies beside it (an interrupted write, which SQLite
// rolls back on open), so the page count may not match yet.
OSStatus checkHeader(std::string_view header, std::uint64_t fileSize, bool hotJournal);

// Opens an existing keychain. errSecNoSuchKeychain when there is no file at `path`. With
// FolderRule::login, `path` is the login keychain's and its folders are walked from the data
// home by descriptor; otherwise only its own folder is held and checked.
OSStatus openKeychain(const std::string& path, FolderRule rule, Database& database);
// The same for the file `name` in a folder already held (and checked): a path component swapped
// after the folder was opened can't redirect it. errSecNotAvailable without /proc.
OSStatus openKeychainIn(int folderFd, const std::string& name, Database& database);

// The settings of a connection to a new, empty database that will become a keychain file.
OSStatus configureNewDatabase(sqlite3* db);

// Before a write into an open keychain. Checks a journal beside it the way opening does (a
// write made after a prompt must not let SQLite roll back, or block on, a journal planted
// meanwhile) and removes what killed creations of its name left beside it, which a lookup
// leaves alone unless it stands in the way.
OSStatus prepareWrite(sqlite3* db);

// Removes a keychain file (and a rollback journal left beside it).
OSStatus removeKeychainFile(const std::string& path);
// Removes the keychain file this process created at `path` (device and inode as placed) where
// SQLite can't be given it (no /proc; errSecNotAvailable elsewhere, where the keychain is opened
// and checked instead). Through its held folder (checked as a shared one), and only if the file
// there is still that file, private and ours with a keychain's header, and any journal beside it
// passes the journal check.
OSStatus removeCreatedKeychainFile(const std::string& path, dev_t device, ino_t inode);

}  // namespace keychain
