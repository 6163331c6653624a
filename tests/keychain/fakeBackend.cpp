#include "tests/fakes/FakeSecurity.h"
#include "tests/keychain/KeychainBackend.h"

namespace contract {

namespace {

fake::security::UserAnswer fakeAnswer(Answer answer) {
  using fake::security::UserAnswer;
  switch (answer) {
    case Answer::rightPassword:
      return UserAnswer::rightPassword;
    case Answer::wrongPassword:
      return UserAnswer::wrongPassword;
    case Answer::cancel:
      return UserAnswer::cancel;
    case Answer::noPrompt:
      return UserAnswer::noPrompt;
    case Answer::allow:
      return UserAnswer::allow;
    case Answer::deny:
      return UserAnswer::deny;
  }
  return UserAnswer::cancel;
}

}  // namespace

void start() {
  fake::security::reset();
  fake::security::state().login.exists = false;
}

void finish() {
  fake::security::reset();
}

void newProcess() {
  fake::security::lockAll();
}

void answer(const std::vector<Answer>& answers) {
  for (Answer a : answers) fake::security::state().answers.push_back(fakeAnswer(a));
}

int promptsShown() {
  return static_cast<int>(fake::security::state().prompts.size());
}

bool keychainFileExists(const std::string& path) {
  return fake::security::keychainExists(path);
}

std::string scratchPath(const std::string& name) {
  return "/fake-scratch/" + name;
}

}  // namespace contract
