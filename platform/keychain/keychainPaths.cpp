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

// The same for a folder of ours, made in a folder held by descriptor.
OSStatus makeFolderIn(int parentFd, const char* name) {
  if (mkdirat(parentFd, name, 0700) != 0) {
    if (errno == EEXIST) return errSecSuccess;
    return errno == EACCES || errno == EPERM || errno == EROFS ? errSecWrPerm : errSecNotAvailable;
  }
  return fsync(parentFd) == 0 ? errSecSuccess : errSecIO;
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

OSStatus holdLoginFolder(const std::string& keychainPath, bool create, Descriptor& held) {
  const std::string dataHome = folderOf(folderOf(folderOf(keychainPath)));
  // Above the data home the path is the user's own choice; it is made as before.
  if (create) {
    for (std::size_t slash = dataHome.find('/', 1);; slash = dataHome.find('/', slash + 1)) {
      OSStatus status =
          makeFolder(slash == std::string::npos ? dataHome : dataHome.substr(0, slash));
      if (status != errSecSuccess) return status;
      if (slash == std::string::npos) break;
    }
  }
  Descriptor folder(::open(dataHome.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0)
    return errno == ENOENT && !create ? errSecNoSuchKeychain : errSecNotAvailable;
  // Ours, one step at a time by descriptor: a symlink, or a folder swapped in by path later,
  // can't move the keychain elsewhere.
  for (const char* name : {"ferrowick", "keychains"}) {
    OSStatus status = create ? makeFolderIn(folder.get(), name) : errSecSuccess;
    if (status != errSecSuccess) return status;
    Descriptor next(openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0)
      return errno == ENOENT && !create ? errSecNoSuchKeychain : errSecNotAvailable;
    status = checkHeldFolder(next.get(), FolderRule::private_);
    if (status != errSecSuccess) return status;
    folder = std::move(next);
  }
  held = std::move(folder);
  return errSecSuccess;
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  return std::string(buffer) + "/" + path;
}

}  // namespace keychain
