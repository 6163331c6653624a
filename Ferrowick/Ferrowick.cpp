// Ferrowick: one credential request per run, named by `Ferrowick <operation word> <operand>`.
#include <exception>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/frontEnd.h"
#include "Ferrowick/runEnding.h"

int main(int argc, char** argv) {
  hardenProcess();
  ferrowick::endUncaughtExceptionsWithALine();
  try {
    return ferrowick::runFrontEnd(argc, argv);
  } catch (...) {
    // Caught here, not left to terminate, so the stack unwinds and an open keychain
    // transaction is rolled back before the run ends.
    ferrowick::dieOfException(std::current_exception());
  }
}
