// The module is looked for only by absolute path: first beside the running executable (a
// build tree), then in the libexec folder next to the executable's bin folder (an install
// under any prefix, a package included), then at the libexec path the binary was built for.
// Never by bare name, which would let LD_LIBRARY_PATH or the cwd pick the code we run. The
// file is reached from / by descriptor with the rule the pinentry gets (a file, link or folder
// on the way that someone else could have written is refused), and opened through that
// descriptor, so the module checked is the module loaded.
#include "platform/appkit/dialogModuleLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/files/fileBasics.h"
#include "platform/files/trustedPath.h"

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

DialogModule open() {
  for (const std::string& path : candidatePaths()) {
    if (path.front() != '/') continue;
    int folder = -1;
    std::string name;
    int fd = files::openTrustedFile(path, geteuid(), &folder, &name);
    if (fd < 0) continue;
    // Through the held folder, which nobody else can change, under the module's own name.
    void* handle = dlopen(files::descriptorPath(folder, name).c_str(), RTLD_NOW | RTLD_LOCAL);
    close(fd);
    close(folder);
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
