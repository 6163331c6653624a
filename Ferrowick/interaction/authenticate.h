#pragma once

#include <string_view>

namespace ferrowick {

// Asks the device owner to approve `reason`, waiting at most 90 seconds. Returns only on
// approval; every other outcome ends the run through die.
void authenticate(std::string_view reason);

}  // namespace ferrowick
