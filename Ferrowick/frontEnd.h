// The front end: the process-wide values and the output conventions. The one failure routine
// is in runEnding.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Ferrowick/runEnding.h"

namespace ferrowick {

// Set once at start-up from the argument vector, before any operation runs.
extern std::vector<std::string> args;  // the whole vector; index 0 is the program path
extern std::string action;             // the operation word
extern std::string name;               // the operand

// A fixed text and one line feed on standard output.
void writeResultLine(std::string_view text);
// Bytes on standard output unchanged, in one write, with no line end.
// Both die with "Cannot write result" when the bytes don't all reach standard output.
void writeRawResult(std::string_view bytes);

// Checks the arguments, runs the one operation they name and returns the exit status of a run
// that did not end on its own.
int runFrontEnd(int argc, char** argv);

// The approve operation: the owner's approval for the operand as reason, then "approved".
void runApprove();

}  // namespace ferrowick
