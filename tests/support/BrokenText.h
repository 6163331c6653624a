// Finding a text in what a prompt showed, when the prompt broke its lines to fit a window.
#pragma once

#include <string_view>

namespace testing_support {

// Whether `part` appears in `shown` once the line breaks the prompt added are taken out: a
// line break in `shown` stands for the space it replaced, for nothing (a break between two
// wide characters or inside a run), or for a line break that `part` has itself.
bool containsUnbroken(std::string_view shown, std::string_view part);

}  // namespace testing_support
