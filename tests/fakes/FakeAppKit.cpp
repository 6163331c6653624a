// Placeholder until the fake dialogs land: every dialog ends unconfirmed.
#include "Ferrowick/interaction/AppKit.h"

NSApplication& NSApplication::sharedApplication() {
  static NSApplication application;
  return application;
}
void NSApplication::setActivationPolicy(NSApplicationActivationPolicy) {}
void NSApplication::activateIgnoringOtherApps(bool) {}

struct NSSecureTextField::Impl {};
NSSecureTextField::NSSecureTextField(NSRect) : impl_(new Impl) {}
NSSecureTextField::~NSSecureTextField() = default;
SecureBytes NSSecureTextField::stringValue() const { return {}; }
void NSSecureTextField::setStringValue(std::string_view) {}

void NSWindow::setInitialFirstResponder(NSSecureTextField&) {}

struct NSAlert::Impl {
  NSWindow window;
};
NSAlert::NSAlert() : impl_(new Impl) {}
NSAlert::~NSAlert() = default;
void NSAlert::setMessageText(std::string_view) {}
void NSAlert::setInformativeText(std::string_view) {}
void NSAlert::addButtonWithTitle(std::string_view) {}
void NSAlert::setAccessoryView(NSSecureTextField&) {}
NSWindow& NSAlert::window() { return impl_->window; }
NSModalResponse NSAlert::runModal() { return 0; }

struct NSOpenPanel::Impl {};
NSOpenPanel::NSOpenPanel() : impl_(new Impl) {}
NSOpenPanel::~NSOpenPanel() = default;
void NSOpenPanel::setMessage(std::string_view) {}
void NSOpenPanel::setCanChooseDirectories(bool) {}
void NSOpenPanel::setCanChooseFiles(bool) {}
void NSOpenPanel::setAllowsMultipleSelection(bool) {}
NSModalResponse NSOpenPanel::runModal() { return 0; }
std::optional<NSURL> NSOpenPanel::URL() const { return std::nullopt; }
