// Ferrowick: one credential request per run, named by `Ferrowick <operation word> <operand>`.
#include <exception>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/frontEnd.h"
#include "Ferrowick/runEnding.h"

int main(int argc, char** argv) {
  const bool hardened = hardenProcess();
  ferrowick::endUncaughtExceptionsWithALine();
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
