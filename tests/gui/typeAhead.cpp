// Kept apart: Xlib's macros (None, Status, Bool) clash with other headers.
#include "tests/gui/typeAhead.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <thread>

namespace gui {

namespace {

void press(::Display* connection, KeySym symbol) {
  KeyCode code = XKeysymToKeycode(connection, symbol);
  XTestFakeKeyEvent(connection, code, True, CurrentTime);
  XTestFakeKeyEvent(connection, code, False, CurrentTime);
  XFlush(connection);
}

KeySym symbolOf(char c) {
  switch (c) {
    case ' ':
      return XK_space;
    case '/':
      return XK_slash;
    case '.':
      return XK_period;
    default:
      return XK_a + (c - 'a');
  }
}

void typeTail(::Display* connection, const std::string& tail) {
  for (char c : tail) press(connection, symbolOf(c));
  press(connection, XK_Return);
  XSync(connection, False);
}

// Whether the focus is on `window` or one of its descendants.
bool focusInside(::Display* connection, Window window) {
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(connection, &focus, &revert);
  while (focus != 0 && focus != PointerRoot) {
    if (focus == window) return true;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(connection, focus, &root, &parent, &children, &count) == 0) return false;
    if (children != nullptr) XFree(children);
    if (parent == root) return false;
    focus = parent;
  }
  return false;
}

}  // namespace

bool typeAheadUntilFocusMoves(const std::string& display, unsigned long from,
                              const std::string& tail, std::chrono::milliseconds limit) {
  ::Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return false;
  auto deadline = std::chrono::steady_clock::now() + limit;
  bool moved = false;
  int sinceKey = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!focusInside(connection, from)) {
      typeTail(connection, tail);
      moved = true;
      break;
    }
    // A key every 20 ms, the focus looked at every millisecond.
    if (sinceKey++ % 20 == 0) press(connection, XK_g);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  XCloseDisplay(connection);
  return moved;
}

bool focusAndTypeAtOnce(const std::string& display, unsigned long window, const std::string& tail) {
  ::Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) return false;
  XSetInputFocus(connection, window, RevertToParent, CurrentTime);
  typeTail(connection, tail);
  XCloseDisplay(connection);
  return true;
}

}  // namespace gui
