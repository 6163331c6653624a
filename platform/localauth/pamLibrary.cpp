#include "platform/localauth/pamLibrary.h"

#include <dlfcn.h>

namespace localauth {

namespace {

constexpr const char* systemPam = "libpam.so.0";

template <typename Function>
bool resolve(Function& function, const char* name, const char* soname, void*& handle) {
  void* found = dlsym(RTLD_DEFAULT, name);
  if (found == nullptr) {
    // Never closed: PAM's modules keep pointers into it until the process ends.
    if (handle == nullptr) handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) found = dlsym(handle, name);
  }
  function = reinterpret_cast<Function>(found);
  return found != nullptr;
}

}  // namespace

std::optional<PamLibrary> loadPamLibrary(const char* soname) {
  PamLibrary pam;
  void* handle = nullptr;
  if (resolve(pam.start, "pam_start", soname, handle) &&
      resolve(pam.authenticate, "pam_authenticate", soname, handle) &&
      resolve(pam.accountManagement, "pam_acct_mgmt", soname, handle) &&
      resolve(pam.end, "pam_end", soname, handle)) {
    return pam;
  }
  return std::nullopt;
}

const PamLibrary* pamLibrary() {
  static const std::optional<PamLibrary> loaded = loadPamLibrary(systemPam);
  return loaded ? &*loaded : nullptr;
}

}  // namespace localauth
