// libsodium's random bytes come from here: getrandom, or /dev/urandom on a kernel without it.
// libsodium's own source aborts when the kernel fails it (EIO, ENOMEM); ours ends the run
// through the handler it was given, with the run's one line.
#include <fcntl.h>
#include <sodium.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Ferrowick/Foundation.h"

namespace {

void (*onRandomFailure)() = nullptr;

[[noreturn]] void randomFailed() {
  if (onRandomFailure != nullptr) onRandomFailure();
  // Only without a handler (it never returns): the same line, then out.
  constexpr char line[] = "Random generation failed\n";
  ssize_t ignored = write(STDERR_FILENO, line, sizeof line - 1);
  (void)ignored;
  exitProcess(1);
}

bool fromDevice(unsigned char* into, std::size_t size) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (size > 0) {
    ssize_t got = read(fd, into, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    into += got;
    size -= static_cast<std::size_t>(got);
  }
  close(fd);
  return size == 0;
}

void fill(void* buffer, std::size_t size) {
  auto* into = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t got = getrandom(into, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == ENOSYS) {
      if (!fromDevice(into, size)) randomFailed();
      return;
    }
    if (got <= 0) randomFailed();
    into += got;
    size -= static_cast<std::size_t>(got);
  }
}

const char* name() {
  return "ferrowick-getrandom";
}

std::uint32_t random32() {
  std::uint32_t value;
  fill(&value, sizeof value);
  return value;
}

void stir() {}

int closeSource() {
  return 0;
}

randombytes_implementation source = {name, random32, stir, nullptr, fill, closeSource};

}  // namespace

bool prepareRandomSource(void (*onFailure)()) {
  onRandomFailure = onFailure;
  if (randombytes_set_implementation(&source) != 0) return false;
  return sodium_init() >= 0;
}
