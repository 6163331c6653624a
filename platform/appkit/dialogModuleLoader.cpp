// The module is looked for only by absolute path: first beside the running executable (a
// build tree), then in the libexec folder next to the executable's bin folder (an install
// under any prefix, a package included), then at the libexec path the binary was built for.
// Never by bare name, which would let LD_LIBRARY_PATH or the cwd pick the code we run. A file
// that someone else could have written is refused.
#include "platform/appkit/dialogModuleLoader.h"

#include <dlfcn.h>
#include <limits.h>
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

// A regular file owned by root or by us that nobody else can write.
bool trustworthy(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != geteuid()) return false;
  return (info.st_mode & S_IWOTH) == 0;
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
