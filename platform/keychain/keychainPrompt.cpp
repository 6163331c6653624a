#include "platform/keychain/keychainPrompt.h"

#include <algorithm>
#include <atomic>

#include "platform/pinentry/Pinentry.h"
#include "platform/pinentry/promptText.h"

namespace keychain {

namespace {

std::atomic<bool> interaction{true};

// A forgotten prompt must not keep a request waiting for ever.
constexpr int promptTimeoutSeconds = 120;
constexpr std::string_view title = "Ferrowick 钥匙串";

OSStatus statusOf(pinentry::Outcome outcome) {
  switch (outcome) {
    case pinentry::Outcome::pin:
    case pinentry::Outcome::confirmed:
      return errSecSuccess;
    case pinentry::Outcome::cancelled:
    case pinentry::Outcome::timedOut:
    case pinentry::Outcome::stopped:
      return errSecUserCanceled;
    case pinentry::Outcome::unavailable:
      break;
  }
  return errSecInteractionNotAllowed;
}

bool canPrompt() {
  return interaction.load() && pinentry::available();
}

pinentry::Request baseRequest(std::string description) {
  pinentry::Request request;
  request.title = std::string(title);
  // Paths and item names come as long unbroken runs; not every pinentry wraps them.
  request.description = pinentry::breakLines(description);
  request.timeoutSeconds = promptTimeoutSeconds;
  return request;
}

std::string quoted(std::string_view text) {
  return "“" + displayText(text) + "”";
}

// The length of the UTF-8 sequence starting at `at`, or 0 when it is not valid.
std::size_t utf8Length(std::string_view bytes, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  unsigned char lead = byte(at);
  std::size_t length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || at + length > bytes.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  if (length == 3) {
    if (lead == 0xE0 && byte(at + 1) < 0xA0) return 0;   // overlong
    if (lead == 0xED && byte(at + 1) >= 0xA0) return 0;  // surrogate
  }
  if (length == 4) {
    if (lead == 0xF0 && byte(at + 1) < 0x90) return 0;   // overlong
    if (lead == 0xF4 && byte(at + 1) >= 0x90) return 0;  // above U+10FFFF
  }
  return length;
}

// The code point of the valid UTF-8 sequence of `length` bytes at `at`.
char32_t codePoint(std::string_view bytes, std::size_t at, std::size_t length) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
  if (length == 1) return byte(0);
  char32_t point = byte(0) & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) point = (point << 6) | (byte(i) & 0x3F);
  return point;
}

// Characters that are invisible or that move or hide other text on a terminal or in a dialog:
// C0 and C1 controls, DEL, the bidirectional marks, embeddings, overrides and isolates, the
// line and paragraph separators, and the byte order mark.
bool disguising(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x061C || point == 0x200E ||
         point == 0x200F || (point >= 0x2028 && point <= 0x202E) ||
         (point >= 0x2066 && point <= 0x2069) || point == 0xFEFF;
}

}  // namespace

bool interactionAllowed() {
  return interaction.load();
}
void setInteractionAllowed(bool allowed) {
  interaction.store(allowed);
}

std::string displayText(std::string_view bytes, std::size_t limit) {
  static const char hex[] = "0123456789ABCDEF";
  std::string text;
  std::size_t characters = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    if (characters == limit) return text + "…";
    std::size_t length = utf8Length(bytes, at);
    if (length == 0 || disguising(codePoint(bytes, at, length))) {
      // Each byte of it, so the escaped text still tells the exact bytes.
      for (std::size_t i = 0; i < std::max<std::size_t>(length, 1); ++i) {
        auto byte = static_cast<unsigned char>(bytes[at + i]);
        text += "\\x";
        text += hex[byte >> 4];
        text += hex[byte & 0x0F];
      }
      at += std::max<std::size_t>(length, 1);
    } else {
      text.append(bytes.substr(at, length));
      at += length;
    }
    ++characters;
  }
  return text;
}

OSStatus askKeychainPassword(const PromptSubject& subject, PasswordPurpose purpose,
                             std::string_view error, SecureBytes& password) {
  if (!canPrompt()) return errSecInteractionNotAllowed;
  std::string description = !subject.description.empty() ? subject.description
                            : purpose == PasswordPurpose::read
                                ? "Ferrowick 想要读取钥匙串项目" + quoted(subject.account) +
                                      "。\n\n请输入钥匙串" + quoted(subject.keychain) +
                                      "的密码以允许本次读取。"
                                : "Ferrowick 想要向钥匙串" + quoted(subject.keychain) + "添加项目" +
                                      quoted(subject.account) + "。\n\n请输入钥匙串密码以解锁。";
  pinentry::Request request = baseRequest(std::move(description));
  request.prompt = "密码";
  request.okLabel = purpose == PasswordPurpose::read ? "允许" : "解锁";
  request.cancelLabel = "取消";
  request.error = std::string(error);
  pinentry::Result result = pinentry::getPin(request);
  OSStatus status = statusOf(result.outcome);
  if (status == errSecSuccess) password = std::move(result.pin);
  return status;
}

OSStatus askNewPassword(const PromptSubject& subject, std::string_view error,
                        SecureBytes& password) {
  if (!canPrompt()) return errSecInteractionNotAllowed;
  pinentry::Request request =
      baseRequest(!subject.description.empty()
                      ? subject.description
                      : "将创建新的钥匙串" + quoted(subject.keychain) + "，用于保存项目" +
                            quoted(subject.account) +
                            "。\n\n请为该钥匙串设置密码。以后读取其中的项目时都需要输入这个密码。");
  request.prompt = "新密码";
  request.repeat = "再次输入";
  request.repeatError = std::string(mismatchText);  // else the GUI flavours say it in English
  request.okLabel = subject.description.empty() ? "创建" : "确定";
  request.cancelLabel = "取消";
  request.error = std::string(error);
  pinentry::Result result = pinentry::getPin(request);
  OSStatus status = statusOf(result.outcome);
  if (status != errSecSuccess) return status;
  if (!result.repeated) {
    password.clear();
    return errSecAuthFailed;  // the two entries were not confirmed equal
  }
  password = std::move(result.pin);
  return errSecSuccess;
}

OSStatus askConfirmation(const PromptSubject& subject) {
  if (!canPrompt()) return errSecInteractionNotAllowed;
  pinentry::Request request =
      baseRequest("Ferrowick 想要读取钥匙串" + quoted(subject.keychain) + "中的项目" +
                  quoted(subject.account) + "。\n\n是否允许？");
  request.okLabel = "允许";
  request.cancelLabel = "拒绝";
  pinentry::Outcome outcome = pinentry::confirm(request);
  // pinentry reports a refusal and a cancel alike; either way the user did not allow it.
  if (outcome == pinentry::Outcome::cancelled) return errSecAuthFailed;
  return statusOf(outcome);
}

}  // namespace keychain
