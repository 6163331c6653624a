#include "platform/keychain/accessObject.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "platform/keychain/byteCoding.h"

namespace keychain {

namespace {

constexpr std::string_view accessMagic = "FWA";
constexpr std::uint8_t accessVersion = 1;
constexpr std::uint8_t hasApplications = 1;

struct NamedRight {
  std::string_view name;
  std::uint32_t bit;
};
constexpr std::array<NamedRight, 9> namedRights = {{
    {"ACLAuthorizationAny", rightAny},
    {"ACLAuthorizationChangeACL", rightChangeAcl},
    {"ACLAuthorizationEncrypt", rightEncrypt},
    {"ACLAuthorizationDecrypt", rightDecrypt},
    {"ACLAuthorizationExportClear", rightExportClear},
    {"ACLAuthorizationExportWrapped", rightExportWrapped},
    {"ACLAuthorizationSign", rightSign},
    {"ACLAuthorizationMAC", rightMac},
    {"ACLAuthorizationDerive", rightDerive},
}};

SecACLRef entry(std::uint32_t rights, std::optional<SecTrustedApplicationList> applications,
                std::string_view description) {
  auto acl = std::make_shared<OpaqueSecACL>();
  acl->rights = rights;
  acl->applications = std::move(applications);
  acl->description = std::string(description);
  return acl;
}

}  // namespace

std::uint32_t rightNamed(std::string_view authorization) {
  for (const NamedRight& right : namedRights) {
    if (right.name == authorization) return right.bit;
  }
  return 0;
}

OpaqueSecAccess newAccess(std::string_view descriptor, const SecTrustedApplicationList* trusted) {
  OpaqueSecAccess access;
  access.descriptor = std::string(descriptor);
  access.entries.push_back(entry(rightChangeAcl, SecTrustedApplicationList{}, descriptor));
  access.entries.push_back(entry(rightEncrypt, std::nullopt, descriptor));
  std::optional<SecTrustedApplicationList> users;
  if (trusted != nullptr) users = *trusted;
  access.entries.push_back(entry(useRights, std::move(users), descriptor));
  return access;
}

// Layout, all integers big-endian:
//   "FWA" version:u8 descriptor:field count:u16
//   per entry: rights:u32 selector:u16 flags:u8 [apps:u16 app:field...] description:field
// where field = length:u32 bytes, and flags bit 0 says whether an application list follows.
std::string serializeAccess(const OpaqueSecAccess& access) {
  ByteWriter out;
  out.raw(accessMagic);
  out.u8(accessVersion);
  out.field(access.descriptor);
  out.u16(static_cast<std::uint16_t>(access.entries.size()));
  for (const SecACLRef& acl : access.entries) {
    out.u32(acl->rights);
    out.u16(acl->selector);
    out.u8(acl->applications ? hasApplications : 0);
    if (acl->applications) {
      out.u16(static_cast<std::uint16_t>(acl->applications->size()));
      for (const std::string& application : *acl->applications) out.field(application);
    }
    out.field(acl->description);
  }
  return out.bytes();
}

std::optional<OpaqueSecAccess> parseAccess(std::string_view blob) {
  ByteReader in(blob);
  auto magic = in.raw(accessMagic.size());
  auto version = in.unsignedOf(1);
  if (!magic || *magic != accessMagic || !version || *version != accessVersion) {
    return std::nullopt;
  }
  OpaqueSecAccess access;
  auto descriptor = in.field(maxAccessText);
  auto count = in.unsignedOf(2);
  if (!descriptor || !count || *count > maxAccessEntries) return std::nullopt;
  access.descriptor = std::string(*descriptor);
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto rights = in.unsignedOf(4);
    auto selector = in.unsignedOf(2);
    auto flags = in.unsignedOf(1);
    if (!rights || (*rights & ~std::uint64_t{allRights}) != 0 || !selector || !flags ||
        (*flags & ~std::uint64_t{hasApplications}) != 0) {
      return std::nullopt;
    }
    auto acl = std::make_shared<OpaqueSecACL>();
    acl->rights = static_cast<std::uint32_t>(*rights);
    acl->selector = static_cast<SecKeychainPromptSelector>(*selector);
    if (*flags & hasApplications) {
      auto applications = in.unsignedOf(2);
      if (!applications || *applications > maxApplications) return std::nullopt;
      SecTrustedApplicationList list;
      for (std::uint64_t j = 0; j < *applications; ++j) {
        auto application = in.field(maxAccessText);
        if (!application) return std::nullopt;
        list.emplace_back(*application);
      }
      acl->applications = std::move(list);
    }
    auto description = in.field(maxAccessText);
    if (!description) return std::nullopt;
    acl->description = std::string(*description);
    access.entries.push_back(std::move(acl));
  }
  if (!in.atEnd()) return std::nullopt;
  return access;
}

ReadRule readRule(const OpaqueSecAccess& access, std::string_view self) {
  bool any = false;
  bool password = false;
  for (const SecACLRef& acl : access.entries) {
    if ((acl->rights & (rightDecrypt | rightAny)) == 0) continue;
    any = true;
    if (!acl->applications) return ReadRule::open;
    const auto& trusted = *acl->applications;
    if (!self.empty() && std::find(trusted.begin(), trusted.end(), self) != trusted.end()) {
      return ReadRule::open;
    }
    if (acl->selector & kSecKeychainPromptRequirePassphase) password = true;
  }
  if (!any) return ReadRule::denied;
  return password ? ReadRule::password : ReadRule::confirmation;
}

const std::string& selfApplication() {
  static const std::string path = [] {
    char buffer[4096];
    ssize_t size = readlink("/proc/self/exe", buffer, sizeof buffer);
    return size > 0 && static_cast<std::size_t>(size) < sizeof buffer
               ? std::string(buffer, static_cast<std::size_t>(size))
               : std::string();
  }();
  return path;
}

}  // namespace keychain
