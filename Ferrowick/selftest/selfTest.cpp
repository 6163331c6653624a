#include "Ferrowick/selftest/selfTest.h"

#include <cstdint>
#include <string>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/frontEnd.h"
#include "Ferrowick/keystore/keyQuery.h"
#include "Ferrowick/keystore/protectedAccess.h"

namespace ferrowick {

namespace {

constexpr std::string_view fixtureItemName = "fixture";
constexpr std::string_view fixtureLabel = "Peldora test fixture";
constexpr std::size_t fixtureContentLength = 32;
constexpr std::uint8_t fixtureFillerByte = 0x5A;

bool isRefusal(OSStatus status) {
  return status == errSecInteractionNotAllowed || status == errSecAuthFailed;
}

// The operand as a folder with one more path component.
std::string appendingPathComponent(const std::string& folder, std::string_view component) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += component;
  return path;
}

}  // namespace

void runSelfTest() {
  const std::string fixturePath =
      appendingPathComponent(name, "fixture-" + newUUIDString() + ".keychain-db");
  // Held only for the keychain's creation; never shown or stored.
  const SecureBytes password(newUUIDString());

  SecKeychainRef keychain;
  OSStatus creation =
      SecKeychainCreate(fixturePath.c_str(), static_cast<std::uint32_t>(password.size()),
                        password.data(), false, nullptr, &keychain);
  if (creation != errSecSuccess || !keychain) {
    die("Fixture creation failed: " + std::to_string(creation));
  }

  SecDictionary attributes = keyQuery(fixtureItemName);
  attributes.set(kSecUseKeychain, keychain);
  attributes.set(kSecAttrAccess, protectedAccess(fixtureLabel));
  SecureBytes content(fixtureContentLength);
  for (std::size_t i = 0; i < content.size(); ++i) content.data()[i] = fixtureFillerByte;
  attributes.set(kSecValueData, std::move(content));

  OSStatus insertion = SecItemAdd(attributes, nullptr);
  if (insertion != errSecSuccess) {
    SecKeychainDelete(keychain);
    die("Fixture insertion failed: " + std::to_string(insertion));
  }

  SecDictionary probe = keyQuery(fixtureItemName);
  probe.set(kSecMatchSearchList, std::vector<SecKeychainRef>{keychain});
  probe.set(kSecReturnData, true);

  // Nothing between these two calls may end the run: the setting is process-wide.
  SecKeychainSetUserInteractionAllowed(false);
  SecValue result;
  OSStatus read = SecItemCopyMatching(probe, &result);
  SecKeychainSetUserInteractionAllowed(true);

  OSStatus cleanup = SecKeychainDelete(keychain);

  bool empty = std::holds_alternative<std::monostate>(result);
  if (isRefusal(read) && empty && cleanup == errSecSuccess) {
    writeResultLine("Login Keychain ACL refused unattended read; fixture removed");
    return;
  }
  die("Unattended-read enforcement failed: " + std::to_string(read) +
      ", cleanup: " + std::to_string(cleanup));
}

}  // namespace ferrowick
