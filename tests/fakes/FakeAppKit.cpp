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

}  // namespace

NSApplication& NSApplication::sharedApplication() {
  record("sharedApplication");
  static NSApplication application;
  return application;
}
void NSApplication::setActivationPolicy(NSApplicationActivationPolicy policy) {
  record("setActivationPolicy:" + std::to_string(policy));
}
void NSApplication::activateIgnoringOtherApps(bool value) {
  record("activateIgnoringOtherApps:" + flag(value));
}

struct NSSecureTextField::Impl {
  std::string value;
};

NSSecureTextField::NSSecureTextField(NSRect frame) : impl_(new Impl) {
  record("NSSecureTextField initWithFrame:" + number(frame.x) + "," + number(frame.y) + "," +
         number(frame.width) + "," + number(frame.height));
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

void NSWindow::setInitialFirstResponder(NSSecureTextField&) {
  record("setInitialFirstResponder:field");
}

struct NSAlert::Impl {
  NSWindow window;
  NSSecureTextField* accessoryView = nullptr;
};

NSAlert::NSAlert() : impl_(new Impl) {
  record("NSAlert init");
}
NSAlert::~NSAlert() = default;
void NSAlert::setMessageText(std::string_view text) {
  record("setMessageText:" + std::string(text));
}
void NSAlert::setInformativeText(std::string_view text) {
  record("setInformativeText:" + std::string(text));
}
void NSAlert::addButtonWithTitle(std::string_view title) {
  record("addButtonWithTitle:" + std::string(title));
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
  // The user types into the field while the alert runs.
  if (impl_->accessoryView != nullptr) impl_->accessoryView->impl().value = state().typed;
  return state().alertResponse;
}

struct NSOpenPanel::Impl {};

NSOpenPanel::NSOpenPanel() : impl_(new Impl) {
  record("NSOpenPanel init");
}
NSOpenPanel::~NSOpenPanel() = default;
void NSOpenPanel::setMessage(std::string_view message) {
  record("setMessage:" + std::string(message));
}
void NSOpenPanel::setCanChooseDirectories(bool value) {
  record("setCanChooseDirectories:" + flag(value));
}
void NSOpenPanel::setCanChooseFiles(bool value) {
  record("setCanChooseFiles:" + flag(value));
}
void NSOpenPanel::setAllowsMultipleSelection(bool value) {
  record("setAllowsMultipleSelection:" + flag(value));
}
NSModalResponse NSOpenPanel::runModal() {
  record("runModal");
  return state().panelResponse;
}
std::optional<NSURL> NSOpenPanel::URL() const {
  record("URL");
  if (!state().pickedPath) return std::nullopt;
  return NSURL{*state().pickedPath};
}
