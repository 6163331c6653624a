// The item-name rule on any bytes: it accepts exactly the names of 1 to 100 letters, digits,
// '_' or '-', each optionally followed by one final line terminator, and the check that ends
// the run agrees with it. The input is also turned into a name that must pass, with and
// without a terminator, and into ones that must not.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Ferrowick/keystore/itemName.h"
#include "tests/fakes/FakeFoundation.h"

namespace {

constexpr std::array<std::string_view, 8> terminators = {
    "\n", "\v", "\f", "\r", "\r\n", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};
constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

void check(bool condition) {
  if (!condition) std::abort();
}

bool isBareName(std::string_view text) {
  return !text.empty() && text.size() <= 100 &&
         text.find_first_not_of(alphabet) == std::string_view::npos;
}

bool isNameWithOptionalTerminator(std::string_view text) {
  if (isBareName(text)) return true;
  for (std::string_view terminator : terminators) {
    if (text.ends_with(terminator) && isBareName(text.substr(0, text.size() - terminator.size())))
      return true;
  }
  return false;
}

void checkAgainstRule(std::string_view text) {
  bool valid = ferrowick::isValidItemName(text);
  check(valid == isNameWithOptionalTerminator(text));
  fake::Outcome run = fake::runOperation([&] { ferrowick::checkItemName(text); });
  if (valid) {
    check(run.status == 0 && run.err.empty() && run.out.empty());
  } else {
    check(run.status == 1 && run.err == "Invalid item name\n" && run.out.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  checkAgainstRule(input);
  if (size == 0) return 0;

  // A valid name drawn from the input, and what may and may not follow it.
  std::string name;
  for (std::size_t i = 1; i < size && name.size() < 100; ++i) name += alphabet[data[i] % 64];
  if (name.empty()) name = "a";
  check(ferrowick::isValidItemName(name));
  std::string_view terminator = terminators[data[0] % terminators.size()];
  check(ferrowick::isValidItemName(name + std::string(terminator)));
  check(!ferrowick::isValidItemName(name + std::string(terminator) + std::string(terminator)));
  check(!ferrowick::isValidItemName(std::string(terminator) + name));
  check(!ferrowick::isValidItemName(name + std::string(101 - name.size(), '_')));
  return 0;
}
