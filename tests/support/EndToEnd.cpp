#include "tests/support/EndToEnd.h"

namespace testing_support {

EndToEnd::EndToEnd(const std::string& ownerPassword)
    : pam(PamEnvironment::currentUser(), ownerPassword) {}

bool EndToEnd::asksTheOwner(const std::string& operation) {
  return operation == "approve" || operation == "read-key";
}

RunOptions EndToEnd::options(bool withPam) const {
  RunOptions options = privateHomeOptions(home);
  for (const auto& [key, value] : pinentry.environment()) options.environment[key] = value;
  if (withPam) {
    for (const auto& [key, value] : pam.environment()) options.environment[key] = value;
  }
  // Generous: Argon2id and a few prompts on a loaded machine.
  options.timeout = std::chrono::seconds(120);
  return options;
}

RunResult EndToEnd::run(const std::string& operation, const std::string& operand,
                        const std::vector<std::string>& answers) {
  return run(operation, operand, answers, options(asksTheOwner(operation)));
}

RunResult EndToEnd::run(const std::string& operation, const std::string& operand,
                        const std::vector<std::string>& answers, const RunOptions& options) {
  pinentry.script(answers);
  return runFerrowick({operation, operand}, options);
}

std::string EndToEnd::keychainFile() const {
  return home.file("data/ferrowick/keychains/login.keychain-db");
}

}  // namespace testing_support
