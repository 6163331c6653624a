// PAM rules this file keeps:
// - the user is the one running us (getuid), never a name from outside;
// - pam_authenticate refuses an empty password (Debian's common-auth has nullok);
// - replies are calloc'd for PAM to free, and wiped and freed by us on every failure path;
// - a wrong password is retried, anything the user did (cancel) or could not do (no prompt)
//   ends the conversation at once;
// - nothing is approved unseen: a module that shows a message and then waits without a prompt
//   (a fingerprint reader, a security key) gets a status prompt with the reason, its message
//   and a cancel button, closed before PAM's next prompt or verdict.
//
// Threads: PAM runs on a thread of its own, since a module may wait far longer than the owner
// wants to; the calling thread waits for PAM's verdict, a status prompt's cancel, the
// context's invalidation or the deadline, whichever comes first. A status prompt runs on a
// third, short-lived thread. All three share one Shared block, held by shared pointers.
#include "platform/localauth/ownerAuthentication.h"

#include <libintl.h>
#include <locale.h>
#include <pwd.h>
#include <sodium.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/localauth/pamLibrary.h"
#include "platform/localauth/pamService.h"
#include "platform/pinentry/promptText.h"

namespace localauth {

namespace {

using Clock = std::chrono::steady_clock;

// Shown above the prompt after a wrong password, when PAM gave no message of its own.
constexpr const char* retryMessage = "密码不正确，请重试。";
constexpr const char* promptTitle = "Ferrowick";
constexpr const char* approveLabel = "允许";
// A module message that PAM follows at once with a prompt is shown in that prompt; one that PAM
// follows with nothing (a module waiting for a finger) gets a status prompt after this pause.
constexpr auto statusDelay = std::chrono::milliseconds(250);
// How often the waiting thread looks at the context's invalidation.
constexpr auto watchInterval = std::chrono::milliseconds(50);

struct Shared {
  Evaluation evaluation;
  std::shared_ptr<pinentry::Cancellation> cancellation;  // the context's: ends PAM's prompts

  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Verdict> pamVerdict;     // PAM's thread is done
  std::optional<Verdict> statusVerdict;  // a status prompt ended the approval
  bool abandoned = false;                // the wait is over: show nothing more
  // The status prompt up (or in its pause), if any; one at a time.
  std::shared_ptr<pinentry::Cancellation> status;
  bool statusRunning = false;
  bool statusShown = false;  // past its pause, so the owner saw the messages
  bool statusFinal = false;  // PAM has refused: it tells the owner why, then the run ends
};

struct Conversation {
  std::shared_ptr<Shared> shared;
  std::string pendingError;                // PAM_ERROR_MSG texts, for the next prompt's SETERROR
  std::string pendingInfo;                 // PAM_TEXT_INFO texts, added below the reason
  std::optional<pinentry::Outcome> ended;  // why a prompt gave no answer
  bool conversed = false;                  // PAM called the conversation at all
};

void appendLine(std::string& to, const char* text) {
  if (text == nullptr || *text == '\0') return;
  if (!to.empty()) to += '\n';
  to += text;
}

// "Password: " becomes "Password", "密码：" becomes "密码": pinentry adds its own separator.
std::string promptText(const char* text) {
  std::string prompt = text != nullptr ? text : "";
  constexpr std::string_view fullWidthColon = "：";
  while (!prompt.empty()) {
    if (prompt.back() == ' ' || prompt.back() == ':') {
      prompt.pop_back();
    } else if (prompt.ends_with(fullWidthColon)) {
      prompt.resize(prompt.size() - fullWidthColon.size());
    } else {
      break;
    }
  }
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

std::optional<int> secondsLeft(const Evaluation& evaluation) {
  auto left = std::chrono::duration_cast<std::chrono::seconds>(evaluation.deadline - Clock::now());
  if (left.count() < 1) return std::nullopt;
  return static_cast<int>(left.count());
}

std::string describe(const Evaluation& evaluation, const std::string& messages) {
  std::string text = evaluation.reason;
  if (!messages.empty()) text += "\n\n" + messages;
  return pinentry::breakLines(text);
}

Verdict verdictOfStatus(pinentry::Outcome outcome) {
  switch (outcome) {
    case pinentry::Outcome::confirmed:  // its one button is the cancel
    case pinentry::Outcome::cancelled:
      return Verdict::cancelled;
    case pinentry::Outcome::timedOut:
      return Verdict::timedOut;
    default:
      return Verdict::unavailable;  // the owner can't be shown what is waiting: don't go on
  }
}

void runStatus(std::shared_ptr<Shared> shared, std::shared_ptr<pinentry::Cancellation> stop,
               pinentry::Request request) {
  bool show;
  {
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->changed.wait_for(lock, statusDelay,
                             [&] { return stop->stopped() || shared->statusFinal; });
    show = !stop->stopped();
    shared->statusShown = show;
  }
  pinentry::Outcome outcome =
      show ? pinentry::notice(request, stop.get()) : pinentry::Outcome::stopped;
  std::lock_guard<std::mutex> lock(shared->mutex);
  if (outcome != pinentry::Outcome::stopped && !shared->statusFinal && !shared->statusVerdict) {
    shared->statusVerdict = verdictOfStatus(outcome);
  }
  shared->statusRunning = false;
  shared->changed.notify_all();
}

// Ends the status prompt, if one is up, and waits until its pinentry is gone; whether the owner
// had seen it.
bool closeStatus(Shared& shared) {
  std::unique_lock<std::mutex> lock(shared.mutex);
  if (!shared.status) return false;
  shared.status->stop();
  shared.changed.notify_all();
  shared.changed.wait(lock, [&] { return !shared.statusRunning; });
  shared.status.reset();
  bool shown = shared.statusShown;
  shared.statusShown = false;
  return shown;
}

// Shows the reason and the module messages not seen yet, with one button that cancels. The
// previous status prompt is closed by then.
void openStatus(Conversation& conversation) {
  Shared& shared = *conversation.shared;
  std::optional<int> left = secondsLeft(shared.evaluation);
  if (!left) return;  // the waiting thread ends it now
  std::string messages = conversation.pendingError;
  appendLine(messages, conversation.pendingInfo.c_str());
  pinentry::Request request;
  request.title = promptTitle;
  request.description = describe(shared.evaluation, messages);
  request.okLabel = shared.evaluation.cancelLabel;
  request.timeoutSeconds = *left;

  std::lock_guard<std::mutex> lock(shared.mutex);
  if (shared.abandoned) return;
  auto stop = std::make_shared<pinentry::Cancellation>();
  shared.status = stop;
  shared.statusRunning = true;
  try {
    std::thread(runStatus, conversation.shared, stop, std::move(request)).detach();
  } catch (const std::exception&) {
    shared.status.reset();
    shared.statusRunning = false;
    shared.statusVerdict = Verdict::unavailable;
    shared.changed.notify_all();
  }
}

// One GETPIN for one PAM prompt; the answer in malloc'd memory for PAM, or null.
char* ask(Conversation& conversation, const pam_message& message) {
  Shared& shared = *conversation.shared;
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.abandoned) {
      conversation.ended = pinentry::Outcome::stopped;
      return nullptr;
    }
  }
  std::optional<int> left = secondsLeft(shared.evaluation);
  if (!left) {
    conversation.ended = pinentry::Outcome::timedOut;
    return nullptr;
  }
  pinentry::Request request;
  request.title = promptTitle;
  request.description = describe(shared.evaluation, conversation.pendingInfo);
  request.prompt = promptText(message.msg);
  request.okLabel = approveLabel;
  request.cancelLabel = shared.evaluation.cancelLabel;
  request.error = pinentry::breakLines(conversation.pendingError);
  request.timeoutSeconds = *left;  // whole seconds, within the time left
  conversation.pendingError.clear();
  conversation.pendingInfo.clear();

  pinentry::Result result = pinentry::getPin(request, shared.cancellation.get());
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
  conversation.conversed = true;
  *responses = nullptr;
  bool prompts = false;
  for (int i = 0; i < count; ++i) {
    int style = messages[i]->msg_style;
    prompts = prompts || style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON;
  }
  // PAM moved on: the status prompt goes first, and what it showed needn't be shown again.
  if (closeStatus(*conversation.shared)) {
    conversation.pendingError.clear();
    conversation.pendingInfo.clear();
  }
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
  // Only messages: the module may now wait for a finger or a touch without asking anything.
  if (!prompts && (!conversation.pendingError.empty() || !conversation.pendingInfo.empty())) {
    openStatus(conversation);
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

// A refusal that comes right after the module's last messages (an expired password, a locked
// account): their status prompt, still in its pause, is shown at once and stays until the owner
// closes it or time runs out. One the owner has already seen just closes.
void tellWhyRefused(Shared& shared) {
  std::unique_lock<std::mutex> lock(shared.mutex);
  if (!shared.status) return;
  if (shared.statusShown) {
    lock.unlock();
    closeStatus(shared);
    return;
  }
  shared.statusFinal = true;
  shared.changed.notify_all();
  shared.changed.wait(lock, [&] { return !shared.statusRunning; });
  shared.status.reset();
}

Verdict transaction(const std::shared_ptr<Shared>& shared) {
  const PamLibrary* pam = pamLibrary();
  if (pam == nullptr) return Verdict::unavailable;
  std::string user = currentUserName();
  if (user.empty()) return Verdict::unavailable;
  Conversation conversation{shared, {}, {}, std::nullopt, false};
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
        tries == maxTries || Clock::now() >= shared->evaluation.deadline) {
      break;
    }
    if (conversation.pendingError.empty()) conversation.pendingError = retryMessage;
  }
  if (status == PAM_SUCCESS) status = pam->accountManagement(handle, 0);
  pam->end(handle, status);

  if (status != PAM_SUCCESS && !conversation.ended) {
    tellWhyRefused(*shared);
  } else {
    closeStatus(*shared);
  }
  if (conversation.ended) return verdictOfEndedPrompt(*conversation.ended);
  if (shared->cancellation->stopped()) return Verdict::stopped;
  if (status == PAM_SUCCESS) return Verdict::approved;
  // Refused without a word to anyone: with our service file in place that is its policy;
  // without it PAM ran its fallback, and nobody could have been asked.
  if (!conversation.conversed && !pamServiceInstalled(pamService)) return Verdict::unavailable;
  return Verdict::denied;
}

void runPam(std::shared_ptr<Shared> shared) {
  Verdict verdict = transaction(shared);
  std::lock_guard<std::mutex> lock(shared->mutex);
  shared->pamVerdict = verdict;
  shared->changed.notify_all();
}

// PAM's prompts and messages in the owner's language. Only the message category is taken from
// the environment: the tool's own texts and its parsing stay as they are. gettext converts a
// translation to the character type's charset, ASCII here, so the domains of the modules we
// know are asked for UTF-8, which is what pinentry is sent.
void usePamTranslations() {
  static std::once_flag once;
  std::call_once(once, [] {
    setlocale(LC_MESSAGES, "");
    bind_textdomain_codeset("Linux-PAM", "UTF-8");
    bind_textdomain_codeset("fprintd", "UTF-8");
  });
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

Verdict authenticateOwner(const Evaluation& evaluation,
                          std::shared_ptr<pinentry::Cancellation> cancellation) {
  usePamTranslations();
  auto shared = std::make_shared<Shared>();
  shared->evaluation = evaluation;
  shared->cancellation = cancellation;
  try {
    std::thread(runPam, shared).detach();
  } catch (const std::exception&) {
    return Verdict::unavailable;
  }
  std::unique_lock<std::mutex> lock(shared->mutex);
  while (true) {
    if (shared->pamVerdict) return *shared->pamVerdict;
    if (shared->statusVerdict) {
      shared->abandoned = true;
      return *shared->statusVerdict;
    }
    bool stopped = cancellation->stopped();
    if (stopped || Clock::now() >= evaluation.deadline) {
      shared->abandoned = true;
      if (shared->status) shared->status->stop();
      cancellation->stop();  // no prompt of this evaluation stays up
      return stopped ? Verdict::stopped : Verdict::timedOut;
    }
    shared->changed.wait_for(lock, watchInterval);
  }
}

}  // namespace localauth
