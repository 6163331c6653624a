// The real binary in a private home (see privateHomeOptions), with the scripted pinentry on
// PATH and, for the runs that ask the owner, real PAM (pam_matrix behind libpam_wrapper).
// The fixture end-to-end tests of the key operations share.
#pragma once

#include <string>
#include <vector>

#include "tests/support/PamEnvironment.h"
#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace testing_support {

class EndToEnd {
 public:
  explicit EndToEnd(const std::string& ownerPassword);

  // Whether `operation` asks the owner (and so needs PAM).
  static bool asksTheOwner(const std::string& operation);

  // What a run needs: the private home and the pinentry, and PAM when `withPam`. The wrapper
  // is left out of the runs that don't need it: its preload sets itself up in every process
  // it enters.
  RunOptions options(bool withPam) const;

  // `Ferrowick <operation> <operand>` with the pinentry answering `answers`, prompt by prompt.
  RunResult run(const std::string& operation, const std::string& operand,
                const std::vector<std::string>& answers);
  RunResult run(const std::string& operation, const std::string& operand,
                const std::vector<std::string>& answers, const RunOptions& options);

  // The login keychain's file in the private home.
  std::string keychainFile() const;

  TempDir home;
  ScriptedPinentry pinentry;
  PamEnvironment pam;
};

}  // namespace testing_support
