// The few pieces of the Assuan line protocol that pinentry speaks, kept apart from the process
// handling so they can be tested on their own.
#pragma once

#include <optional>
#include <string_view>

#include "Ferrowick/Foundation.h"

namespace pinentry::assuan {

inline constexpr std::size_t maxLineLength = 1000;  // bytes before the line feed

// Appends the percent-decoded `data` to `out`; false on a malformed escape.
bool unescapeInto(std::string_view data, SecureBytes& out);

// The code of an "ERR <code> <text>" line, reduced to its low 16 bits (the gpg-error code
// without its source); nullopt when the line is not an ERR line.
std::optional<unsigned> errorCode(std::string_view line);

inline constexpr unsigned codeCancelled = 99;
inline constexpr unsigned codeTimeout = 62;
inline constexpr unsigned codeNotConfirmed = 114;

}  // namespace pinentry::assuan
