// The first bytes of a keychain file, checked before SQLite sees the file. The first input byte
// says whether a rollback journal lies beside it; the rest is the header.
#include <cstdint>
#include <string_view>

#include "platform/keychain/keychainFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view header(reinterpret_cast<const char*>(data) + 1, size - 1);
  // The claimed file size varies with the input too.
  (void)keychain::checkHeader(header, header.size() * 41, (data[0] & 1) != 0);
  (void)keychain::checkHeader(header, header.size(), (data[0] & 1) != 0);
  return 0;
}
