#include "Ferrowick/frontEnd.h"

#include "Ferrowick/Foundation.h"
#include "Ferrowick/interaction/authenticate.h"
#include "Ferrowick/interaction/chooser.h"
#include "Ferrowick/interaction/secretEntry.h"
#include "Ferrowick/keystore/itemName.h"
#include "Ferrowick/keystore/keyCreation.h"
#include "Ferrowick/keystore/keyRead.h"
#include "Ferrowick/selftest/selfTest.h"

namespace ferrowick {

std::vector<std::string> args;
std::string action;
std::string name;

namespace {

void writeResult(std::string_view bytes) {
  // Status 0 promises the parent the whole result; nothing else can tell it the bytes are lost.
  if (!NSFileHandle::fileHandleWithStandardOutput().writeData(bytes)) die("Cannot write result");
}

}  // namespace

void writeResultLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  writeResult(line);
}

void writeRawResult(std::string_view bytes) {
  writeResult(bytes);
}

void runApprove() {
  authenticate(name);
  writeResultLine("approved");
}

int runFrontEnd(int argc, char** argv) {
  // Arguments are kept as the bytes received, whatever their encoding.
  args.assign(argv, argv + argc);
  if (args.size() != 3) die("Expected init-key/read-key/approve/self-test and item or reason");
  action = args[1];
  name = args[2];

  if (action == "self-test") {
    runSelfTest();
  } else if (action == "input-secret") {
    runSecretEntry();
  } else if (action == "choose-directory" || action == "choose-file") {
    runChooser();
  } else if (action == "init-key" || action == "ensure-key") {
    checkItemName(name);
    runKeyCreation();
  } else if (action == "read-key") {
    runKeyRead();
  } else if (action == "approve") {
    runApprove();
  } else {
    die("Unknown operation");
  }
  return 0;
}

}  // namespace ferrowick
