#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "tests/localauth/LocalAuthenticationBackend.h"
#include "tests/support/PamEnvironment.h"
#include "tests/support/ScriptedPinentry.h"

namespace contract {

namespace {

using testing_support::PamEnvironment;

constexpr const char* ownerPassword = "contract owner 密码";

// The wrapper takes its service directory once per process: one for the whole program.
void pamOnce() {
  static const PamEnvironment* environment = [] {
    auto* made = new PamEnvironment(PamEnvironment::currentUser(), ownerPassword);
    made->applyToThisProcess();
    return made;
  }();
  (void)environment;
}

std::unique_ptr<testing_support::ScriptedPinentry> pinentry;
std::unique_ptr<testing_support::TempDir> emptyPath;
std::string savedPath;

}  // namespace

void start() {
  pamOnce();
  const char* path = std::getenv("PATH");
  savedPath = path != nullptr ? path : "";
  pinentry = std::make_unique<testing_support::ScriptedPinentry>();
  pinentry->applyToThisProcess();
}

void finish() {
  setenv("PATH", savedPath.c_str(), 1);
  pinentry.reset();
  emptyPath.reset();
}

void owner(Owner answer) {
  switch (answer) {
    case Owner::rightPassword:
      pinentry->script({std::string("pin ") + ownerPassword});
      break;
    case Owner::wrongPasswords:
      pinentry->script({"always pin not the password"});
      break;
    case Owner::cancels:
      pinentry->script({"cancel"});
      break;
    case Owner::noPrompt:
      pinentry->script({"notty"});
      break;
    case Owner::promptTimesOut:
      pinentry->script({"timeout"});
      break;
    case Owner::neverAnswers:
      pinentry->script({"hang"});
      break;
  }
}

void withoutOwnerAuthentication() {
  emptyPath = std::make_unique<testing_support::TempDir>();
  setenv("PATH", emptyPath->path().c_str(), 1);
}

bool waitForPrompt() {
  return pinentry->waitForCommand("GETPIN", std::chrono::seconds(20));
}

int promptsShown() {
  return pinentry->runs();
}

}  // namespace contract

int main(int argc, char** argv) {
  testing_support::PamEnvironment::preloadIntoThisProgram(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
