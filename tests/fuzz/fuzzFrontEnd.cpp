// Any argument vector through the front end, every operation run against the in-process
// doubles set so that nothing waits: local approval unavailable, dialogs cancelled, a fresh
// keychain. The input is the arguments after the program path, each ended by a NUL (a last one
// may go without); at most four are used.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fakes/FakeAppKit.h"
#include "tests/fakes/FakeFoundation.h"
#include "tests/fakes/FakeLocalAuthentication.h"
#include "tests/fakes/FakeSecurity.h"

namespace {

constexpr std::size_t maxArguments = 4;
constexpr std::string_view usage =
    "Expected init-key/read-key/approve/self-test and item or reason\n";

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::string> argumentsFrom(std::string_view input) {
  std::vector<std::string> argv{"/usr/bin/Ferrowick"};
  while (!input.empty() && argv.size() <= maxArguments) {
    std::size_t nul = input.find('\0');
    argv.emplace_back(input.substr(0, nul));
    input = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  }
  return argv;
}

// A fresh process, as far as the doubles go.
void resetDoubles() {
  fake::localauth::reset();
  fake::localauth::state().canEvaluate = false;
  fake::appkit::reset();
  fake::appkit::state().alertResponse = NSAlertFirstButtonReturn + 1;  // the cancel button
  fake::appkit::state().panelResponse = 0;                             // the panel's cancel
  fake::security::reset();
  fake::events().clear();
  fake::scriptedUUIDs().clear();
  fake::uuidCalls() = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> argv =
      argumentsFrom(std::string_view(reinterpret_cast<const char*>(data), size));
  resetDoubles();
  fake::Outcome run = fake::runFrontEnd(argv);

  check(run.status == 0 || run.status == 1);
  // At most one message line, and only on failure; a failed run writes no output.
  if (!run.err.empty()) {
    check(run.err.back() == '\n' && run.err.find('\n') == run.err.size() - 1);
  }
  if (run.status == 1) {
    check(!run.err.empty() && run.out.empty() && run.outWrites == 0);
  } else {
    check(run.err.empty() && run.outWrites == 1);
  }
  // The argument count is checked before anything else.
  if (argv.size() != 3) check(run.status == 1 && run.err == usage);
  return 0;
}
