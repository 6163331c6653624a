// How ferrowick-keychain shows stored names: escaped so that every byte is visible.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/keychain/keychainCare.h"

namespace keychain_tool {

// Backslash doubled; control characters and bytes that are not UTF-8 as \xNN.
std::string escaped(std::string_view bytes);

// One line per item: creation time (UTC), service, account, separated by tabs.
std::string listingText(const std::vector<keychain::care::ItemSummary>& items);
// A JSON array of objects; names both escaped as above and exact in hex.
std::string listingJson(const std::vector<keychain::care::ItemSummary>& items);

}  // namespace keychain_tool
