#include "Ferrowick/interaction/dialogActivation.h"

#include "Ferrowick/interaction/AppKit.h"

namespace ferrowick {

void activateForDialog() {
  NSApplication& application = NSApplication::sharedApplication();
  // The policy must be set before activating: a process started without a window can't come
  // forward otherwise.
  application.setActivationPolicy(NSApplicationActivationPolicyAccessory);
  application.activateIgnoringOtherApps(true);
}

}  // namespace ferrowick
