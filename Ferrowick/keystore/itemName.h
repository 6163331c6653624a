#pragma once

#include <string_view>

namespace ferrowick {

// Whether `itemName` may name a new device key: 1 to 100 ASCII letters, digits, '_' or '-',
// optionally followed by one final line terminator (the dialect of the original rule lets
// `$` match before one).
bool isValidItemName(std::string_view itemName);

// Ends the run with "Invalid item name" unless the name is valid.
void checkItemName(std::string_view itemName);

}  // namespace ferrowick
