// libpam, opened only by a run that asks the owner for approval: the other runs never map it
// (nor the libraries it pulls in), and so start faster.
#pragma once

#include <security/pam_appl.h>

#include <optional>

namespace localauth {

// The PAM calls this program makes.
struct PamLibrary {
  decltype(&::pam_start) start = nullptr;
  decltype(&::pam_authenticate) authenticate = nullptr;
  decltype(&::pam_acct_mgmt) accountManagement = nullptr;
  decltype(&::pam_end) end = nullptr;
};

// The PAM calls, each looked up first among the objects already in the process (so a PAM
// preloaded with LD_PRELOAD is the one called, as with a linked libpam) and otherwise in
// `soname`, which is then opened and stays open. Nothing when a call can't be found.
std::optional<PamLibrary> loadPamLibrary(const char* soname);

// The system's libpam, loaded on first use and kept for the run; null when it can't be loaded.
const PamLibrary* pamLibrary();

}  // namespace localauth
