#include "Ferrowick/keystore/keyCreation.h"

#include <string>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/frontEnd.h"
#include "Ferrowick/keystore/keyQuery.h"
#include "Ferrowick/keystore/protectedAccess.h"

namespace ferrowick {

namespace {
constexpr std::size_t deviceKeyLength = 32;
constexpr std::string_view keyLabelPrefix = "Peldora · ";
}  // namespace

void runKeyCreation() {
  const SecDictionary query = keyQuery(name);

  if (action == "ensure-key") {
    // Attributes only: this never asks for the secret, so it needs no unlock and no prompt.
    SecDictionary lookup = query;
    lookup.set(kSecReturnAttributes, true);
    OSStatus status = SecItemCopyMatching(lookup, nullptr);
    if (status == errSecSuccess) {
      writeResultLine("exists");
      exitProcess(0);
    }
    if (status != errSecItemNotFound) die("Keychain lookup failed");
  }

  SecureBytes deviceKey(deviceKeyLength);
  if (SecRandomCopyBytes(kSecRandomDefault, deviceKey.size(), deviceKey.data()) != errSecSuccess) {
    die("Random generation failed");
  }

  std::string label(keyLabelPrefix);
  label += name;
  SecAccessRef access = protectedAccess(label);

  SecDictionary add = query;
  add.set(kSecAttrAccess, std::move(access));
  add.set(kSecValueData, std::move(deviceKey));
  OSStatus status = SecItemAdd(add, nullptr);
  if (status == errSecDuplicateItem) die("Key already exists; refusing overwrite");
  if (status != errSecSuccess) die("Keychain insert failed: " + std::to_string(status));

  writeResultLine("created");
}

}  // namespace ferrowick
