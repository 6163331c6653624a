// Owner authentication through PAM, with every PAM prompt shown by pinentry.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/pinentry/Pinentry.h"

namespace localauth {

inline constexpr const char* pamService = "ferrowick";
inline constexpr int maxTries = 3;

enum class Verdict {
  approved,     // both pam_authenticate and pam_acct_mgmt said PAM_SUCCESS
  denied,       // wrong password (every try), account refused, or another PAM failure
  cancelled,    // the user cancelled the prompt
  timedOut,     // the deadline passed
  unavailable,  // no user, no PAM service, or no prompt could be shown
  stopped,      // ended through the cancellation
};

struct Evaluation {
  std::string reason;       // shown as the prompt's description (lines broken to fit)
  std::string cancelLabel;  // the prompt's cancel button
  std::chrono::steady_clock::time_point deadline;
};

// The name of the user running this process; empty when it has none.
std::string currentUserName();

// Whether PAM accepts a transaction for our service and user and pinentry is on PATH.
bool ownerAuthenticationPossible();

// Runs the whole PAM conversation; blocks until it ends, the owner cancels a module's status
// prompt, `cancellation` is stopped or the deadline passes. In the last three cases a module
// that is still waiting (for a finger, say) keeps PAM's thread until the process ends; nothing
// is shown any more, and its late verdict is not used.
Verdict authenticateOwner(const Evaluation& evaluation,
                          std::shared_ptr<pinentry::Cancellation> cancellation);

}  // namespace localauth
