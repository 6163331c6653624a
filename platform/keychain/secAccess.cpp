// Access objects and ACL entries, as the tool builds them before storing an item.
#include <memory>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/accessObject.h"

using namespace keychain;

OSStatus SecAccessCreate(std::string_view descriptor, const SecTrustedApplicationList* trustedList,
                         SecAccessRef* accessRef) {
  if (accessRef == nullptr) return errSecParam;
  *accessRef = nullptr;
  if (descriptor.size() > maxAccessText ||
      (trustedList != nullptr && trustedList->size() > maxApplications)) {
    return errSecParam;
  }
  *accessRef = std::make_shared<OpaqueSecAccess>(newAccess(descriptor, trustedList));
  return errSecSuccess;
}

SecValue SecAccessCopyMatchingACLList(const SecAccessRef& access, CFStringRef authorization) {
  if (!access) return {};
  std::uint32_t right = rightNamed(authorization);
  std::vector<SecACLRef> matching;
  for (const SecACLRef& acl : access->entries) {
    if (right != 0 && (acl->rights & (right | rightAny)) != 0) matching.push_back(acl);
  }
  return matching;
}

OSStatus SecACLSetContents(const SecACLRef& acl, const SecTrustedApplicationList* applicationList,
                           std::string_view description, SecKeychainPromptSelector promptSelector) {
  if (!acl || description.size() > maxAccessText ||
      (applicationList != nullptr && applicationList->size() > maxApplications)) {
    return errSecParam;
  }
  if (applicationList != nullptr) {
    acl->applications = *applicationList;
  } else {
    acl->applications.reset();
  }
  acl->description = std::string(description);
  acl->selector = promptSelector;
  return errSecSuccess;
}
