#include "tests/keychain/RealKeychainHome.h"

#include <sys/stat.h>

#include <cstdlib>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/KeychainTesting.h"

namespace keychain_test {

namespace {

void setVariable(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

}  // namespace

KeychainHome::KeychainHome() {
  std::map<std::string, std::optional<std::string>> wanted = pinentry_.environment();
  wanted["HOME"] = root_.file("home");
  wanted["XDG_DATA_HOME"] = root_.file("home/data");
  for (const auto& [name, value] : wanted) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    setVariable(name, value);
  }
  mkdir(root_.file("home").c_str(), 0700);
  mkdir(root_.file("scratch").c_str(), 0700);
  keychain::testing::forgetUnlockedKeychains();
  SecKeychainSetUserInteractionAllowed(true);
}

KeychainHome::~KeychainHome() {
  keychain::testing::forgetUnlockedKeychains();
  SecKeychainSetUserInteractionAllowed(true);
  for (const auto& [name, value] : saved_) setVariable(name, value);
}

void KeychainHome::answer(const std::vector<std::string>& lines) {
  // A new script starts from its first line: keep the part of the old one not used yet.
  std::size_t used = static_cast<std::size_t>(promptsShown() - scriptedAt_);
  std::vector<std::string> next;
  for (std::size_t i = used; i < script_.size(); ++i) next.push_back(script_[i]);
  next.insert(next.end(), lines.begin(), lines.end());
  script_ = next;
  scriptedAt_ = promptsShown();
  pinentry_.script(script_);
}

int KeychainHome::promptsShown() const {
  int prompts = 0;
  for (const auto& entry : pinentry_.log()) {
    if (entry.command == "GETPIN" || entry.command == "CONFIRM") ++prompts;
  }
  return prompts;
}

std::string KeychainHome::loginKeychain() const {
  return root_.file("home/data/ferrowick/keychains/login.keychain-db");
}

}  // namespace keychain_test
