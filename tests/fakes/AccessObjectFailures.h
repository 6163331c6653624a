// Every way the fake keychain services can make building the confirmation-protected access
// object fail, with the line the run must end with. One table for the access object's own test
// and for each operation that builds one, so no message can be lost on the way out.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/fakes/FakeSecurity.h"

namespace fake::security {

struct AccessObjectFailure {
  const char* label;
  std::function<void(Failures&)> arrange;
  std::string message;  // without its line feed
};

inline std::vector<AccessObjectFailure> accessObjectFailures() {
  using AclList = Failures::AclList;
  const std::string create = "Cannot create Keychain access policy";
  const std::string missing = "Missing decryption ACL";
  const std::string confirm = "Cannot require Keychain confirmation";
  return {
      {"create fails", [](Failures& f) { f.accessCreate = errSecParam; }, create},
      {"create fails with a positive status", [](Failures& f) { f.accessCreate = 7; }, create},
      {"create gives 0 and no object", [](Failures& f) { f.accessCreateWithoutObject = true; },
       create},
      {"no decrypting entry", [](Failures& f) { f.decryptEntries = 0; }, missing},
      {"empty list", [](Failures& f) { f.aclList = AclList::empty; }, missing},
      {"null list", [](Failures& f) { f.aclList = AclList::null; }, missing},
      {"not a list", [](Failures& f) { f.aclList = AclList::notAList; }, missing},
      {"only entry cannot be rewritten", [](Failures& f) { f.setContentsFailsOnCall = 1; },
       confirm},
      {"second of three fails",
       [](Failures& f) {
         f.decryptEntries = 3;
         f.setContentsFailsOnCall = 2;
       },
       confirm},
      {"last of three fails with a positive status",
       [](Failures& f) {
         f.decryptEntries = 3;
         f.setContentsFailsOnCall = 3;
         f.setContentsStatus = 1;
       },
       confirm},
  };
}

}  // namespace fake::security
