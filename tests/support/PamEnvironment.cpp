#include "tests/support/PamEnvironment.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testing_support {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// What a process needs from its start to run PAM through the wrapper.
std::map<std::string, std::string> preloadVariables() {
  // The wrapper's start-up runs under a lock that its neighbours take and release: preloads
  // are initialised from the last one to the first.
  std::map<std::string, std::string> variables{
      {"LD_PRELOAD", std::string(PAM_WRAPPER_START_RELEASE) + ":" + PAM_WRAPPER_LIBRARY_PATH + ":" +
                         PAM_WRAPPER_START_ACQUIRE},
      {"PAM_WRAPPER", "1"}};
  if (sanitized) {
    // The wrapper loads libpam with RTLD_DEEPBIND, which breaks the sanitizers' interposition;
    // Debian's build reads the first name, the manual documents the second.
    variables["UID_WRAPPER_DISABLE_DEEPBIND"] = "1";
    variables["PAM_WRAPPER_DISABLE_DEEPBIND"] = "1";
    // ASan wants to come first in the library list; the preload comes before it.
    const char* current = std::getenv("ASAN_OPTIONS");
    std::string options = current != nullptr ? current : "";
    if (options.find("verify_asan_link_order") == std::string::npos) {
      options += std::string(options.empty() ? "" : ":") + "verify_asan_link_order=0";
    }
    variables["ASAN_OPTIONS"] = options;
  }
  return variables;
}

}  // namespace

PamEnvironment::PamEnvironment(const std::string& user, const std::string& password,
                               const std::vector<std::string>& authBefore) {
  mkdir(dir_.file("services").c_str(), 0700);
  std::string passdb = dir_.file("passdb");
  writeFile(passdb, user + ":" + password + ":ferrowick\n", 0600);
  std::string module = moduleDir() + "/pam_matrix.so";
  std::string service;
  for (const auto& line : authBefore) service += line + "\n";
  service += "auth     required " + module + " passdb=" + passdb + "\n";
  service += "account  required " + module + " passdb=" + passdb + "\n";
  writeFile(serviceDir() + "/ferrowick", service);
  // Any other service is refused (and the wrapper stops warning about a missing "other").
  writeFile(serviceDir() + "/other",
            "auth     required pam_deny.so\naccount  required pam_deny.so\n");
}

std::map<std::string, std::optional<std::string>> PamEnvironment::environment() const {
  std::map<std::string, std::optional<std::string>> result;
  for (const auto& [key, value] : preloadVariables()) result[key] = value;
  result["PAM_WRAPPER_SERVICE_DIR"] = serviceDir();
  return result;
}

void PamEnvironment::applyToThisProcess() const {
  if (std::getenv("PAM_WRAPPER") == nullptr) {
    throw std::runtime_error("libpam_wrapper is not preloaded into this process");
  }
  setenv("PAM_WRAPPER_SERVICE_DIR", serviceDir().c_str(), 1);
}

std::string PamEnvironment::serviceDir() const {
  return dir_.file("services");
}

std::string PamEnvironment::moduleDir() {
  return PAM_WRAPPER_MODULE_DIR;
}

std::string PamEnvironment::startLockPath() {
  return PAM_WRAPPER_START_LOCK;
}

std::string PamEnvironment::currentUser() {
  passwd* entry = getpwuid(getuid());
  if (entry == nullptr) throw std::runtime_error("no user name for this uid");
  return entry->pw_name;
}

void PamEnvironment::preloadIntoThisProgram(char** argv) {
  if (std::getenv("PAM_WRAPPER") != nullptr) return;
  for (const auto& [key, value] : preloadVariables()) setenv(key.c_str(), value.c_str(), 1);
  execv("/proc/self/exe", argv);
  throw std::runtime_error("cannot re-execute this test program");
}

}  // namespace testing_support
