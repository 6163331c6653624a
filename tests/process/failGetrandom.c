// Preloaded into the binary under test: the kernel's random source fails, with the errno
// named by FAIL_GETRANDOM_ERRNO (EIO or ENOMEM), as a broken or starved source does.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

__attribute__((visibility("default"))) ssize_t getrandom(void* buffer, size_t size,
                                                         unsigned int flags) {
  (void)buffer;
  (void)size;
  (void)flags;
  const char* name = getenv("FAIL_GETRANDOM_ERRNO");
  errno = name != NULL && strcmp(name, "ENOMEM") == 0 ? ENOMEM : EIO;
  return -1;
}
