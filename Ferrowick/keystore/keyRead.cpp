#include "Ferrowick/keystore/keyRead.h"

#include <string>

#include "Ferrowick/frontEnd.h"
#include "Ferrowick/interaction/authenticate.h"
#include "Ferrowick/keystore/keyQuery.h"

namespace ferrowick {

namespace {
constexpr std::size_t deviceKeyLength = 32;
constexpr std::string_view readReasonPrefix = "Peldora 需要使用设备密钥：";
}  // namespace

void runKeyRead() {
  // The owner approves before the keychain is asked anything.
  std::string reason(readReasonPrefix);
  reason += name;
  authenticate(reason);

  SecDictionary query = keyQuery(name);
  query.set(kSecReturnData, true);
  query.set(kSecMatchLimit, SecConstant{kSecMatchLimitOne});

  SecValue result;
  OSStatus status = SecItemCopyMatching(query, &result);
  const SecureBytes* key = std::get_if<SecureBytes>(&result);
  // One message for every way of not getting a key: the status is not the parent's business.
  if (status != errSecSuccess || key == nullptr || key->size() != deviceKeyLength) {
    die("Keychain read denied or unavailable");
  }
  writeRawResult(key->view());
}

}  // namespace ferrowick
