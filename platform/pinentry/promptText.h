// How a text is laid out for a prompt window. Not every pinentry wraps what it is given
// (pinentry-qt grows its window to the longest line), so long texts are broken here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pinentry {

// Wide enough for a sentence, narrow enough for an 80-column terminal's box and a small screen.
inline constexpr std::size_t promptColumns = 64;

// The columns `text` takes: East Asian wide and fullwidth characters count two, combining
// marks none, anything else (a byte that is not UTF-8 included) one.
std::size_t displayWidth(std::string_view text);

// `text` with every line broken so that none is wider than `columns`: at a space (which
// becomes the line break), before or after a wide character (never before closing or after
// opening punctuation), and, where a run offers no such place, just before it would
// overflow. Line breaks already there stay; UTF-8 characters are never split.
std::string breakLines(std::string_view text, std::size_t columns = promptColumns);

}  // namespace pinentry
