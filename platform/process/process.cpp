// Standard streams, exit, UUIDs and start-up hardening on Linux.
#include <fcntl.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

bool NSFileHandle::writeData(std::string_view bytes) const {
  // One write call for the whole block; a pipe may still take it in parts, so finish it.
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd_, next, left);
    if (written < 0 && errno == EINTR) continue;
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
  if (sodium_init() < 0) std::abort();
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

void hardenProcess() {
  umask(077);
  // Not dumpable: no core file, no ptrace attach by other same-user processes, no /proc/pid/mem.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // A parent that closed its pipe must not kill us mid-way through a write or a prompt.
  std::signal(SIGPIPE, SIG_IGN);
  // A standard descriptor the parent left closed would go to the next file opened, the
  // keychain database included, and the result would be written into it. Hold each with
  // /dev/null opened read-only, so writes to it still fail (EBADF) as they would have.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = open("/dev/null", O_RDONLY);
    if (held != fd) std::_Exit(1);  // can't happen: the lowest free number is this one
  }
}
