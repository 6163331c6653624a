#include "platform/keychain/keychainFolders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/fileTrust.h"
#include "platform/keychain/keychainFile.h"

namespace keychain {

namespace {

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

std::string nameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

OSStatus checkFolder(const std::string& folder, FolderRule rule) {
  Descriptor held;
  return holdFolder(folder, rule, held);
}

OSStatus holdFolder(const std::string& folder, FolderRule rule, Descriptor& held) {
  Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT ? errSecNoSuchKeychain : errSecNotAvailable;
  OSStatus status = checkHeldFolder(fd.get(), rule);
  if (status == errSecSuccess) held = std::move(fd);
  return status;
}

OSStatus checkHeldFolder(int folderFd, FolderRule rule) {
  struct stat info;
  if (fstat(folderFd, &info) != 0 || !S_ISDIR(info.st_mode)) return errSecNotAvailable;
  const bool trusted = rule == FolderRule::shared ? files::isSafeFolder(info, geteuid())
                                                  : files::isPrivateFolder(info, geteuid());
  return trusted ? errSecSuccess : errSecNotAvailable;
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

}  // namespace keychain
