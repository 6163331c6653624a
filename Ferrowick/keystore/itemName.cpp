#include "Ferrowick/keystore/itemName.h"

#include <array>

#include "Ferrowick/frontEnd.h"

namespace ferrowick {

namespace {

constexpr std::size_t longestName = 100;

bool isNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The line terminators before which an end-of-input anchor also matches, in UTF-8:
// LF, VT, FF, CR, CR LF, NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR.
constexpr std::array<std::string_view, 8> finalTerminators = {
    "\n", "\v", "\f", "\r", "\r\n", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};

}  // namespace

bool isValidItemName(std::string_view itemName) {
  std::size_t length = 0;
  while (length < itemName.size() && isNameCharacter(itemName[length])) ++length;
  if (length == 0) return false;
  // A run longer than the limit still matches if the anchor can stop the match after 100
  // characters, which it cannot: what follows them is another name character.
  if (length > longestName) return false;
  std::string_view rest = itemName.substr(length);
  if (rest.empty()) return true;
  for (std::string_view terminator : finalTerminators) {
    if (rest == terminator) return true;
  }
  return false;
}

void checkItemName(std::string_view itemName) {
  if (!isValidItemName(itemName)) die("Invalid item name");
}

}  // namespace ferrowick
