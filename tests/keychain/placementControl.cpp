#include <signal.h>

#include "platform/keychain/keychainPlacementSteps.h"
#include "tests/keychain/PlacementControl.h"

namespace {

bool refusedUnnamed = false;
int killedAt = 0;

}  // namespace

namespace keychain_test {

void refuseUnnamedFiles(bool refused) {
  refusedUnnamed = refused;
}

void killAtPlacementStep(int step) {
  killedAt = step;
}

}  // namespace keychain_test

// These replace the shipped program's do-nothing definitions in every test binary that uses
// the controls above.
namespace keychain::placement {

void reached(Step step) {
  if (static_cast<int>(step) == killedAt) raise(SIGKILL);
}

bool unnamedFilesRefused() {
  return refusedUnnamed;
}

}  // namespace keychain::placement
