// What the keychain's owner does with a keychain file: list its items, change its password,
// delete an item, check the file, back it up and restore it. Used by ferrowick-keychain only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainFile.h"

namespace keychain::care {

struct ItemSummary {
  std::string itemClass;
  std::string service;
  std::string account;
  std::int64_t created = 0;  // Unix seconds
};

// The items, those under `firstService` first, then by service and account (as bytes).
OSStatus listItems(const std::string& path, FolderRule rule, const std::string& firstService,
                   std::vector<ItemSummary>& items);

// Asks the current password, then a new one (twice), and re-wraps the keychain key under a new
// salt in one transaction. Nothing else in the file changes.
OSStatus changePassword(const std::string& path, FolderRule rule);

// errSecItemNotFound (before any prompt) when there is no such item; otherwise asks the keychain
// password and removes exactly that item.
OSStatus deleteItem(const std::string& path, FolderRule rule, const std::string& service,
                    const std::string& account);

// One finding of a check: what was looked at and what was found.
struct Finding {
  std::string subject;
  std::string text;
  bool ok = true;
};
struct CheckReport {
  std::vector<Finding> findings;
  bool allWell() const;
};

// Checks the file, its folder and journal, and the database in it, without modifying anything;
// with `password`, also asks the keychain password and authenticates every item.
OSStatus checkKeychain(const std::string& path, FolderRule rule, bool password,
                       CheckReport& report);

// A consistent copy of the keychain at `path` into a new file `destination` (never over an
// existing one), checked once written. `atDestination`: the failure concerns the backup file
// or its folder, not the keychain.
OSStatus backupKeychain(const std::string& path, FolderRule rule, const std::string& destination,
                        CheckReport& report, bool& atDestination);

// Puts the checked copy `source` in place at `path`, whose folder the caller holds (and has
// checked) as `folderFd`. An existing keychain is replaced only with `replace`, only while no
// run has it open, and is then kept beside it under `keptAs` (set once the exchange happened,
// even if syncing the folder afterwards fails).
enum class RestoreRefusal { none, sourceBad, sourceJournal, journal, inUse, exists };
OSStatus restoreKeychain(const std::string& source, int folderFd, const std::string& path,
                         bool replace, CheckReport& report, RestoreRefusal& refusal,
                         std::string& keptAs);

}  // namespace keychain::care
