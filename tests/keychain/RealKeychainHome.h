// A private home for tests of the real keychain component in this process: HOME and
// XDG_DATA_HOME in a temporary folder, a scripted pinentry on PATH, nothing unlocked, and
// interaction allowed. The previous environment comes back when it goes away.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/RunBinary.h"
#include "tests/support/ScriptedPinentry.h"

namespace keychain_test {

class KeychainHome {
 public:
  KeychainHome();
  ~KeychainHome();
  KeychainHome(const KeychainHome&) = delete;
  KeychainHome& operator=(const KeychainHome&) = delete;

  // Appends answers for the scripted pinentry (its script lines).
  void answer(const std::vector<std::string>& lines);
  // GETPIN and CONFIRM requests the pinentry got so far.
  int promptsShown() const;
  const testing_support::ScriptedPinentry& pinentry() const { return pinentry_; }
  testing_support::ScriptedPinentry& pinentry() { return pinentry_; }

  std::string loginKeychain() const;
  // A path in a private scratch folder.
  std::string scratch(const std::string& name) const { return root_.file("scratch/" + name); }
  const std::string& root() const { return root_.path(); }

 private:
  testing_support::TempDir root_;
  testing_support::ScriptedPinentry pinentry_;
  std::vector<std::string> script_;
  int scriptedAt_ = 0;  // prompts shown when script_ was handed over
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace keychain_test
