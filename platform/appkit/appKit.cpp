// The dialog objects record how the tool configures them; runModal hands that description to
// the GTK dialog module, which shows the dialog. Without the module or a display a dialog
// ends unconfirmed, and the tool reports that as it reports a cancel.
#include "Ferrowick/interaction/AppKit.h"

#include <string>
#include <vector>

#include "platform/appkit/dialogModuleLoader.h"

namespace {

// Whether the tool asked to come forward before its dialog.
bool activationRequested = false;

void copyInto(void* context, const char* bytes, std::size_t size) {
  *static_cast<SecureBytes*>(context) = SecureBytes(bytes, size);
}

void copyPathInto(void* context, const char* bytes, std::size_t size) {
  *static_cast<std::optional<NSURL>*>(context) = NSURL{std::string(bytes, size)};
}

}  // namespace

NSApplication& NSApplication::sharedApplication() {
  static NSApplication application;
  return application;
}

// The policy has no counterpart on Linux: a process without windows can always show one.
void NSApplication::setActivationPolicy(NSApplicationActivationPolicy) {}

void NSApplication::activateIgnoringOtherApps(bool flag) {
  activationRequested = flag;
}

struct NSSecureTextField::Impl {
  NSRect frame;
  // What the user confirmed in the dialog; the dialog itself starts empty.
  SecureBytes value;
};

NSSecureTextField::NSSecureTextField(NSRect frame) : impl_(new Impl{frame, {}}) {}
NSSecureTextField::~NSSecureTextField() = default;

SecureBytes NSSecureTextField::stringValue() const {
  return impl_->value;
}

void NSSecureTextField::setStringValue(std::string_view value) {
  impl_->value = SecureBytes(value);
}

struct NSWindow::Impl {
  NSSecureTextField* initialFirstResponder = nullptr;
};

void NSWindow::setInitialFirstResponder(NSSecureTextField& responder) {
  impl->initialFirstResponder = &responder;
}

struct NSAlert::Impl {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttonTitles;
  NSSecureTextField* accessoryView = nullptr;
  NSWindow::Impl windowState;
  NSWindow window;
};

NSAlert::NSAlert() : impl_(new Impl) {
  impl_->window.impl = &impl_->windowState;
}
NSAlert::~NSAlert() = default;

void NSAlert::setMessageText(std::string_view text) {
  impl_->messageText = text;
}
void NSAlert::setInformativeText(std::string_view text) {
  impl_->informativeText = text;
}
void NSAlert::addButtonWithTitle(std::string_view title) {
  impl_->buttonTitles.emplace_back(title);
}
void NSAlert::setAccessoryView(NSSecureTextField& view) {
  impl_->accessoryView = &view;
}
NSWindow& NSAlert::window() {
  return impl_->window;
}

NSModalResponse NSAlert::runModal() {
  const DialogModule* module = dialogModule();
  if (module == nullptr) return 0;

  std::vector<const char*> titles;
  for (const std::string& title : impl_->buttonTitles) titles.push_back(title.c_str());
  NSSecureTextField* field = impl_->accessoryView;
  FerrowickAlertRequest request{};
  request.messageText = impl_->messageText.c_str();
  request.informativeText = impl_->informativeText.c_str();
  request.buttonTitles = titles.data();
  request.buttonCount = titles.size();
  request.hasField = field != nullptr;
  if (field != nullptr) {
    request.fieldWidth = field->impl().frame.width;
    request.fieldHeight = field->impl().frame.height;
    request.fieldHasInitialFocus = impl_->windowState.initialFirstResponder == field;
  }
  request.comeForward = activationRequested;

  SecureBytes typed;
  NSModalResponse response = module->runAlert(&request, copyInto, &typed);
  if (field != nullptr) field->impl().value = std::move(typed);
  return response;
}

struct NSOpenPanel::Impl {
  std::string message;
  bool canChooseDirectories = false;
  bool canChooseFiles = true;
  bool allowsMultipleSelection = false;
  std::optional<NSURL> url;
};

NSOpenPanel::NSOpenPanel() : impl_(new Impl) {}
NSOpenPanel::~NSOpenPanel() = default;

void NSOpenPanel::setMessage(std::string_view message) {
  impl_->message = message;
}
void NSOpenPanel::setCanChooseDirectories(bool flag) {
  impl_->canChooseDirectories = flag;
}
void NSOpenPanel::setCanChooseFiles(bool flag) {
  impl_->canChooseFiles = flag;
}
void NSOpenPanel::setAllowsMultipleSelection(bool flag) {
  impl_->allowsMultipleSelection = flag;
}

NSModalResponse NSOpenPanel::runModal() {
  impl_->url.reset();
  const DialogModule* module = dialogModule();
  if (module == nullptr) return 0;

  FerrowickPanelRequest request{};
  request.message = impl_->message.c_str();
  request.canChooseFiles = impl_->canChooseFiles;
  request.canChooseDirectories = impl_->canChooseDirectories;
  request.allowsMultipleSelection = impl_->allowsMultipleSelection;
  request.comeForward = activationRequested;
  return module->runPanel(&request, copyPathInto, &impl_->url);
}

std::optional<NSURL> NSOpenPanel::URL() const {
  return impl_->url;
}
