// Preloaded into the binary under test: no memory can be locked, as with RLIMIT_MEMLOCK 0 for
// a user without CAP_IPC_LOCK (root, who runs the tests here, is never refused).
#include <errno.h>
#include <stddef.h>

__attribute__((visibility("default"))) int mlock(const void* address, size_t size) {
  (void)address;
  (void)size;
  errno = ENOMEM;
  return -1;
}
