// Standard streams, exit, UUIDs and start-up hardening on Linux.
#include <fcntl.h>
#include <poll.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "Ferrowick/Foundation.h"

NSFileHandle NSFileHandle::fileHandleWithStandardOutput() {
  return NSFileHandle(STDOUT_FILENO);
}

NSFileHandle NSFileHandle::fileHandleWithStandardError() {
  return NSFileHandle(STDERR_FILENO);
}

namespace {

// How long a stream the parent made non-blocking may stay full before the write counts as
// failed: long enough for a reader that is merely slow, short enough not to hang the run.
constexpr int fullStreamWaitMs = 10000;

}  // namespace

bool NSFileHandle::writeData(std::string_view bytes) const {
  // One write call for the whole block; a pipe may still take it in parts, so finish it.
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (left > 0) {
    ssize_t written = ::write(fd_, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long waited =
          (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (waited >= fullStreamWaitMs) return false;
      pollfd ready{fd_, POLLOUT, 0};
      int polled = poll(&ready, 1, static_cast<int>(fullStreamWaitMs - waited));
      if (polled < 0 && errno != EINTR) return false;
      continue;
    }
    // EPIPE (SIGPIPE is ignored), ENOSPC, EBADF, EIO, ...; a write that takes nothing is no
    // better.
    if (written <= 0) return false;
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

void exitProcess(int status) {
  std::fflush(nullptr);
  // Off the main thread (an exception that ended the approval thread), static destructors
  // must not run under the main thread's feet: end at once.
  if (gettid() != getpid()) _exit(status);
  std::exit(status);
}

std::string newUUIDString() {
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static const char hex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hex[bytes[i] >> 4];
    text += hex[bytes[i] & 0x0F];
  }
  return text;
}

bool hardenProcess() {
  umask(077);
  // Not dumpable: no core file, no ptrace attach by other same-user processes, no /proc/pid/mem.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // A parent that closed its pipe must not kill us mid-way through a write or a prompt.
  std::signal(SIGPIPE, SIG_IGN);
  // A parent's file-size limit makes the write fail (EFBIG), reported like any failed write,
  // instead of killing us without a line.
  std::signal(SIGXFSZ, SIG_IGN);
  // A standard descriptor the parent left closed would go to the next file opened, the
  // keychain database included, and the result would be written into it. Hold each with
  // /dev/null opened read-only, so writes to it still fail (EBADF) as they would have.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = open("/dev/null", O_RDONLY);
    if (held != fd) return false;  // the lowest free number is this one, unless none is left
  }
  return true;
}
