// The folders a keychain lives in: opened, checked and held by descriptor, so a path component
// swapped later can't move the keychain elsewhere.
#pragma once

#include <string>

#include "Ferrowick/keystore/Security.h"

namespace keychain {

class Descriptor;

// How strictly the folder holding a keychain is checked.
enum class FolderRule {
  login,     // the login keychain: its folders walked from the data home, each one private
  private_,  // ours, not group/other-writable
  shared,    // ours or root's; group/other-writable only with the sticky bit (e.g. /tmp)
};

// The folder part of a path ("." for a bare name).
std::string folderOf(const std::string& path);
// The file name part of a path.
std::string nameOf(const std::string& path);

// Checks a folder under `rule`; errSecNoSuchKeychain when it doesn't exist.
OSStatus checkFolder(const std::string& folder, FolderRule rule);
// Opens a folder (symlinks on the way are the caller's choice) and checks what was opened.
OSStatus holdFolder(const std::string& folder, FolderRule rule, Descriptor& held);
// Checks an open folder under `rule`.
OSStatus checkHeldFolder(int folderFd, FolderRule rule);

// Walks to the keychain's folder from the data home by descriptor, never following a symlink in
// the two folders of ours, and holds it. `create`: missing folders are made (0700). Without
// `create`, errSecNoSuchKeychain when one is missing; a symlink or a folder that isn't private
// is errSecNotAvailable.
OSStatus holdLoginFolder(const std::string& keychainPath, bool create, Descriptor& held);

}  // namespace keychain
