#include "tests/support/ThrowAwayUser.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "tests/support/RunBinary.h"

namespace testing_support {

ThrowAwayUser::ThrowAwayUser() {
  if (geteuid() != 0) {
    why_ = "not root: no throw-away user can be made";
    return;
  }
  // Unique per process and per object, as test programs run side by side.
  static std::atomic<int> serial{0};
  name_ = "ferrowick-tests-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
  RunResult made =
      run("/usr/sbin/useradd", {"--system", "--user-group", "--no-create-home", "--home-dir",
                                "/nonexistent", "--shell", "/usr/sbin/nologin", name_});
  passwd* entry = made.status == 0 ? getpwnam(name_.c_str()) : nullptr;
  if (entry == nullptr) {
    why_ = "useradd " + name_ + " failed: " + made.err;
    return;
  }
  uid_ = entry->pw_uid;
  gid_ = entry->pw_gid;
  made_ = true;
}

ThrowAwayUser::~ThrowAwayUser() {
  if (made_) run("/usr/sbin/userdel", {name_});
}

void ThrowAwayUser::own(const std::string& path) const {
  if (lchown(path.c_str(), uid_, gid_) != 0) throw std::runtime_error("chown " + path);
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(path))) return;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
    if (lchown(entry.path().c_str(), uid_, gid_) != 0) {
      throw std::runtime_error("chown " + entry.path().string());
    }
  }
}

}  // namespace testing_support
