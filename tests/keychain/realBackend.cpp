#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/KeychainTesting.h"
#include "tests/keychain/KeychainBackend.h"
#include "tests/keychain/RealKeychainHome.h"
#include "tests/support/ScriptedPinentry.h"

namespace contract {

namespace {

std::unique_ptr<keychain_test::KeychainHome> home;

std::string scriptLine(Answer answer) {
  switch (answer) {
    case Answer::rightPassword:
      return std::string("pin ") + keychainPassword;
    case Answer::wrongPassword:
      return "pin not the password";
    case Answer::cancel:
      return "cancel";
    case Answer::noPrompt:
      return "notty";
    case Answer::allow:
      return "confirm";
    case Answer::deny:
      return "deny";
  }
  return "cancel";
}

}  // namespace

void start() {
  home = std::make_unique<keychain_test::KeychainHome>();
}

void finish() {
  home.reset();
}

void newProcess() {
  keychain::testing::forgetUnlockedKeychains();
}

void answer(const std::vector<Answer>& answers) {
  std::vector<std::string> lines;
  for (Answer a : answers) lines.push_back(scriptLine(a));
  home->answer(lines);
}

int promptsShown() {
  return home->promptsShown();
}

bool keychainFileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string scratchPath(const std::string& name) {
  return home->scratch(name);
}

}  // namespace contract
