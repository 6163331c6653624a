#include "tests/keychain/RealKeychainFixture.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "Ferrowick/keystore/keyQuery.h"

namespace keychain_test {

namespace {

SecAccessRef accessWith(const SecTrustedApplicationList* applications,
                        SecKeychainPromptSelector selector) {
  const SecTrustedApplicationList none;
  SecAccessRef access;
  if (SecAccessCreate("fixture", &none, &access) != errSecSuccess) {
    throw std::runtime_error("SecAccessCreate failed");
  }
  SecValue entries = SecAccessCopyMatchingACLList(access, kSecACLAuthorizationDecrypt);
  for (const SecACLRef& entry : std::get<std::vector<SecACLRef>>(entries)) {
    SecACLSetContents(entry, applications, "fixture", selector);
  }
  return access;
}

}  // namespace

SecAccessRef openAccess() {
  return accessWith(nullptr, 0);
}

SecAccessRef passwordAccess() {
  const SecTrustedApplicationList none;
  return accessWith(&none, kSecKeychainPromptRequirePassphase);
}

OSStatus addItem(std::string_view account, const SecureBytes& data, const SecAccessRef& access,
                 const SecKeychainRef& keychain) {
  SecDictionary add = ferrowick::keyQuery(account);
  if (keychain) add.set(kSecUseKeychain, keychain);
  add.set(kSecAttrAccess, access);
  add.set(kSecValueData, data);
  return SecItemAdd(add, nullptr);
}

OSStatus readData(std::string_view account, SecureBytes& data, const SecKeychainRef& keychain) {
  SecDictionary query = ferrowick::keyQuery(account);
  if (keychain) query.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
  query.set(kSecReturnData, true);
  SecValue result;
  OSStatus status = SecItemCopyMatching(query, &result);
  if (const auto* bytes = std::get_if<SecureBytes>(&result)) data = *bytes;
  if (status != errSecSuccess && !std::holds_alternative<std::monostate>(result)) {
    throw std::runtime_error("a failed read returned a result");
  }
  return status;
}

OSStatus lookup(std::string_view account, const SecKeychainRef& keychain) {
  SecDictionary query = ferrowick::keyQuery(account);
  if (keychain) query.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
  query.set(kSecReturnAttributes, true);
  return SecItemCopyMatching(query, nullptr);
}

SecKeychainRef createKeychainAt(const std::string& path) {
  // mkdir -p, private.
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
  SecKeychainRef keychain;
  OSStatus status = SecKeychainCreate(path.c_str(), static_cast<std::uint32_t>(strlen(password)),
                                      password, false, nullptr, &keychain);
  if (status != errSecSuccess || !keychain) {
    throw std::runtime_error("SecKeychainCreate failed: " + std::to_string(status));
  }
  return keychain;
}

void runSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  int result =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  char* error = nullptr;
  if (result == SQLITE_OK) result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (result != SQLITE_OK) throw std::runtime_error("sql failed: " + message);
}

long long queryInteger(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  long long value = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    value = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

std::vector<std::pair<std::string, std::string>> folderSnapshot(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> entries;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return entries;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.emplace_back(name, testing_support::readFile(folder + "/" + name));
  }
  closedir(dir);
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace keychain_test
