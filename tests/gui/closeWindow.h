#pragma once

#include <string>

namespace gui {

// Sends WM_DELETE_WINDOW to the window, as a window manager's close button does.
bool sendDeleteWindow(const std::string& display, unsigned long window);

}  // namespace gui
