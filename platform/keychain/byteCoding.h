// Length-prefixed big-endian encoding for the keychain's own records: the serialized access
// object and the associated data bound into every ciphertext. Reading is strict: a short or
// over-long field makes the whole record malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keychain {

class ByteWriter {
 public:
  void u8(std::uint8_t value) { bytes_ += static_cast<char>(value); }
  void u16(std::uint16_t value) { unsigned_(value, 2); }
  void u32(std::uint32_t value) { unsigned_(value, 4); }
  void u64(std::uint64_t value) { unsigned_(value, 8); }
  void raw(std::string_view bytes) { bytes_.append(bytes); }
  // A 32-bit length, then the bytes.
  void field(std::string_view bytes) {
    u32(static_cast<std::uint32_t>(bytes.size()));
    raw(bytes);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  void unsigned_(std::uint64_t value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
      bytes_ += static_cast<char>((value >> shift) & 0xFF);
    }
  }
  std::string bytes_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : rest_(bytes) {}

  std::optional<std::uint64_t> unsignedOf(std::size_t width) {
    if (rest_.size() < width) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value = (value << 8) | static_cast<unsigned char>(rest_[i]);
    }
    rest_.remove_prefix(width);
    return value;
  }
  std::optional<std::string_view> raw(std::size_t size) {
    if (rest_.size() < size) return std::nullopt;
    std::string_view taken = rest_.substr(0, size);
    rest_.remove_prefix(size);
    return taken;
  }
  // A length-prefixed field of at most `limit` bytes.
  std::optional<std::string_view> field(std::size_t limit) {
    auto size = unsignedOf(4);
    if (!size || *size > limit) return std::nullopt;
    return raw(static_cast<std::size_t>(*size));
  }
  bool atEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace keychain
