#include "Ferrowick/interaction/secretEntry.h"

#include <string>

#include "Ferrowick/frontEnd.h"
#include "Ferrowick/interaction/AppKit.h"
#include "Ferrowick/interaction/dialogActivation.h"

namespace ferrowick {

namespace {
constexpr std::string_view headlinePrefix = "录入 ";
constexpr std::string_view informativeText = "Token 仅交给本机加密工具；上传到云端的只有密文。";
constexpr std::string_view confirmTitle = "加密并上传";
constexpr std::string_view cancelTitle = "取消";
constexpr NSRect fieldFrame{0, 0, 420, 28};
constexpr std::size_t largestSecret = 16384;
}  // namespace

void runSecretEntry() {
  activateForDialog();

  NSSecureTextField field(fieldFrame);
  NSAlert alert;
  alert.setMessageText(std::string(headlinePrefix) + name);
  alert.setInformativeText(informativeText);
  alert.addButtonWithTitle(confirmTitle);
  alert.addButtonWithTitle(cancelTitle);
  alert.setAccessoryView(field);
  alert.window().setInitialFirstResponder(field);

  if (alert.runModal() != NSAlertFirstButtonReturn) die("Credential input cancelled");

  SecureBytes secret = field.stringValue();
  if (secret.empty()) die("Credential input cancelled");
  if (secret.size() > largestSecret) die("Credential too large");

  writeRawResult(secret.view());
  field.setStringValue("");
}

}  // namespace ferrowick
