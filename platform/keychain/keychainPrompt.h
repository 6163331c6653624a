// The keychain's own prompts, shown through pinentry: the keychain password (to unlock, or to
// allow a read that requires it), a new keychain password, and an allow/deny confirmation.
// Each returns a status: errSecUserCanceled when the user cancels, errSecInteractionNotAllowed
// when no prompt can be shown (interaction disallowed, no pinentry, no display or terminal).
#pragma once

#include <string>
#include <string_view>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/keystore/Security.h"

namespace keychain {

bool interactionAllowed();
void setInteractionAllowed(bool allowed);

struct PromptSubject {
  std::string keychain;  // the keychain file's path
  std::string account;   // the item's account, any bytes
  // Replaces the usual text when set: the owner's care commands ask for other reasons.
  std::string description = {};
};

enum class PasswordPurpose { read, add };

// One prompt for the keychain password; `error` is shown above the field after a wrong try.
OSStatus askKeychainPassword(const PromptSubject& subject, PasswordPurpose purpose,
                             std::string_view error, SecureBytes& password);

// A new keychain password, typed twice; `error` as above.
OSStatus askNewPassword(const PromptSubject& subject, std::string_view error,
                        SecureBytes& password);

OSStatus askConfirmation(const PromptSubject& subject);

inline constexpr std::string_view wrongPasswordText = "密码不正确，请重试。";
inline constexpr std::string_view emptyPasswordText = "密码不能为空，请重新输入。";
inline constexpr std::string_view mismatchText = "两次输入的密码不一致，请重新输入。";

// Bytes from the outside (an account, a path) made safe to show: C0 and C1 controls, the
// bidirectional controls, U+2028, U+2029, U+FEFF and invalid UTF-8 as \xNN per byte, cut to
// `limit` characters with an ellipsis.
std::string displayText(std::string_view bytes, std::size_t limit = 80);

}  // namespace keychain
