// Writes the seed corpus of the fuzz targets from a real keychain: run once, results committed.
//   make_keychain_fuzz_seeds <corpus folder>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/accessObject.h"

namespace {

void save(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string corpus = argv[1];
  for (const char* target : {"access_blob", "keychain_header", "keychain_file"}) {
    mkdir((corpus + "/" + target).c_str(), 0755);
  }

  const SecTrustedApplicationList none;
  SecAccessRef access;
  SecAccessCreate("Peldora · fixture", &none, &access);
  auto entries = std::get<std::vector<SecACLRef>>(
      SecAccessCopyMatchingACLList(access, kSecACLAuthorizationDecrypt));
  for (const SecACLRef& entry : entries) {
    SecACLSetContents(entry, &none, "Peldora · fixture", kSecKeychainPromptRequirePassphase);
  }
  save(corpus + "/access_blob/protected", keychain::serializeAccess(*access));
  save(corpus + "/access_blob/open", keychain::serializeAccess(keychain::newAccess("x", nullptr)));

  char folder[] = "/tmp/ferrowick-seeds-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string path = std::string(folder) + "/seed.keychain-db";
  SecKeychainRef keychainRef;
  if (SecKeychainCreate(path.c_str(), 4, "seed", false, nullptr, &keychainRef) != 0) return 1;
  SecDictionary add;
  add.set(kSecClass, SecConstant{kSecClassGenericPassword});
  add.set(kSecAttrService, std::string("org.quennet.peldora.v1"));
  add.set(kSecAttrAccount, std::string("fixture"));
  add.set(kSecUseKeychain, keychainRef);
  add.set(kSecAttrAccess, access);
  add.set(kSecValueData, SecureBytes(std::string_view("0123456789abcdef0123456789abcdef")));
  if (SecItemAdd(add, nullptr) != 0) return 1;
  const std::string file = load(path);
  save(corpus + "/keychain_file/one-item", file);
  save(corpus + "/keychain_header/plain", std::string(1, '\0') + file.substr(0, 100));
  save(corpus + "/keychain_header/journal", std::string(1, '\1') + file.substr(0, 100));
  SecKeychainDelete(keychainRef);
  rmdir(folder);
  std::printf("seeds written to %s\n", corpus.c_str());
  return 0;
}
