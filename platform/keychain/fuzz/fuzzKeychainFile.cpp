// A whole keychain file from the input: opened, looked up and read the way a request would
// (everything short of the password), then checked to be byte-for-byte what it was.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/keychain/accessObject.h"
#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainSchema.h"

namespace {

const std::string& keychainPath() {
  // A private folder: FUZZ_KEYCHAIN_DIR (made by the caller) or a new temporary one.
  static const std::string path = [] {
    if (const char* given = std::getenv("FUZZ_KEYCHAIN_DIR")) {
      return std::string(given) + "/login.keychain-db";
    }
    char folder[] = "/tmp/ferrowick-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    return std::string(folder) + "/login.keychain-db";
  }();
  return path;
}

void writeAll(const std::string& path, const std::uint8_t* data, std::size_t size) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) std::abort();
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  close(fd);
}

std::string readAll(const std::string& path) {
  std::string contents;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return contents;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    contents.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return contents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = keychainPath();
  writeAll(path, data, size);
  {
    keychain::Database database;
    if (keychain::openKeychain(path, keychain::FolderRule::private_, database) == errSecSuccess) {
      const keychain::ItemKey key{"genp", "org.quennet.peldora.v1", "fixture"};
      bool found = false;
      (void)keychain::itemExists(database.get(), key, found);
      keychain::ItemRecord item;
      if (keychain::readItem(database.get(), key, item) == errSecSuccess) {
        (void)keychain::wellFormed(item);
        (void)keychain::parseAccess(item.access);
      }
      keychain::KeychainRecord record;
      (void)keychain::readKeychainRecord(database.get(), record);
    }
  }
  // Reading never writes: whatever the file held, it still holds.
  if (readAll(path) != std::string(reinterpret_cast<const char*>(data), size)) std::abort();
  return 0;
}
