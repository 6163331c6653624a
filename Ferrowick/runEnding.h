// How a run of Ferrowick or ferrowick-keychain ends when it fails: one line on standard error,
// status 1. Both programs link this one routine.
#pragma once

#include <exception>
#include <string_view>

namespace ferrowick {

// Writes the message and a line feed to standard error in one write, then exits with status 1.
[[noreturn]] void die(std::string_view message);

// The one line for an exception that reached the top of the run: "Out of memory" for a failed
// allocation, "Internal error" for anything else (its own text may hold anything, so it is
// never shown).
std::string_view messageForException(const std::exception_ptr& exception);
[[noreturn]] void dieOfException(const std::exception_ptr& exception);

// Makes an exception that leaves a thread, or a noexcept frame, still end the run with its one
// line. Called once at the start of main.
void endUncaughtExceptionsWithALine();

}  // namespace ferrowick
