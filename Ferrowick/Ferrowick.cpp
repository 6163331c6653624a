// Ferrowick: one credential request per run, named by `Ferrowick <operation word> <operand>`.
#include "Ferrowick/Foundation.h"
#include "Ferrowick/frontEnd.h"

int main(int argc, char** argv) {
  hardenProcess();
  return ferrowick::runFrontEnd(argc, argv);
}
