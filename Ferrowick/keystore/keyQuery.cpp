#include "Ferrowick/keystore/keyQuery.h"

#include <string>

namespace ferrowick {

SecDictionary keyQuery(std::string_view itemName) {
  SecDictionary query;
  query.set(kSecClass, SecConstant{kSecClassGenericPassword});
  query.set(kSecAttrService, std::string(serviceIdentifier));
  query.set(kSecAttrAccount, std::string(itemName));
  return query;
}

}  // namespace ferrowick
