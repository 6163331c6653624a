// PAM rules this file keeps:
// - the user is the one running us (getuid), never a name from outside;
// - pam_authenticate refuses an empty password (Debian's common-auth has nullok);
// - replies are calloc'd for PAM to free, and wiped and freed by us on every failure path;
// - a wrong password is retried, anything the user did (cancel) or could not do (no prompt)
//   ends the conversation at once.
#include "platform/localauth/ownerAuthentication.h"

#include <pwd.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/localauth/pamLibrary.h"

namespace localauth {

namespace {

using Clock = std::chrono::steady_clock;

// Shown above the prompt after a wrong password, when PAM gave no message of its own.
constexpr const char* retryMessage = "密码不正确，请重试。";

struct Conversation {
  const Evaluation& evaluation;
  pinentry::Cancellation& cancellation;
  std::string pendingError;                // PAM_ERROR_MSG texts, for the next prompt's SETERROR
  std::string pendingInfo;                 // PAM_TEXT_INFO texts, added below the reason
  std::optional<pinentry::Outcome> ended;  // why a prompt gave no answer
};

void appendLine(std::string& to, const char* text) {
  if (text == nullptr || *text == '\0') return;
  if (!to.empty()) to += '\n';
  to += text;
}

// "Password: " becomes "Password": pinentry adds its own separator.
std::string promptText(const char* text) {
  std::string prompt = text != nullptr ? text : "";
  while (!prompt.empty() && (prompt.back() == ' ' || prompt.back() == ':')) prompt.pop_back();
  return prompt;
}

void wipeReplies(pam_response* replies, int count) {
  if (replies == nullptr) return;
  for (int i = 0; i < count; ++i) {
    if (replies[i].resp != nullptr) {
      sodium_memzero(replies[i].resp, std::strlen(replies[i].resp));
      std::free(replies[i].resp);
    }
  }
  std::free(replies);
}

// One GETPIN for one PAM prompt; the answer in malloc'd memory for PAM, or null.
char* ask(Conversation& conversation, const pam_message& message) {
  const Evaluation& evaluation = conversation.evaluation;
  auto left = std::chrono::duration_cast<std::chrono::seconds>(evaluation.deadline - Clock::now());
  if (left.count() < 1) {
    conversation.ended = pinentry::Outcome::timedOut;
    return nullptr;
  }
  pinentry::Request request;
  request.description = evaluation.reason;
  if (!conversation.pendingInfo.empty()) request.description += "\n\n" + conversation.pendingInfo;
  request.prompt = promptText(message.msg);
  request.cancelLabel = evaluation.cancelLabel;
  request.error = conversation.pendingError;
  request.timeoutSeconds = static_cast<int>(left.count());  // whole seconds, within the time left
  conversation.pendingError.clear();
  conversation.pendingInfo.clear();

  pinentry::Result result = pinentry::getPin(request, &conversation.cancellation);
  if (result.outcome != pinentry::Outcome::pin) {
    conversation.ended = result.outcome;
    return nullptr;
  }
  auto* answer = static_cast<char*>(std::malloc(result.pin.size() + 1));
  if (answer == nullptr) {
    conversation.ended = pinentry::Outcome::unavailable;
    return nullptr;
  }
  if (!result.pin.empty()) std::memcpy(answer, result.pin.data(), result.pin.size());
  answer[result.pin.size()] = '\0';
  return answer;
}

int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
  auto& conversation = *static_cast<Conversation*>(data);
  if (count <= 0 || count > PAM_MAX_NUM_MSG || messages == nullptr || responses == nullptr) {
    return PAM_CONV_ERR;
  }
  *responses = nullptr;
  auto* replies = static_cast<pam_response*>(
      std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const pam_message& message = *messages[i];
    switch (message.msg_style) {
      case PAM_PROMPT_ECHO_OFF:
      case PAM_PROMPT_ECHO_ON:
        replies[i].resp = ask(conversation, message);
        if (replies[i].resp == nullptr) {
          wipeReplies(replies, count);
          return PAM_CONV_ERR;
        }
        break;
      case PAM_ERROR_MSG:
        appendLine(conversation.pendingError, message.msg);
        break;
      case PAM_TEXT_INFO:
        appendLine(conversation.pendingInfo, message.msg);
        break;
      default:  // binary prompts and the like: nothing we can show
        wipeReplies(replies, count);
        return PAM_CONV_ERR;
    }
  }
  *responses = replies;
  return PAM_SUCCESS;
}

Verdict verdictOfEndedPrompt(pinentry::Outcome outcome) {
  switch (outcome) {
    case pinentry::Outcome::cancelled:
      return Verdict::cancelled;
    case pinentry::Outcome::timedOut:
      return Verdict::timedOut;
    case pinentry::Outcome::stopped:
      return Verdict::stopped;
    default:
      return Verdict::unavailable;
  }
}

int noConversation(int, const pam_message**, pam_response**, void*) {
  return PAM_CONV_ERR;
}

}  // namespace

std::string currentUserName() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_name == nullptr) {
    return {};
  }
  return found->pw_name;
}

bool ownerAuthenticationPossible() {
  if (!pinentry::available()) return false;
  const PamLibrary* pam = pamLibrary();
  if (pam == nullptr) return false;
  std::string user = currentUserName();
  if (user.empty()) return false;
  pam_conv conv{noConversation, nullptr};
  pam_handle_t* handle = nullptr;
  int status = pam->start(pamService, user.c_str(), &conv, &handle);
  if (handle != nullptr) pam->end(handle, status);
  return status == PAM_SUCCESS;
}

Verdict authenticateOwner(const Evaluation& evaluation, pinentry::Cancellation& cancellation) {
  const PamLibrary* pam = pamLibrary();
  if (pam == nullptr) return Verdict::unavailable;
  std::string user = currentUserName();
  if (user.empty()) return Verdict::unavailable;
  Conversation conversation{evaluation, cancellation, {}, {}, std::nullopt};
  pam_conv conv{converse, &conversation};
  pam_handle_t* handle = nullptr;
  int status = pam->start(pamService, user.c_str(), &conv, &handle);
  if (status != PAM_SUCCESS) {
    if (handle != nullptr) pam->end(handle, status);
    return Verdict::unavailable;
  }
  for (int tries = 1;; ++tries) {
    status = pam->authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS || conversation.ended || status != PAM_AUTH_ERR ||
        tries == maxTries || Clock::now() >= evaluation.deadline) {
      break;
    }
    if (conversation.pendingError.empty()) conversation.pendingError = retryMessage;
  }
  if (status == PAM_SUCCESS) status = pam->accountManagement(handle, 0);
  pam->end(handle, status);

  if (conversation.ended) return verdictOfEndedPrompt(*conversation.ended);
  if (cancellation.stopped()) return Verdict::stopped;
  return status == PAM_SUCCESS ? Verdict::approved : Verdict::denied;
}

}  // namespace localauth
