#include "Ferrowick/runEnding.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "Ferrowick/Foundation.h"

namespace ferrowick {

namespace {

// The message and its line feed, built without the heap when it fits: the message may be
// telling that memory ran out.
void writeMessageLine(std::string_view message) {
  std::array<char, 512> buffer;
  if (message.size() < buffer.size()) {
    std::memcpy(buffer.data(), message.data(), message.size());
    buffer[message.size()] = '\n';
    NSFileHandle::fileHandleWithStandardError().writeData({buffer.data(), message.size() + 1});
    return;
  }
  std::string line(message);
  line += '\n';
  NSFileHandle::fileHandleWithStandardError().writeData(line);
}

[[noreturn]] void endForUncaughtException() {
  static std::atomic_flag ending = ATOMIC_FLAG_INIT;
  if (ending.test_and_set()) std::_Exit(1);  // failed again while ending: the line is out
  dieOfException(std::current_exception());
}

}  // namespace

void die(std::string_view message) {
  // A standard error nobody reads changes nothing: the status still says the run failed.
  writeMessageLine(message);
  exitProcess(1);
}

std::string_view messageForException(const std::exception_ptr& exception) {
  try {
    if (exception) std::rethrow_exception(exception);
  } catch (const std::bad_alloc&) {
    return "Out of memory";
  } catch (...) {
  }
  return "Internal error";
}

void dieOfException(const std::exception_ptr& exception) {
  die(messageForException(exception));
}

void endUncaughtExceptionsWithALine() {
  std::set_terminate(endForUncaughtException);
}

}  // namespace ferrowick
