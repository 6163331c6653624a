#include "platform/files/fileBasics.h"

#include <unistd.h>

#include <cerrno>

namespace files {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return false;
    if (wrote == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

std::string descriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

std::string descriptorPath(int fd, std::string_view name) {
  std::string path = descriptorPath(fd);
  path += '/';
  path += name;
  return path;
}

void appendHex(std::string& text, std::uint8_t byte, HexCase letters) {
  const char* digits = letters == HexCase::lower ? "0123456789abcdef" : "0123456789ABCDEF";
  text += digits[byte >> 4];
  text += digits[byte & 0x0F];
}

std::string toHex(std::string_view bytes, HexCase letters) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) appendHex(text, byte, letters);
  return text;
}

}  // namespace files
