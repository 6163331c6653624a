#include "platform/pinentry/promptText.h"

#include <algorithm>
#include <optional>

namespace pinentry {

namespace {

struct Character {
  char32_t code;       // U+FFFD for a byte that is not UTF-8
  std::size_t length;  // bytes
};

// The character at `at`; a broken sequence counts as one byte of its own.
Character decode(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || at + length > text.size()) return {0xFFFD, 1};
  char32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return {0xFFFD, 1};
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return {0xFFFD, 1};
  return {code, length};
}

bool wide(char32_t c) {
  struct Range {
    char32_t first, last;
  };
  // East Asian Wide and Fullwidth blocks, as terminals count them.
  static constexpr Range ranges[] = {
      {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
      {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
      {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
      {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD},
      {0x30000, 0x3FFFD},
  };
  return std::any_of(std::begin(ranges), std::end(ranges),
                     [c](const Range& r) { return c >= r.first && c <= r.last; });
}

bool zeroWidth(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || c == 0xFE0F;
}

std::size_t widthOf(char32_t c) {
  return zeroWidth(c) ? 0 : wide(c) ? 2 : 1;
}

// Marks that must not begin a line (closing) or end one (opening).
bool closing(char32_t c) {
  static constexpr std::u32string_view marks = U"，。、：；！？）」』】》〉”’…・";
  return marks.find(c) != std::u32string_view::npos;
}
bool opening(char32_t c) {
  static constexpr std::u32string_view marks = U"（「『【《〈“‘";
  return marks.find(c) != std::u32string_view::npos;
}

void breakLine(std::string_view line, std::size_t columns, std::string& out) {
  std::string current;
  std::size_t width = 0;
  // The last place in `current` where it may be broken (none: npos), and whether a space sits
  // there.
  constexpr std::size_t none = std::string::npos;
  std::size_t breakAt = none;
  bool breakIsSpace = false;
  std::optional<char32_t> previous;

  auto emit = [&](std::string_view text) {
    out.append(text);
    out += '\n';
  };
  for (std::size_t at = 0; at < line.size();) {
    Character c = decode(line, at);
    std::string_view bytes = line.substr(at, c.length);
    at += c.length;
    std::size_t w = widthOf(c.code);

    if (c.code == ' ') {
      if (width + 1 > columns && !current.empty()) {
        emit(current);  // the space itself becomes the break
        current.clear();
        width = 0;
        breakAt = none;
        previous.reset();
        continue;
      }
      breakAt = current.size();
      breakIsSpace = true;
    } else if (previous && *previous != ' ' && (wide(*previous) || wide(c.code)) &&
               !closing(c.code) && !opening(*previous) && !zeroWidth(c.code)) {
      breakAt = current.size();
      breakIsSpace = false;
    }

    if (width + w > columns && c.code != ' ' && breakAt != none) {
      std::string rest = current.substr(breakAt + (breakIsSpace ? 1 : 0));
      emit(std::string_view(current).substr(0, breakAt));
      current = std::move(rest);
      width = displayWidth(current);
      breakAt = none;
    }
    if (width + w > columns && !current.empty()) {
      emit(current);  // no place to break: cut just before the overflow
      current.clear();
      width = 0;
      breakAt = none;
    }
    current.append(bytes);
    width += w;
    previous = c.code;
  }
  out.append(current);
}

}  // namespace

std::size_t displayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    Character c = decode(text, at);
    width += widthOf(c.code);
    at += c.length;
  }
  return width;
}

std::string breakLines(std::string_view text, std::size_t columns) {
  if (columns == 0) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / columns + 1);
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find('\n', start);
    breakLine(text.substr(start, end == std::string_view::npos ? end : end - start), columns, out);
    if (end == std::string_view::npos) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

}  // namespace pinentry
