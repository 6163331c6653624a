// Which pinentry may be run.
#pragma once

#include <optional>
#include <string>

namespace pinentry {

// The pinentry to run, links resolved: the first on PATH that is executable and that, like its
// folder and the PATH folder holding its name, nobody but root or this user can change. It
// types the owner's passwords, so one placed by someone else must never get them.
std::optional<std::string> findPinentry();

}  // namespace pinentry
