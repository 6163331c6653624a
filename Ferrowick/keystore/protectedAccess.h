#pragma once

#include <string_view>

#include "Ferrowick/keystore/Security.h"

namespace ferrowick {

// An access object that trusts no application and whose every decrypting entry requires the
// user's confirmation; ends the run through die if one cannot be built.
SecAccessRef protectedAccess(std::string_view label);

}  // namespace ferrowick
