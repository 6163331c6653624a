// The module is looked for only by absolute path: first beside the running executable (a
// build tree), then in the libexec folder next to the executable's bin folder (an install
// under any prefix, a package included), then at the libexec path the binary was built for.
// Never by bare name, which would let LD_LIBRARY_PATH or the cwd pick the code we run. A file
// that someone else could have written, or that sits in a folder someone else can write, is
// refused.
#include "platform/appkit/dialogModuleLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr const char* moduleFileName = FERROWICK_DIALOG_MODULE_NAME;

std::string executableDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  std::string text(path, static_cast<std::size_t>(length));
  std::size_t slash = text.rfind('/');
  if (slash == std::string::npos) return {};
  return text.substr(0, slash == 0 ? 1 : slash);
}

std::vector<std::string> candidatePaths() {
  std::vector<std::string> paths;
  std::string beside = executableDirectory();
  if (!beside.empty()) {
    paths.push_back(beside + "/" + moduleFileName);
    paths.push_back(beside + "/" + FERROWICK_LIBEXEC_FROM_BIN + "/" + moduleFileName);
  }
  paths.push_back(std::string(FERROWICK_LIBEXEC_DIR) + "/" + moduleFileName);
  return paths;
}

// Owned by root or by us, and writable by nobody else (group included).
bool ownedAndClosed(const struct stat& info) {
  if (info.st_uid != 0 && info.st_uid != geteuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The file, after links, must be a regular one, and it and its folder must be ours or root's:
// whoever can write the folder can swap the file.
bool trustworthy(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return false;
  struct stat info;
  if (stat(resolved, &info) != 0 || !S_ISREG(info.st_mode) || !ownedAndClosed(info)) return false;
  std::string folder(resolved);
  folder.erase(folder.rfind('/') == 0 ? 1 : folder.rfind('/'));
  struct stat folderInfo;
  return stat(folder.c_str(), &folderInfo) == 0 && ownedAndClosed(folderInfo);
}

DialogModule open() {
  for (const std::string& path : candidatePaths()) {
    if (path.front() != '/' || !trustworthy(path)) continue;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) continue;
    DialogModule module;
    module.runAlert =
        reinterpret_cast<FerrowickRunAlert>(dlsym(handle, FERROWICK_RUN_ALERT_SYMBOL));
    module.runPanel =
        reinterpret_cast<FerrowickRunPanel>(dlsym(handle, FERROWICK_RUN_PANEL_SYMBOL));
    if (module.runAlert != nullptr && module.runPanel != nullptr) return module;
    // A module of another layout: don't call into it, and don't try a second copy of GTK.
    return {};
  }
  return {};
}

}  // namespace

const DialogModule* dialogModule() {
  static const DialogModule module = open();
  return module.runAlert != nullptr ? &module : nullptr;
}
