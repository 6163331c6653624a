// The texts we send pinentry carry outside input (the approval reason comes from our caller
// unchanged): any bytes must make one command line that pinentry takes whole, holding the text,
// or a prefix of it followed by "…" that is cut only where the next character would not fit,
// and only between characters when the text is UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/pinentry/Pinentry.h"
#include "platform/pinentry/assuan.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool isUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80         ? 1
                         : lead >> 5 == 0x6  ? 2
                         : lead >> 4 == 0xE  ? 3
                         : lead >> 3 == 0x1E ? 4
                                             : 0;
    if (length == 0 || text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view command = "SETDESC";
  std::string line = pinentry::commandLine(command, text);

  check(line.size() <= pinentry::assuan::maxLineLength);
  for (char c : line) check(static_cast<unsigned char>(c) >= 0x20);
  check(line.starts_with(command));
  if (text.empty()) {
    check(line == command);
    return 0;
  }
  check(line.size() > command.size() && line[command.size()] == ' ');

  SecureBytes sent;
  check(pinentry::assuan::unescapeInto(std::string_view(line).substr(command.size() + 1), sent));
  std::string_view escaped = std::string_view(line).substr(command.size() + 1);
  if (sent.view() != text) {
    // Cut visibly, and only for want of room: one more character (at most 4 bytes, 3 each
    // escaped) might not have fitted beside the mark.
    constexpr std::string_view mark = "…";
    check(sent.view().ends_with(mark));
    std::string_view kept = sent.view().substr(0, sent.size() - mark.size());
    check(text.starts_with(kept) && kept.size() < text.size());
    check(line.size() + 12 > pinentry::assuan::maxLineLength);
    if (isUtf8(text)) check((static_cast<unsigned char>(text[kept.size()]) & 0xC0) != 0x80);
    escaped.remove_suffix(mark.size());
  }
  check(pinentry::escape(text).starts_with(escaped));
  return 0;
}
