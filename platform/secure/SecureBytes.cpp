// Secret bytes live in libsodium's guarded allocations: locked in memory (kept out of swap and
// core files), surrounded by guard pages, and wiped when freed.
#include <sodium.h>

#include <cstring>
#include <new>

#include "Ferrowick/Foundation.h"

namespace {

// Memory that can't be had, or can't be locked, is no place for a secret: "Out of memory"
// rather than a key in pages that may be swapped out.
std::uint8_t* allocate(std::size_t size) {
  if (size == 0) return nullptr;
  // The binary set libsodium up at start-up; this is for programs that did not.
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::bad_alloc();
  auto* memory = static_cast<std::uint8_t*>(sodium_malloc(size));
  if (memory == nullptr) throw std::bad_alloc();
  // sodium_malloc goes on when its mlock fails (a low RLIMIT_MEMLOCK): ask again and heed it.
  if (sodium_mlock(memory, size) != 0) {
    sodium_free(memory);
    throw std::bad_alloc();
  }
  return memory;
}

}  // namespace

SecureBytes::SecureBytes(std::size_t size) : data_(allocate(size)), size_(size) {
  if (size_ != 0) std::memset(data_, 0, size_);
}

SecureBytes::SecureBytes(const void* data, std::size_t size) : data_(allocate(size)), size_(size) {
  if (size_ != 0) std::memcpy(data_, data, size_);
}

SecureBytes::SecureBytes(const SecureBytes& other) : SecureBytes(other.data_, other.size_) {}

SecureBytes::SecureBytes(SecureBytes&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

SecureBytes& SecureBytes::operator=(const SecureBytes& other) {
  if (this != &other) *this = SecureBytes(other);
  return *this;
}

SecureBytes& SecureBytes::operator=(SecureBytes&& other) noexcept {
  if (this != &other) {
    clear();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

SecureBytes::~SecureBytes() {
  clear();
}

void SecureBytes::append(const void* data, std::size_t size) {
  if (size == 0) return;
  SecureBytes joined(size_ + size);
  if (size_ != 0) std::memcpy(joined.data_, data_, size_);
  std::memcpy(joined.data_ + size_, data, size);
  *this = std::move(joined);
}

void SecureBytes::clear() {
  if (data_ != nullptr) sodium_free(data_);  // wipes before freeing
  data_ = nullptr;
  size_ = 0;
}

bool operator==(const SecureBytes& a, const SecureBytes& b) {
  if (a.size_ != b.size_) return false;
  if (a.size_ == 0) return true;
  return sodium_memcmp(a.data_, b.data_, a.size_) == 0;
}
