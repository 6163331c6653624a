// Ferrowick: one credential request per run, named by `Ferrowick <operation word> <operand>`.
#include <atomic>
#include <cstdlib>
#include <exception>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/frontEnd.h"

namespace {

// An exception that left a thread, or a noexcept frame, still ends the run with its one line.
[[noreturn]] void endForUncaughtException() {
  static std::atomic_flag ending = ATOMIC_FLAG_INIT;
  if (ending.test_and_set()) std::_Exit(1);  // failed again while ending: the line is out
  ferrowick::dieOfException(std::current_exception());
}

}  // namespace

int main(int argc, char** argv) {
  const bool hardened = hardenProcess();
  std::set_terminate(endForUncaughtException);
  if (!hardened) ferrowick::die("Internal error");
  // Once, before anything draws a random byte; a source that fails later ends the run the same
  // way, never by an abort inside libsodium.
  if (!prepareRandomSource([] { ferrowick::die("Random generation failed"); })) {
    ferrowick::die("Random generation failed");
  }
  try {
    return ferrowick::runFrontEnd(argc, argv);
  } catch (...) {
    // Caught here, not left to terminate, so the stack unwinds and an open keychain
    // transaction is rolled back before the run ends.
    ferrowick::dieOfException(std::current_exception());
  }
}
