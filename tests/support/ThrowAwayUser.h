// An unprivileged user made for one test and removed after it, so that tests running as root
// also prove what an ordinary user's run does (file rules, what the kernel lets a peer see).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

namespace testing_support {

class ThrowAwayUser {
 public:
  // Makes the user (a system account with its own group, no home, no login shell). Where that
  // is not possible (not root, no useradd), made() is false and why() says so.
  ThrowAwayUser();
  ~ThrowAwayUser();
  ThrowAwayUser(const ThrowAwayUser&) = delete;
  ThrowAwayUser& operator=(const ThrowAwayUser&) = delete;

  bool made() const { return made_; }
  const std::string& why() const { return why_; }
  const std::string& name() const { return name_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  std::pair<uid_t, gid_t> ids() const { return {uid_, gid_}; }

  // Gives `path` and everything below it to this user.
  void own(const std::string& path) const;

 private:
  bool made_ = false;
  std::string why_;
  std::string name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

}  // namespace testing_support
