// Test-only: stores items in the user's keychain through the keychain component's own
// SecItemAdd, with the tool's key query and access object, for what the tool itself never
// makes (a secret of the wrong length) and for filling a keychain quickly.
//
//   keychain_item_tool add <name> <length>    one item whose secret is <length> random bytes
//   keychain_item_tool fill <prefix> <count>  <count> 32-byte items <prefix>0, <prefix>1, ...
//
// Prints nothing on success. On failure: the status on standard error, exit status 1.
// Secrets are never printed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/keystore/Security.h"
#include "Ferrowick/keystore/keyQuery.h"
#include "Ferrowick/keystore/protectedAccess.h"

namespace {

OSStatus addItem(const std::string& name, std::size_t length) {
  SecureBytes secret(length);
  if (length > 0) {
    OSStatus random = SecRandomCopyBytes(kSecRandomDefault, secret.size(), secret.data());
    if (random != errSecSuccess) return random;
  }
  SecDictionary add = ferrowick::keyQuery(name);
  add.set(kSecAttrAccess, ferrowick::protectedAccess("Peldora · " + name));
  add.set(kSecValueData, std::move(secret));
  return SecItemAdd(add, nullptr);
}

int fail(OSStatus status) {
  std::fprintf(stderr, "status %d\n", static_cast<int>(status));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  hardenProcess();
  const std::string command = argc == 4 ? argv[1] : "";
  if (command == "add") {
    OSStatus status = addItem(argv[2], std::strtoul(argv[3], nullptr, 10));
    return status == errSecSuccess ? 0 : fail(status);
  }
  if (command == "fill") {
    const unsigned long count = std::strtoul(argv[3], nullptr, 10);
    // The first add unlocks (or creates) the keychain; the rest reuse that in this process.
    for (unsigned long i = 0; i < count; ++i) {
      OSStatus status = addItem(argv[2] + std::to_string(i), 32);
      if (status != errSecSuccess) return fail(status);
    }
    return 0;
  }
  std::fprintf(stderr, "usage: keychain_item_tool add <name> <length> | fill <prefix> <count>\n");
  return 2;
}
