// The serialized access object is read back from the keychain file: attacker-controlled bytes.
// Whatever parses must be canonical: serializing it again gives the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/keychain/accessObject.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view blob(reinterpret_cast<const char*>(data), size);
  auto access = keychain::parseAccess(blob);
  if (!access) return 0;
  if (keychain::serializeAccess(*access) != blob) std::abort();
  (void)keychain::readRule(*access, "/usr/bin/Ferrowick");
  return 0;
}
