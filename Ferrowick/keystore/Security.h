// The keychain services the tool relies on, under their platform names and with the platform's
// status values. The binary links the Linux keychain component (platform/keychain); the tool's
// unit tests link an in-process fake (tests/fakes/FakeSecurity). Both pass one contract suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "Ferrowick/Foundation.h"

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecWrPerm = -61;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecUserCanceled = -128;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecNoSuchKeychain = -25294;
inline constexpr OSStatus errSecInvalidKeychain = -25295;
inline constexpr OSStatus errSecDuplicateKeychain = -25296;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecWrongSecVersion = -25310;
inline constexpr OSStatus errSecDecode = -26275;

// Dictionary keys and constant values are strings, as on the platform.
using CFStringRef = std::string_view;

inline constexpr CFStringRef kSecClass = "class";
inline constexpr CFStringRef kSecAttrService = "svce";
inline constexpr CFStringRef kSecAttrAccount = "acct";
inline constexpr CFStringRef kSecAttrAccess = "acls";
inline constexpr CFStringRef kSecValueData = "v_Data";
inline constexpr CFStringRef kSecReturnAttributes = "r_Attributes";
inline constexpr CFStringRef kSecReturnData = "r_Data";
inline constexpr CFStringRef kSecMatchLimit = "m_Limit";
inline constexpr CFStringRef kSecUseKeychain = "u_Keychain";
inline constexpr CFStringRef kSecMatchSearchList = "m_SearchList";

inline constexpr CFStringRef kSecClassGenericPassword = "genp";
inline constexpr CFStringRef kSecMatchLimitOne = "m_LimitOne";
inline constexpr CFStringRef kSecACLAuthorizationDecrypt = "ACLAuthorizationDecrypt";

// Platform objects. A create or copy call hands the caller its own reference; the object lives
// as long as some reference to it does.
struct OpaqueSecAccess;
struct OpaqueSecACL;
struct OpaqueSecKeychain;
using SecAccessRef = std::shared_ptr<OpaqueSecAccess>;
using SecACLRef = std::shared_ptr<OpaqueSecACL>;
using SecKeychainRef = std::shared_ptr<OpaqueSecKeychain>;

// Applications an access object or ACL entry trusts, by executable path. A null list and an
// empty list mean different things: null is "any application", empty is "none".
using SecTrustedApplicationList = std::vector<std::string>;

// A platform constant used as a value, such as kSecClassGenericPassword.
struct SecConstant {
  std::string_view value;
  friend bool operator==(SecConstant a, SecConstant b) { return a.value == b.value; }
};

class SecDictionary;

// A tagged value: null, string, bytes, boolean, constant, access object, keychain, list of
// keychains, list of ACL entries, or a dictionary (attributes returned by a lookup).
using SecValue = std::variant<std::monostate, std::string, SecureBytes, bool, SecConstant,
                              SecAccessRef, SecKeychainRef, std::vector<SecKeychainRef>,
                              std::vector<SecACLRef>, std::shared_ptr<const SecDictionary>>;

// A query or attribute dictionary: a value with its entries in the order they were added.
class SecDictionary {
 public:
  using Entry = std::pair<std::string, SecValue>;

  // Adds an entry, or replaces the value of an existing key in place.
  void set(CFStringRef key, SecValue value);
  const SecValue* find(CFStringRef key) const;
  template <class T>
  const T* get(CFStringRef key) const {
    const SecValue* value = find(key);
    return value ? std::get_if<T>(value) : nullptr;
  }

  std::size_t size() const { return entries_.size(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
};

using SecKeychainPromptSelector = std::uint16_t;
inline constexpr SecKeychainPromptSelector kSecKeychainPromptRequirePassphase = 1;

struct OpaqueSecRandom;
using SecRandomRef = const OpaqueSecRandom*;
inline constexpr SecRandomRef kSecRandomDefault = nullptr;

// Stores an item. `result` must be null (no result is ever returned).
OSStatus SecItemAdd(const SecDictionary& attributes, SecValue* result);

// Looks up items. With a null `result` only the status is produced; otherwise *result is set on
// success and left null on every failure.
OSStatus SecItemCopyMatching(const SecDictionary& query, SecValue* result);

OSStatus SecAccessCreate(std::string_view descriptor, const SecTrustedApplicationList* trustedList,
                         SecAccessRef* accessRef);

// The ACL entries of `access` that authorise `authorization`: a std::vector<SecACLRef>, or null.
SecValue SecAccessCopyMatchingACLList(const SecAccessRef& access, CFStringRef authorization);

OSStatus SecACLSetContents(const SecACLRef& acl, const SecTrustedApplicationList* applicationList,
                           std::string_view description, SecKeychainPromptSelector promptSelector);

OSStatus SecKeychainCreate(const char* pathName, std::uint32_t passwordLength, const void* password,
                           bool promptUser, const SecAccessRef* initialAccess,
                           SecKeychainRef* keychain);

OSStatus SecKeychainDelete(const SecKeychainRef& keychainOrArray);

// Process-wide: while false, a request that needs the user fails instead of asking.
OSStatus SecKeychainSetUserInteractionAllowed(bool state);

OSStatus SecRandomCopyBytes(SecRandomRef rnd, std::size_t count, void* bytes);
