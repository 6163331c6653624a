// Typing as someone busy in another window does, with synthetic key events sent from the test
// itself: no program is started between noticing that the focus moved and the next key, so the
// keys land in a new window's first moments even on a loaded machine.
#pragma once

#include <chrono>
#include <string>

namespace gui {

// Types "g" again and again into whatever has the focus while that is `from` (or inside it);
// the moment the focus is elsewhere, types `tail` (lower-case letters, spaces, '/' and '.') and
// Return.
// False if the focus didn't move within `limit`.
bool typeAheadUntilFocusMoves(const std::string& display, unsigned long from,
                              const std::string& tail, std::chrono::milliseconds limit);

// Gives `window` the focus and types `tail` and Return straight after, as a user who clicks a
// window over without stopping typing.
bool focusAndTypeAtOnce(const std::string& display, unsigned long window, const std::string& tail);

}  // namespace gui
