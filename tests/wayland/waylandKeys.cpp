// Sends keys to the focused Wayland window through sway's virtual keyboard, with the standard
// XKB keymap: GTK 3 ignores named keys from senders that upload a keymap of their own.
//   wayland-keys STEP...   where a STEP is text:WORDS (letters, digits, space and / . - _ :),
//                          key:Return|Escape|Tab|BackSpace, or ctrl:LETTER
// Exits 0 once every key was sent, 1 with a line on stderr otherwise.
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "virtual-keyboard-unstable-v1-client-protocol.h"

namespace {

struct Globals {
  wl_seat* seat = nullptr;
  zwp_virtual_keyboard_manager_v1* manager = nullptr;
};

void announce(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
  auto* globals = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && globals->seat == nullptr) {
    globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    globals->manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  }
}

void withdraw(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registryListener{announce, withdraw};

// Evdev codes on a US layout, and whether Shift is needed.
struct Stroke {
  uint32_t code;
  bool shift;
};

bool strokeFor(char c, Stroke& stroke) {
  static const char* rows[] = {"qwertyuiop", "asdfghjkl", "zxcvbnm"};
  static const uint32_t rowStart[] = {16, 30, 44};
  for (int row = 0; row < 3; ++row) {
    const char* at = std::strchr(rows[row], c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (at != nullptr && c != '\0') {
      stroke = {rowStart[row] + static_cast<uint32_t>(at - rows[row]), c >= 'A' && c <= 'Z'};
      return true;
    }
  }
  if (c >= '1' && c <= '9') {
    stroke = {static_cast<uint32_t>(c - '1') + 2, false};
    return true;
  }
  static const std::map<char, Stroke> others{
      {'0', {11, false}}, {' ', {57, false}}, {'/', {53, false}}, {'.', {52, false}},
      {'-', {12, false}}, {'_', {12, true}},  {':', {39, true}}};
  auto found = others.find(c);
  if (found == others.end()) return false;
  stroke = found->second;
  return true;
}

const std::map<std::string, uint32_t> namedKeys{
    {"Return", 28}, {"Escape", 1}, {"Tab", 15}, {"BackSpace", 14}};

class Sender {
 public:
  Sender(wl_display* display, zwp_virtual_keyboard_v1* keyboard, uint32_t shift, uint32_t control)
      : display_(display), keyboard_(keyboard), shift_(shift), control_(control) {}

  void stroke(uint32_t code, uint32_t modifiers) {
    if (modifiers != 0) zwp_virtual_keyboard_v1_modifiers(keyboard_, modifiers, 0, 0, 0);
    zwp_virtual_keyboard_v1_key(keyboard_, now(), code, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(keyboard_, now(), code, WL_KEYBOARD_KEY_STATE_RELEASED);
    if (modifiers != 0) zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
    wl_display_roundtrip(display_);
    // As a person types: a client reading keys in bursts may merge or drop some otherwise.
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }

  uint32_t shift() const { return shift_; }
  uint32_t control() const { return control_; }

 private:
  static uint32_t now() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  wl_display* display_;
  zwp_virtual_keyboard_v1* keyboard_;
  uint32_t shift_;
  uint32_t control_;
};

bool send(Sender& sender, const std::string& step) {
  if (step.rfind("text:", 0) == 0) {
    for (char c : step.substr(5)) {
      Stroke stroke{};
      if (!strokeFor(c, stroke)) return false;
      sender.stroke(stroke.code, stroke.shift ? sender.shift() : 0);
    }
    return true;
  }
  if (step.rfind("key:", 0) == 0) {
    auto found = namedKeys.find(step.substr(4));
    if (found == namedKeys.end()) return false;
    sender.stroke(found->second, 0);
    return true;
  }
  if (step.rfind("ctrl:", 0) == 0 && step.size() == 6) {
    Stroke stroke{};
    if (!strokeFor(step[5], stroke)) return false;
    sender.stroke(stroke.code, sender.control());
    return true;
  }
  return false;
}

int fail(const char* why) {
  std::fprintf(stderr, "wayland-keys: %s\n", why);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return fail("no Wayland display");
  Globals globals;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registryListener, &globals);
  wl_display_roundtrip(display);
  if (globals.seat == nullptr || globals.manager == nullptr) {
    return fail("the compositor offers no seat or no virtual keyboard");
  }

  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr) return fail("no standard keymap");
  char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  std::size_t size = std::strlen(text) + 1;
  int fd = memfd_create("keymap", MFD_CLOEXEC);
  if (fd < 0 || write(fd, text, size) != static_cast<ssize_t>(size)) return fail("no keymap file");
  uint32_t shift = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
  uint32_t control = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_CTRL);

  zwp_virtual_keyboard_v1* keyboard =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(globals.manager, globals.seat);
  zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                 static_cast<uint32_t>(size));
  wl_display_roundtrip(display);
  // The focused client reloads its keymap when a new keyboard shows up; keys sent before it has
  // are lost (200 ms was not always enough on a loaded machine).
  std::this_thread::sleep_for(std::chrono::milliseconds(800));

  Sender sender(display, keyboard, shift, control);
  for (int i = 1; i < argc; ++i) {
    if (!send(sender, argv[i])) return fail("a step it can't send");
  }
  zwp_virtual_keyboard_v1_destroy(keyboard);
  wl_display_roundtrip(display);
  zwp_virtual_keyboard_manager_v1_destroy(globals.manager);
  wl_seat_destroy(globals.seat);
  wl_registry_destroy(registry);
  close(fd);
  std::free(text);
  xkb_keymap_unref(keymap);
  xkb_context_unref(context);
  wl_display_disconnect(display);
  return 0;
}
