// The dialog double: answers the modal runs as scripted, keeps what each dialog showed the owner
// when it ran and what the field held when it went away (so a test can see that it was
// cleared), and records every call in order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Ferrowick/interaction/AppKit.h"

namespace fake::appkit {

// What the owner saw of an alert when it ran.
struct ShownAlert {
  bool inFront = false;  // the application was an accessory and had been activated
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;  // in order, the first being the default
  std::string secureField;           // "x,y,width,height" of the secure field shown, or ""
  bool fieldHasFocus = false;        // the field is the window's initial first responder
  bool operator==(const ShownAlert&) const = default;
};

// What the owner saw of an open panel when it ran.
struct ShownPanel {
  bool inFront = false;
  std::string message;
  bool canChooseDirectories = false;
  bool canChooseFiles = true;
  bool allowsMultipleSelection = false;
  bool operator==(const ShownPanel&) const = default;
};

struct State {
  // Script.
  NSModalResponse alertResponse = NSAlertFirstButtonReturn;
  std::string typed;  // the field's text once the alert has run (bytes, not checked)
  NSModalResponse panelResponse = NSModalResponseOK;
  std::optional<std::string> pickedPath;  // the panel's URL path; none = no URL

  // What was shown, dialog by dialog.
  std::vector<ShownAlert> alerts;
  std::vector<ShownPanel> panels;

  // Record. Calls read like the platform's: "sharedApplication", "setActivationPolicy:1",
  // "activateIgnoringOtherApps:1", "NSAlert init", "setMessageText:<t>",
  // "setInformativeText:<t>", "addButtonWithTitle:<t>",
  // "NSSecureTextField initWithFrame:<x>,<y>,<w>,<h>", "setAccessoryView:field", "window",
  // "setInitialFirstResponder:field", "runModal", "stringValue", "setStringValue:<n> bytes",
  // "NSOpenPanel init", "setMessage:<t>", "setCanChooseDirectories:<0|1>",
  // "setCanChooseFiles:<0|1>", "setAllowsMultipleSelection:<0|1>", "URL".
  // A field's text is never recorded, only its size.
  std::vector<std::string> calls;
  // The field's text when it was destroyed, and the number of writes to standard output made
  // before its last setStringValue.
  std::optional<std::string> fieldValueAtEnd;
  std::optional<int> outputWritesBeforeLastSet;

  // The application's state, as far as the owner can tell.
  NSApplicationActivationPolicy activationPolicy = 0;
  bool activated = false;
};
State& state();
void reset();

// The first of `expected` that is missing from the recorded calls, or not after the one before
// it; empty when all of them were made in this order (others may come between).
std::string firstOutOfOrder(const std::vector<std::string>& expected);

}  // namespace fake::appkit
