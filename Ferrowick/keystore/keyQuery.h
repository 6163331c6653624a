#pragma once

#include <string_view>

#include "Ferrowick/keystore/Security.h"

namespace ferrowick {

inline constexpr std::string_view serviceIdentifier = "org.quennet.peldora.v1";

// A new query addressing the generic-password item of this tool named `itemName`.
SecDictionary keyQuery(std::string_view itemName);

}  // namespace ferrowick
