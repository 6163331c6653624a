// What the keychain contract suite needs from the keychain under test beyond Security.h: a
// fresh start, a scripted user, and a look at the files. One implementation drives the real
// keychain component (realBackend.cpp), one the fake (fakeBackend.cpp); the suite itself
// (keychainContractTest.cpp) is compiled against each.
#pragma once

#include <string>
#include <vector>

namespace contract {

enum class Answer { rightPassword, wrongPassword, cancel, noPrompt, allow, deny };

// The password the suite gives every keychain it creates.
inline constexpr const char* keychainPassword = "contract password 密码";

// A new process with no login keychain, interaction allowed, nothing scripted.
void start();
void finish();
// Everything this process unlocked is locked again, as in the next run.
void newProcess();
// What the user will answer, prompt by prompt (then: cancel).
void answer(const std::vector<Answer>& answers);
// Password and confirmation prompts shown so far.
int promptsShown();
// Whether a keychain file exists at `path`.
bool keychainFileExists(const std::string& path);
// A path in a private scratch folder that holds nothing yet.
std::string scratchPath(const std::string& name);

}  // namespace contract
