// The front end: the process-wide values, the output conventions and the one failure routine.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace ferrowick {

// Set once at start-up from the argument vector, before any operation runs.
extern std::vector<std::string> args;  // the whole vector; index 0 is the program path
extern std::string action;             // the operation word
extern std::string name;               // the operand

// Writes the message and a line feed to standard error in one write, then exits with status 1.
[[noreturn]] void die(std::string_view message);

// The one line for an exception that reached the top of the run: "Out of memory" for a failed
// allocation, "Internal error" for anything else (its own text may hold anything, so it is
// never shown).
std::string_view messageForException(const std::exception_ptr& exception);
[[noreturn]] void dieOfException(const std::exception_ptr& exception);

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
