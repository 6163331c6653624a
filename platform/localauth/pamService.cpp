#include "platform/localauth/pamService.h"

#include <sys/stat.h>

namespace localauth {

bool pamServiceInstalled(const std::string& service, std::span<const std::string> folders) {
  bool anyFolder = false;
  for (const auto& folder : folders) {
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    anyFolder = true;
    if (stat((folder + "/" + service).c_str(), &info) == 0 && S_ISREG(info.st_mode)) return true;
  }
  return !anyFolder;
}

}  // namespace localauth
