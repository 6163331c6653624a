// What the local-authentication contract suite needs from the service under test beyond
// LocalAuthentication.h: a fresh start and a scripted owner. One implementation drives the real
// service (realLocalAuthenticationBackend.cpp: PAM through libpam_wrapper and pam_matrix,
// prompts by the scripted pinentry), one the fake (fakeLocalAuthenticationBackend.cpp); the
// suite (localAuthenticationContractTest.cpp) is compiled against each.
#pragma once

namespace contract {

enum class Owner {
  rightPassword,
  wrongPasswords,  // a wrong password at every prompt
  cancels,
  noPrompt,        // no terminal or display the prompt can open
  promptTimesOut,  // the prompt's own time-out runs out
  neverAnswers,    // the prompt stays open
};

// Nothing scripted, owner authentication possible.
void start();
void finish();
// How the owner answers the next evaluation.
void owner(Owner answer);
// From now on nothing can ask the owner (no prompt program at all).
void withoutOwnerAuthentication();
// Waits (boundedly) until the owner is being asked; false if that never happened.
bool waitForPrompt();
// Prompts shown to the owner so far.
int promptsShown();

}  // namespace contract
