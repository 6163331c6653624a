// Helpers that every part writing files or naming descriptors needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace files {

// Writes all of `bytes` to `fd`, again after EINTR and short writes. False with errno set when
// it can't (a write that takes nothing is EIO).
bool writeAll(int fd, std::string_view bytes);

// "/proc/self/fd/<fd>", and with `name` "/proc/self/fd/<fd>/<name>": the kernel's name of an
// open file, or of an entry in an open folder.
std::string descriptorPath(int fd);
std::string descriptorPath(int fd, std::string_view name);

enum class HexCase { lower, upper };

// Two hex digits per byte.
void appendHex(std::string& text, std::uint8_t byte, HexCase letters = HexCase::lower);
std::string toHex(std::string_view bytes, HexCase letters = HexCase::lower);

}  // namespace files
