#include "platform/keychain/keychainPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>


namespace keychain {

namespace {

constexpr const char* relativeFolder = "/ferrowick/keychains";
constexpr const char* fileName = "/login.keychain-db";

// Only absolute values count, as the XDG rules say.
std::string absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
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

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  return std::string(buffer) + "/" + path;
}

}  // namespace keychain
