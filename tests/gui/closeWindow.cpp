// Kept apart: Xlib's macros (None, Status, Bool) clash with other headers.
#include "tests/gui/closeWindow.h"

#include <X11/Xlib.h>

namespace gui {

bool sendDeleteWindow(const std::string& display, unsigned long window) {
  ::Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(connection, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(connection, window, False, NoEventMask, &event);
  XSync(connection, False);
  XCloseDisplay(connection);
  return sent != 0;
}

}  // namespace gui
