// Placeholder until the keychain component lands: every call reports errSecNotAvailable.
#include "Ferrowick/keystore/Security.h"

OSStatus SecItemAdd(const SecDictionary&, SecValue*) { return errSecNotAvailable; }
OSStatus SecItemCopyMatching(const SecDictionary&, SecValue*) { return errSecNotAvailable; }
OSStatus SecAccessCreate(std::string_view, const SecTrustedApplicationList*, SecAccessRef*) {
  return errSecNotAvailable;
}
SecValue SecAccessCopyMatchingACLList(const SecAccessRef&, CFStringRef) { return {}; }
OSStatus SecACLSetContents(const SecACLRef&, const SecTrustedApplicationList*, std::string_view,
                           SecKeychainPromptSelector) {
  return errSecNotAvailable;
}
OSStatus SecKeychainCreate(const char*, std::uint32_t, const void*, bool, const SecAccessRef*,
                           SecKeychainRef*) {
  return errSecNotAvailable;
}
OSStatus SecKeychainDelete(const SecKeychainRef&) { return errSecNotAvailable; }
OSStatus SecKeychainSetUserInteractionAllowed(bool) { return errSecSuccess; }
OSStatus SecRandomCopyBytes(SecRandomRef, std::size_t, void*) { return errSecNotAvailable; }
