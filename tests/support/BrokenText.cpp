#include "tests/support/BrokenText.h"

namespace testing_support {

namespace {

bool matchesAt(std::string_view shown, std::size_t at, std::string_view part, std::size_t from) {
  if (from == part.size()) return true;
  if (at == shown.size()) return false;
  if (shown[at] == part[from] && matchesAt(shown, at + 1, part, from + 1)) return true;
  if (shown[at] != '\n') return false;
  return (part[from] == ' ' && matchesAt(shown, at + 1, part, from + 1)) ||
         matchesAt(shown, at + 1, part, from);
}

}  // namespace

bool containsUnbroken(std::string_view shown, std::string_view part) {
  for (std::size_t at = 0; at <= shown.size(); ++at) {
    if (matchesAt(shown, at, part, 0)) return true;
  }
  return false;
}

}  // namespace testing_support
