// A keychain file on disk: the checks made before SQLite sees it, the connection settings, the
// schema, and atomic creation. Rules this file keeps:
// - a file that is not a regular file of ours, with one link and no group/other bits, is refused
//   before it is opened by SQLite (symlinks included);
// - a refused file is never written: foreign headers are refused from our own read of them;
// - nothing is ever repaired, recreated or overwritten: a new file is built in memory, written
//   to an unnamed file in the folder and linked into place only if the name is still free (a
//   temporary name stands in where unnamed files aren't supported).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainCrypto.h"

namespace keychain {

inline constexpr std::int32_t applicationId = 0x46574B43;  // "FWKC"
inline constexpr std::int32_t formatVersion = 1;

// How strictly the folder holding a keychain is checked.
enum class FolderRule {
  private_,  // ours, not group/other-writable (the login keychain's folder)
  shared,    // ours or root's; group/other-writable only with the sticky bit (e.g. /tmp)
};

class Database {
 public:
  Database() = default;
  explicit Database(sqlite3* db) : db_(db) {}
  Database(Database&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// The status for an SQLite result code (extended codes understood).
OSStatus statusOf(int sqliteResult);
// The status for an errno value from creating, writing or removing a file.
OSStatus statusOfErrno(int error);

// Checks the first 100 bytes of a file (SQLite's header) and its size: ours, our format, not
// truncated. `hotJournal`: a rollback journal lies beside it (an interrupted write, which SQLite
// rolls back on open), so the page count may not match yet.
OSStatus checkHeader(std::string_view header, std::uint64_t fileSize, bool hotJournal);

// Opens an existing keychain. errSecNoSuchKeychain when there is no file at `path`.
OSStatus openKeychain(const std::string& path, FolderRule rule, Database& database);

// The contents of a new keychain: its uuid, KDF parameters, salt and K wrapped.
struct NewKeychain {
  std::string uuid;
  KdfParams kdf;
  std::string salt;
  std::string wrapNonce;
  std::string wrappedKey;
};

// Writes a new keychain file at `path`, atomically. errSecDuplicateKeychain when a file (of
// anyone's) got there first; the caller decides what that means.
OSStatus createKeychainFile(const std::string& path, const NewKeychain& contents);

// Checks a journal beside an open keychain the way opening does: a write made after a prompt
// must not let SQLite roll back (or block on) a journal planted meanwhile.
OSStatus checkJournal(sqlite3* db);

// Removes a keychain file (and a rollback journal left beside it).
OSStatus removeKeychainFile(const std::string& path);

// The folder part of a path ("." for a bare name).
std::string folderOf(const std::string& path);

// Checks a folder under `rule`; errSecNoSuchKeychain when it doesn't exist.
OSStatus checkFolder(const std::string& folder, FolderRule rule);

}  // namespace keychain
