// Real PAM without touching /etc: libpam_wrapper (preloaded) redirects PAM's service directory
// to a private one whose "ferrowick" service authenticates with pam_matrix against a password
// file. The password lives only in that file, never in the environment or an argument.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"

namespace testing_support {

class PamEnvironment {
 public:
  // `authBefore`: further "auth ..." lines placed ahead of pam_matrix (see moduleDir()).
  PamEnvironment(const std::string& user, const std::string& password,
                 const std::vector<std::string>& authBefore = {});

  // For running the real binary: LD_PRELOAD of the wrapper, PAM_WRAPPER=1, the service
  // directory, and under sanitizers what they need to run beside a preload.
  std::map<std::string, std::optional<std::string>> environment() const;

  // For in-process tests: points this process's PAM at the service directory. The wrapper
  // itself must already be preloaded (see preloadIntoThisProgram), and it copies the service
  // directory on the first pam_start only: use one PamEnvironment for the whole program.
  void applyToThisProcess() const;

  std::string serviceDir() const;

  // Where the wrapper's test modules are (pam_matrix.so, pam_chatty.so, ...).
  static std::string moduleDir();

  // The lock every wrapped process of this build tree holds while the wrapper starts up.
  static std::string startLockPath();

  // The user name of getuid(), as the tool's PAM transaction uses it.
  static std::string currentUser();

  // Re-executes this program with the wrapper preloaded, unless it already is. Call first
  // thing in main(): the preload only works from the start of a process.
  static void preloadIntoThisProgram(char** argv);

 private:
  TempDir dir_;
};

}  // namespace testing_support
