// Helpers for the real-only keychain tests: a login keychain made in a private home, items in
// it, and raw SQLite access to the file for tampering with it the way an attacker could.
#pragma once

#include <string>
#include <vector>

#include "Ferrowick/keystore/Security.h"
#include "tests/keychain/RealKeychainHome.h"

namespace keychain_test {

inline constexpr const char* password = "fixture password";
SecAccessRef openAccess();
SecAccessRef passwordAccess();

OSStatus addItem(std::string_view account, const SecureBytes& data, const SecAccessRef& access,
                 const SecKeychainRef& keychain = nullptr);
// Reads the secret; `data` is set only on success.
OSStatus readData(std::string_view account, SecureBytes& data,
                  const SecKeychainRef& keychain = nullptr);
OSStatus lookup(std::string_view account, const SecKeychainRef& keychain = nullptr);

// Creates a keychain at `path` (unlocked in this process), making the folders first.
SecKeychainRef createKeychainAt(const std::string& path);

// Runs SQL on a file directly, outside the component; throws on failure.
void runSql(const std::string& path, const std::string& sql);
// One integer from a query run directly on the file.
long long queryInteger(const std::string& path, const std::string& sql);

// The bytes of every entry of a folder, by name: "nothing changed" covers new files too.
std::vector<std::pair<std::string, std::string>> folderSnapshot(const std::string& folder);

}  // namespace keychain_test
