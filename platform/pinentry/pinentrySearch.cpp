#include "platform/pinentry/pinentrySearch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/files/trustedPath.h"

namespace pinentry {

namespace {

// The PATH entries that name a folder whatever the working directory is: an empty or relative
// entry would run whatever pinentry lies where we happen to have been started.
std::vector<std::string> searchPath() {
  const char* path = std::getenv("PATH");
  std::string value = path != nullptr ? path : "/bin:/usr/bin";  // the shell's default
  std::vector<std::string> dirs;
  std::size_t start = 0;
  while (true) {
    std::size_t colon = value.find(':', start);
    std::string dir = value.substr(start, colon == std::string::npos ? colon : colon - start);
    if (dir.starts_with('/')) dirs.push_back(dir);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return dirs;
}

}  // namespace

int openPinentry(uid_t uid) {
  for (const auto& dir : searchPath()) {
    int fd = files::openTrustedFile(dir + "/pinentry", uid);
    if (fd < 0) continue;
    if (faccessat(fd, "", X_OK, AT_EMPTY_PATH | AT_EACCESS) == 0) return fd;
    close(fd);
  }
  return -1;
}

}  // namespace pinentry
