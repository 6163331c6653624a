#include "platform/keychain/keychainPaths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/keychain/keychainFile.h"

namespace keychain {

namespace {

constexpr const char* relativeFolder = "/ferrowick/keychains";
constexpr const char* fileName = "/login.keychain-db";

// Only absolute values count, as the XDG rules say.
std::string absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
}

// A new folder is synced into its parent, or a power loss could take it and the keychain made
// in it away after "created".
OSStatus makeFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0) {
    if (errno == EEXIST) return errSecSuccess;
    return errno == EACCES || errno == EPERM || errno == EROFS ? errSecWrPerm : errSecNotAvailable;
  }
  int parent = ::open(folderOf(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return errSecIO;
  const bool synced = fsync(parent) == 0;
  ::close(parent);
  return synced ? errSecSuccess : errSecIO;
}

}  // namespace

OSStatus loginKeychainPath(std::string& path) {
  std::string base = absoluteVariable("XDG_DATA_HOME");
  if (base.empty()) {
    std::string home = absoluteVariable("HOME");
    if (home.empty()) {
      const passwd* entry = getpwuid(geteuid());
      if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') {
        return errSecNotAvailable;
      }
      home = entry->pw_dir;
    }
    base = home + "/.local/share";
  }
  path = base + relativeFolder + fileName;
  return errSecSuccess;
}

OSStatus prepareLoginFolders(const std::string& keychainPath) {
  const std::string keychains = folderOf(keychainPath);
  const std::string ours = folderOf(keychains);
  // Every missing component, from the top down.
  for (std::size_t slash = keychains.find('/', 1);; slash = keychains.find('/', slash + 1)) {
    std::string folder = slash == std::string::npos ? keychains : keychains.substr(0, slash);
    OSStatus status = makeFolder(folder);
    if (status != errSecSuccess) return status;
    if (slash == std::string::npos) break;
  }
  OSStatus status = checkFolder(ours, FolderRule::private_);
  if (status == errSecSuccess) status = checkFolder(keychains, FolderRule::private_);
  return status == errSecNoSuchKeychain ? errSecNotAvailable : status;
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  return std::string(buffer) + "/" + path;
}

}  // namespace keychain
