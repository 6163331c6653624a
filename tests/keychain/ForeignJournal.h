// Another user's hot rollback journal, for tests of a keychain kept in a shared sticky folder:
// rolled into a keychain it would overwrite its pages with pages of a different database.
#pragma once

#include <sys/types.h>

#include <string>

namespace keychain_test {

// Someone who is neither root nor us (nobody, on Debian).
uid_t strangerUid();

// The bytes of a hot journal of a foreign database of 4096-byte pages, as a run killed in the
// middle of a write leaves it.
std::string foreignHotJournal();

// A folder of mode 1777 in /tmp, removed with what is in it when this goes away.
class StickyFolder {
 public:
  StickyFolder();
  ~StickyFolder();
  StickyFolder(const StickyFolder&) = delete;
  StickyFolder& operator=(const StickyFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// As `uid`, writes `journal` to a file of that user's (mode 0666) in `folder` and hard-links it
// as `name`; true when the link was made.
bool plantAs(uid_t uid, const std::string& folder, const std::string& name,
             const std::string& journal);

}  // namespace keychain_test
