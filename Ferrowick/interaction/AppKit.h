// The dialog operations of the platform's application toolkit, under their platform names.
// The binary links platform/appkit, which loads the GTK dialog module only when a dialog is
// run; tests link a fake that records every call.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Ferrowick/Foundation.h"

using NSModalResponse = long;
inline constexpr NSModalResponse NSModalResponseOK = 1;
inline constexpr NSModalResponse NSAlertFirstButtonReturn = 1000;

using NSApplicationActivationPolicy = long;
inline constexpr NSApplicationActivationPolicy NSApplicationActivationPolicyAccessory = 1;

struct NSRect {
  double x = 0, y = 0, width = 0, height = 0;
};

class NSApplication {
 public:
  static NSApplication& sharedApplication();
  void setActivationPolicy(NSApplicationActivationPolicy policy);
  void activateIgnoringOtherApps(bool flag);
};

// A single-line field that masks what is typed. It must outlive any alert it is put into.
class NSSecureTextField {
 public:
  explicit NSSecureTextField(NSRect frame);
  ~NSSecureTextField();
  NSSecureTextField(const NSSecureTextField&) = delete;
  NSSecureTextField& operator=(const NSSecureTextField&) = delete;

  SecureBytes stringValue() const;
  void setStringValue(std::string_view value);

  struct Impl;
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

class NSWindow {
 public:
  void setInitialFirstResponder(NSSecureTextField& responder);

  struct Impl;
  Impl* impl = nullptr;
};

class NSAlert {
 public:
  NSAlert();
  ~NSAlert();
  NSAlert(const NSAlert&) = delete;
  NSAlert& operator=(const NSAlert&) = delete;

  void setMessageText(std::string_view text);
  void setInformativeText(std::string_view text);
  // The first button added answers NSAlertFirstButtonReturn, the next 1001, and so on.
  void addButtonWithTitle(std::string_view title);
  void setAccessoryView(NSSecureTextField& view);
  NSWindow& window();
  // Blocks until the user ends the alert.
  NSModalResponse runModal();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

struct NSURL {
  std::string path;  // the item's file-system path, as bytes
};

class NSOpenPanel {
 public:
  NSOpenPanel();
  ~NSOpenPanel();
  NSOpenPanel(const NSOpenPanel&) = delete;
  NSOpenPanel& operator=(const NSOpenPanel&) = delete;

  void setMessage(std::string_view message);
  void setCanChooseDirectories(bool flag);
  void setCanChooseFiles(bool flag);
  void setAllowsMultipleSelection(bool flag);
  // Blocks until the user ends the panel.
  NSModalResponse runModal();
  // The picked item, or none (nothing picked, or not a local file).
  std::optional<NSURL> URL() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
