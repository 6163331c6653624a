#include "platform/files/trustedPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <deque>
#include <string_view>
#include <vector>

#include "platform/files/fileTrust.h"

namespace files {

namespace {

// As the kernel's own limit on links followed in one lookup.
constexpr int maxLinks = 40;

// The names of a path, in order, in front of `names`.
void prependNames(std::deque<std::string>& names, std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  names.insert(names.begin(), parts.begin(), parts.end());
}

class Held {
 public:
  explicit Held(int fd = -1) : fd_(fd) {}
  ~Held() {
    if (fd_ >= 0) close(fd_);
  }
  Held(Held&& other) noexcept : fd_(other.release()) {}
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  Held& operator=(Held&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The root folder, held, if it passes the folder rule.
Held openRoot(uid_t uid) {
  Held root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat info {};
  if (root.get() < 0 || fstat(root.get(), &info) != 0 || !files::isSafeFolder(info, uid)) {
    return Held();
  }
  return root;
}

}  // namespace

int openTrustedFile(const std::string& path, uid_t uid, int* holder, std::string* nameInHolder) {
  if (!path.starts_with('/')) return -1;
  std::deque<std::string> names;
  prependNames(names, path);
  Held folder = openRoot(uid);
  struct stat folderInfo {};
  if (folder.get() < 0 || fstat(folder.get(), &folderInfo) != 0) return -1;
  int links = 0;
  while (!names.empty()) {
    const std::string name = std::move(names.front());
    names.pop_front();
    if (name == ".") continue;
    // Each step from the folder held, never by a path someone could have changed since.
    Held next(openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (next.get() < 0 || fstat(next.get(), &info) != 0) return -1;
    // In a folder others may write (a sticky one), only an entry of ours or root's stays put.
    if (!files::ownedByUserOrRoot(info, uid)) return -1;
    if (S_ISDIR(info.st_mode)) {
      if (!files::isSafeFolder(info, uid)) return -1;
      folder = std::move(next);
      folderInfo = info;
      continue;
    }
    // A folder that holds a link or the file itself takes no one else's entries at all.
    if (!files::isClosedFolder(folderInfo, uid)) return -1;
    if (S_ISLNK(info.st_mode)) {
      if (++links > maxLinks) return -1;
      char target[PATH_MAX];
      ssize_t length = readlinkat(next.get(), "", target, sizeof target);
      if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return -1;
      std::string_view text(target, static_cast<std::size_t>(length));
      prependNames(names, text);
      if (text.starts_with('/')) {
        folder = openRoot(uid);
        if (folder.get() < 0 || fstat(folder.get(), &folderInfo) != 0) return -1;
      }
      continue;
    }
    if (!names.empty() || !files::isTrustedProgram(info, uid)) return -1;
    if (holder != nullptr) *holder = folder.release();
    if (nameInHolder != nullptr) *nameInHolder = name;
    return next.release();
  }
  return -1;  // the path names a folder
}

}  // namespace files
