#include "Ferrowick/keystore/protectedAccess.h"

#include <vector>

#include "Ferrowick/frontEnd.h"

namespace ferrowick {

SecAccessRef protectedAccess(std::string_view label) {
  // Present but empty: no application is trusted, so every use must ask the user.
  const SecTrustedApplicationList noApplications;

  SecAccessRef access;
  if (SecAccessCreate(label, &noApplications, &access) != errSecSuccess || !access) {
    die("Cannot create Keychain access policy");
  }

  SecValue decryptEntries = SecAccessCopyMatchingACLList(access, kSecACLAuthorizationDecrypt);
  const auto* entries = std::get_if<std::vector<SecACLRef>>(&decryptEntries);
  if (entries == nullptr || entries->empty()) die("Missing decryption ACL");

  for (const SecACLRef& entry : *entries) {
    if (SecACLSetContents(entry, &noApplications, label, kSecKeychainPromptRequirePassphase) !=
        errSecSuccess) {
      die("Cannot require Keychain confirmation");
    }
  }
  return access;
}

}  // namespace ferrowick
