// Owner authentication through PAM, with every PAM prompt shown by pinentry.
#pragma once

#include <chrono>
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
  std::string reason;       // shown as the prompt's description, unchanged
  std::string cancelLabel;  // the prompt's cancel button
  std::chrono::steady_clock::time_point deadline;
};

// The name of the user running this process; empty when it has none.
std::string currentUserName();

// Whether PAM accepts a transaction for our service and user and pinentry is on PATH.
bool ownerAuthenticationPossible();

// Runs the whole PAM conversation; blocks until it ends.
Verdict authenticateOwner(const Evaluation& evaluation, pinentry::Cancellation& cancellation);

}  // namespace localauth
