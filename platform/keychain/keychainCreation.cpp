#include "platform/keychain/keychainCreation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainPlacement.h"
#include "platform/keychain/keychainSchema.h"
#include "platform/keychain/keychainStatement.h"
#include "platform/keychain/keychainVfs.h"

namespace keychain {

namespace {

constexpr std::size_t headerBytes = 100;

bool existsIn(int folderFd, const std::string& name) {
  struct stat info;
  return fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// The bytes of a new keychain file, built in memory so that nothing reaches the folder before
// the file is whole. SQLite's memdb writes the same bytes a file with the same history holds
// (change counter and library version included) and keeps no journal anywhere.
OSStatus buildImage(const KeychainRecord& contents, std::string& image) {
  configureLibrary();
  sqlite3* db = nullptr;
  int result =
      sqlite3_open_v2("new-keychain", &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXRESCODE, "memdb");
  Database database(db);
  if (result != SQLITE_OK) return statusOf(result);
  OSStatus status = configureNewDatabase(db);
  if (status == errSecSuccess) status = writeSchema(db, contents);
  if (status != errSecSuccess) return status;
  sqlite3_int64 size = 0;
  unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
  if (bytes == nullptr) return errSecAllocate;
  image.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
  sqlite3_free(bytes);
  return image.size() >= headerBytes ? errSecSuccess : errSecIO;
}

}  // namespace

OSStatus createKeychainFile(const std::string& path, const KeychainRecord& contents,
                            struct stat* placed) {
  Descriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return statusOfErrno(errno);
  OSStatus status = createKeychainFileIn(folder.get(), nameOf(path), contents);
  if (status != errSecSuccess || placed == nullptr) return status;
  // The file is in place either way; unknown (zero) is the caller's to treat as such.
  if (fstatat(folder.get(), nameOf(path).c_str(), placed, AT_SYMLINK_NOFOLLOW) != 0) *placed = {};
  return errSecSuccess;
}

OSStatus createKeychainFileIn(int folderFd, const std::string& name,
                              const KeychainRecord& contents) {
  removeStaleTemporaries(folderFd, name);
  if (existsIn(folderFd, name)) return errSecDuplicateKeychain;
  std::string image;
  OSStatus status = buildImage(contents, image);
  if (status != errSecSuccess) return status;
  return placeFile(folderFd, name, image);
}

}  // namespace keychain
