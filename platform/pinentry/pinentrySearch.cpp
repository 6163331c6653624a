#include "platform/pinentry/pinentrySearch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

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

// Only root or this user can have put it there or changed it.
bool ownedSafely(const std::string& path, bool folder) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != getuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string folderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> findPinentry() {
  for (const auto& dir : searchPath()) {
    char resolved[PATH_MAX];
    if (realpath((dir + "/pinentry").c_str(), resolved) == nullptr) continue;
    std::string program = resolved;
    if (access(program.c_str(), X_OK) != 0 || !ownedSafely(program, false) ||
        !ownedSafely(folderOf(program), true) || !ownedSafely(dir, true)) {
      continue;
    }
    return program;
  }
  return std::nullopt;
}

}  // namespace pinentry
