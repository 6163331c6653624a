#include "tests/fakes/FakeLocalAuthentication.h"
#include "tests/localauth/LocalAuthenticationBackend.h"

namespace contract {

void start() {
  fake::localauth::reset();
}

void finish() {
  fake::localauth::reset();
}

void owner(Owner answer) {
  auto& state = fake::localauth::state();
  state.timing = fake::localauth::ReplyTiming::immediately;
  state.verdict = false;
  switch (answer) {
    case Owner::rightPassword:
      state.verdict = true;
      state.errorCode = 0;
      break;
    case Owner::wrongPasswords:
      state.errorCode = LAErrorAuthenticationFailed;
      break;
    case Owner::cancels:
      state.errorCode = LAErrorUserCancel;
      break;
    case Owner::noPrompt:
      state.errorCode = LAErrorNotInteractive;
      break;
    case Owner::promptTimesOut:
      state.errorCode = LAErrorSystemCancel;
      break;
    case Owner::neverAnswers:
      state.timing = fake::localauth::ReplyTiming::never;
      break;
  }
}

void withoutOwnerAuthentication() {
  fake::localauth::state().canEvaluate = false;
}

bool waitForPrompt() {
  return !fake::localauth::state().shown.empty();
}

int promptsShown() {
  return static_cast<int>(fake::localauth::state().shown.size());
}

}  // namespace contract
