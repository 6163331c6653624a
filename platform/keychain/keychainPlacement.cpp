#include "platform/keychain/keychainPlacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/files/fileBasics.h"
#include "platform/keychain/keychainCrypto.h"
#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainPlacementSteps.h"

namespace keychain {

// The shipped program passes every step and uses unnamed files where the folder has them; the
// keychain's own tests link definitions of their own to stop at a step or refuse unnamed files.
__attribute__((weak)) void placement::reached(placement::Step) {}
__attribute__((weak)) bool placement::unnamedFilesRefused() {
  return false;
}

namespace {

// "<name>.<16 hex digits>.tmp": the temporary a placement of `name` writes; also that of a
// copy kept beside it, "<name>.replaced-<time>[-<n>].<16 hex digits>.tmp", whose own name no
// later placement uses again.
bool temporaryOf(std::string_view entry, std::string_view name) {
  constexpr std::size_t tail = 1 + 16 + 4;
  if (entry.size() < name.size() + tail || !entry.starts_with(name) || !entry.ends_with(".tmp")) {
    return false;
  }
  const std::string_view middle = entry.substr(name.size(), entry.size() - name.size() - tail);
  if (!middle.empty() && !middle.starts_with(".replaced-")) return false;
  const std::string_view digits = entry.substr(entry.size() - tail);
  if (digits[0] != '.') return false;
  for (char c : digits.substr(1, 16)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Writes all of `bytes` and makes them durable; errno tells why not.
bool writeDurably(int fd, std::string_view bytes) {
  return files::writeAll(fd, bytes) && fsync(fd) == 0;
}

// A file that has no name until it is whole: a process killed at any moment leaves nothing
// behind, and linkat never replaces a name that is taken (EEXIST). Nothing where the
// filesystem can't make unnamed files, or they can't be given a name here.
std::optional<OSStatus> placeUnnamed(int folderFd, const std::string& name,
                                     std::string_view bytes) {
  if (placement::unnamedFilesRefused()) return std::nullopt;
  int fd = openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return std::nullopt;
    return statusOfErrno(errno);
  }
  std::optional<OSStatus> status = errSecSuccess;
  if (!writeDurably(fd, bytes)) {
    status = statusOfErrno(errno);
  } else {
    const std::string self = files::descriptorPath(fd);
    int linked = linkat(AT_FDCWD, self.c_str(), folderFd, name.c_str(), AT_SYMLINK_FOLLOW);
    // Without /proc, AT_EMPTY_PATH (which may need privilege) does the same.
    if (linked != 0 && errno == ENOENT) {
      linked = linkat(fd, "", folderFd, name.c_str(), AT_EMPTY_PATH);
    }
    if (linked != 0) {
      const int error = errno;
      // ENOENT with the folder still there: no /proc, and AT_EMPTY_PATH not permitted.
      struct stat folder;
      const bool unsupported =
          error == EPERM ||
          (error == ENOENT && fstat(folderFd, &folder) == 0 && folder.st_nlink > 0);
      if (unsupported) {
        status = std::nullopt;
      } else {
        status = statusOfErrno(error);
      }
    }
  }
  ::close(fd);
  return status;
}

// Where unnamed files aren't available: a temporary name in the same folder, moved into place
// only if the name is still free.
OSStatus placeNamed(int folderFd, const std::string& name, std::string_view bytes) {
  const std::string temporary = name + "." + files::toHex(randomBytes(8)) + ".tmp";
  int fd = openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
  if (fd < 0) return statusOfErrno(errno);
  // Held until the temporary's name is gone: it tells a live placement from a killed one.
  flock(fd, LOCK_EX);
  placement::reached(placement::Step::temporaryMade);
  OSStatus status = writeDurably(fd, bytes) ? errSecSuccess : statusOfErrno(errno);
  placement::reached(placement::Step::written);
  if (status == errSecSuccess) {
    // renameat2 leaves one link at every moment; where the filesystem lacks it, link() then
    // unlink().
    const bool refused = placement::unnamedFilesRefused();
    int renamed =
        refused ? -1
                : renameat2(folderFd, temporary.c_str(), folderFd, name.c_str(), RENAME_NOREPLACE);
    if (refused) errno = EINVAL;
    if (renamed != 0) {
      if (errno == EINVAL || errno == ENOSYS) {
        if (linkat(folderFd, temporary.c_str(), folderFd, name.c_str(), 0) != 0) {
          status = statusOfErrno(errno);
        }
        placement::reached(placement::Step::linked);
      } else {
        status = statusOfErrno(errno);
      }
    }
  }
  unlinkat(folderFd, temporary.c_str(), 0);
  ::close(fd);
  return status;
}

}  // namespace

// A placement holds a lock on its temporary until the temporary's name is gone: one whose lock
// can be had belongs to a run that was killed, and is removed (a second link of the placed file
// included, which is how a kill between link and unlink leaves it).
void removeStaleTemporaries(int heldFd, const std::string& name) {
  // readdir needs a descriptor of its own; "." keeps it on the held folder.
  int folderFd = openat(heldFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return;
  DIR* dir = fdopendir(folderFd);
  if (dir == nullptr) {
    ::close(folderFd);
    return;
  }
  while (dirent* entry = readdir(dir)) {
    if (!temporaryOf(entry->d_name, name)) continue;
    int fd = openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened, named;
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == geteuid() &&
        flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(folderFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_ino == opened.st_ino && named.st_dev == opened.st_dev) {
      unlinkat(folderFd, entry->d_name, 0);
    }
    ::close(fd);
  }
  closedir(dir);
}

OSStatus placeFile(int folderFd, const std::string& name, std::string_view bytes) {
  removeStaleTemporaries(folderFd, name);
  std::optional<OSStatus> placed = placeUnnamed(folderFd, name, bytes);
  OSStatus status = placed ? *placed : placeNamed(folderFd, name, bytes);
  if (status != errSecSuccess) return status;
  // The new name is durable only once the folder is synced.
  return fsync(folderFd) == 0 ? errSecSuccess : statusOfErrno(errno);
}

}  // namespace keychain
