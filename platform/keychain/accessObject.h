// Access objects and their ACL entries: the in-memory form handed to the tool, the canonical
// serialized form stored with each item, and the decision a data read has to make.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Ferrowick/keystore/Security.h"

struct OpaqueSecACL {
  std::uint32_t rights = 0;                               // keychain::right* bits
  std::optional<SecTrustedApplicationList> applications;  // nullopt: any application
  std::string description;
  SecKeychainPromptSelector selector = 0;
};

struct OpaqueSecAccess {
  std::string descriptor;
  std::vector<SecACLRef> entries;
};

namespace keychain {

inline constexpr std::uint32_t rightAny = 1u << 0;
inline constexpr std::uint32_t rightChangeAcl = 1u << 1;
inline constexpr std::uint32_t rightEncrypt = 1u << 2;
inline constexpr std::uint32_t rightDecrypt = 1u << 3;
inline constexpr std::uint32_t rightExportClear = 1u << 4;
inline constexpr std::uint32_t rightExportWrapped = 1u << 5;
inline constexpr std::uint32_t rightSign = 1u << 6;
inline constexpr std::uint32_t rightMac = 1u << 7;
inline constexpr std::uint32_t rightDerive = 1u << 8;
inline constexpr std::uint32_t allRights = (1u << 9) - 1;
// Decrypt and the other rights that use the secret.
inline constexpr std::uint32_t useRights =
    rightDecrypt | rightExportClear | rightExportWrapped | rightSign | rightMac | rightDerive;

// The bit of an authorization name such as "ACLAuthorizationDecrypt"; 0 when unknown.
std::uint32_t rightNamed(std::string_view authorization);

// Limits of what a stored access object may hold; anything larger is malformed.
inline constexpr std::size_t maxAccessText = 4096;
inline constexpr std::size_t maxAccessEntries = 16;
inline constexpr std::size_t maxApplications = 32;

// The three entries of a new access object: owner, encrypt for anyone, use rights for
// `trusted` (null: anyone) with prompt selector 0.
OpaqueSecAccess newAccess(std::string_view descriptor, const SecTrustedApplicationList* trusted);

// Canonical encoding: one byte sequence per access object, versioned.
std::string serializeAccess(const OpaqueSecAccess& access);

// The access object encoded in `blob`, or nullopt when it is malformed, over a limit or not in
// canonical form (so serializeAccess(*parseAccess(b)) == b whenever parsing succeeds).
std::optional<OpaqueSecAccess> parseAccess(std::string_view blob);

// What reading an item's secret requires under its access object.
enum class ReadRule {
  denied,        // no entry grants decryption
  open,          // an entry is open to anyone or trusts this program: no ACL prompt
  confirmation,  // the user must allow it (prompt selector 0)
  password,      // the user must type the keychain password (selector bit 1)
};
ReadRule readRule(const OpaqueSecAccess& access, std::string_view self);

// The path of this program's executable, as trusted lists name it.
const std::string& selfApplication();

}  // namespace keychain
