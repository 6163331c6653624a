#include "tests/fakes/FakeAppKit.h"

#include <algorithm>
#include <sstream>

#include "tests/fakes/FakeFoundation.h"

namespace fake::appkit {

State& state() {
  static State instance;
  return instance;
}

void reset() {
  state() = {};
  fake::events().clear();
}

std::string firstOutOfOrder(const std::vector<std::string>& expected) {
  auto next = state().calls.begin();
  for (const std::string& call : expected) {
    next = std::find(next, state().calls.end(), call);
    if (next == state().calls.end()) return call;
    ++next;
  }
  return {};
}

}  // namespace fake::appkit

namespace {

using fake::appkit::state;

void record(std::string call) {
  fake::events().push_back(call);
  state().calls.push_back(std::move(call));
}

std::string flag(bool value) {
  return value ? "1" : "0";
}

std::string number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

bool inFront() {
  return state().activationPolicy == NSApplicationActivationPolicyAccessory && state().activated;
}

}  // namespace

NSApplication& NSApplication::sharedApplication() {
  record("sharedApplication");
  static NSApplication application;
  return application;
}
void NSApplication::setActivationPolicy(NSApplicationActivationPolicy policy) {
  record("setActivationPolicy:" + std::to_string(policy));
  state().activationPolicy = policy;
}
void NSApplication::activateIgnoringOtherApps(bool value) {
  record("activateIgnoringOtherApps:" + flag(value));
  if (value) state().activated = true;
}

struct NSSecureTextField::Impl {
  std::string value;
  std::string frame;
  bool focused = false;
};

NSSecureTextField::NSSecureTextField(NSRect frame) : impl_(new Impl) {
  impl_->frame = number(frame.x) + "," + number(frame.y) + "," + number(frame.width) + "," +
                 number(frame.height);
  record("NSSecureTextField initWithFrame:" + impl_->frame);
}
NSSecureTextField::~NSSecureTextField() {
  state().fieldValueAtEnd = impl_->value;
}
SecureBytes NSSecureTextField::stringValue() const {
  record("stringValue");
  return SecureBytes(impl_->value);
}
void NSSecureTextField::setStringValue(std::string_view value) {
  record("setStringValue:" + std::to_string(value.size()) + " bytes");
  state().outputWritesBeforeLastSet = fake::streams().outWrites;
  impl_->value = value;
}

struct NSWindow::Impl {};

// One window at a time here: the field remembers that it has the focus.
void NSWindow::setInitialFirstResponder(NSSecureTextField& field) {
  record("setInitialFirstResponder:field");
  field.impl().focused = true;
}

struct NSAlert::Impl {
  NSWindow window;
  NSSecureTextField* accessoryView = nullptr;
  fake::appkit::ShownAlert shown;
};

NSAlert::NSAlert() : impl_(new Impl) {
  record("NSAlert init");
}
NSAlert::~NSAlert() = default;
void NSAlert::setMessageText(std::string_view text) {
  record("setMessageText:" + std::string(text));
  impl_->shown.messageText = std::string(text);
}
void NSAlert::setInformativeText(std::string_view text) {
  record("setInformativeText:" + std::string(text));
  impl_->shown.informativeText = std::string(text);
}
void NSAlert::addButtonWithTitle(std::string_view title) {
  record("addButtonWithTitle:" + std::string(title));
  impl_->shown.buttons.emplace_back(title);
}
void NSAlert::setAccessoryView(NSSecureTextField& view) {
  record("setAccessoryView:field");
  impl_->accessoryView = &view;
}
NSWindow& NSAlert::window() {
  record("window");
  return impl_->window;
}
NSModalResponse NSAlert::runModal() {
  record("runModal");
  fake::appkit::ShownAlert shown = impl_->shown;
  shown.inFront = inFront();
  if (impl_->accessoryView != nullptr) {
    shown.secureField = impl_->accessoryView->impl().frame;
    shown.fieldHasFocus = impl_->accessoryView->impl().focused;
  }
  state().alerts.push_back(shown);
  // The user types into the field while the alert runs.
  if (impl_->accessoryView != nullptr) impl_->accessoryView->impl().value = state().typed;
  return state().alertResponse;
}

struct NSOpenPanel::Impl {
  fake::appkit::ShownPanel shown;
};

NSOpenPanel::NSOpenPanel() : impl_(new Impl) {
  record("NSOpenPanel init");
}
NSOpenPanel::~NSOpenPanel() = default;
void NSOpenPanel::setMessage(std::string_view message) {
  record("setMessage:" + std::string(message));
  impl_->shown.message = std::string(message);
}
void NSOpenPanel::setCanChooseDirectories(bool value) {
  record("setCanChooseDirectories:" + flag(value));
  impl_->shown.canChooseDirectories = value;
}
void NSOpenPanel::setCanChooseFiles(bool value) {
  record("setCanChooseFiles:" + flag(value));
  impl_->shown.canChooseFiles = value;
}
void NSOpenPanel::setAllowsMultipleSelection(bool value) {
  record("setAllowsMultipleSelection:" + flag(value));
  impl_->shown.allowsMultipleSelection = value;
}
NSModalResponse NSOpenPanel::runModal() {
  record("runModal");
  fake::appkit::ShownPanel shown = impl_->shown;
  shown.inFront = inFront();
  state().panels.push_back(shown);
  return state().panelResponse;
}
std::optional<NSURL> NSOpenPanel::URL() const {
  record("URL");
  if (!state().pickedPath) return std::nullopt;
  return NSURL{*state().pickedPath};
}
