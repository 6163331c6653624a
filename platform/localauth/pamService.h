// Whether our PAM service is installed. Without its file Linux-PAM quietly runs the "other"
// service instead, which on many systems refuses everything without asking anyone: such a
// refusal says the tool is not set up, not that the owner or a policy said no.
#pragma once

#include <span>
#include <string>

namespace localauth {

// Where Linux-PAM reads service files: the administrator's folder, then the vendor's.
inline const std::string systemPamFolders[] = {"/etc/pam.d", "/usr/lib/pam.d"};

// Whether `service` has a file in one of `folders`. With none of the folders present (PAM then
// reads /etc/pam.conf, or is set up in a way we can't see) it counts as installed, so that a
// refusal keeps meaning a refusal.
bool pamServiceInstalled(const std::string& service,
                         std::span<const std::string> folders = systemPamFolders);

}  // namespace localauth
