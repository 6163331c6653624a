// Preloaded into the binary under test: libsodium's guarded allocator always fails, as it
// does when the locked-memory limit or the address space runs out.
#include <cstddef>

extern "C" {

__attribute__((visibility("default"))) void* sodium_malloc(std::size_t) {
  return nullptr;
}

__attribute__((visibility("default"))) void* sodium_allocarray(std::size_t, std::size_t) {
  return nullptr;
}
}
