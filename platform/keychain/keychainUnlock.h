// Locked and unlocked: a keychain is unlocked only inside the process that unlocked it, by
// holding its key K in locked memory for the rest of the run. There is no daemon.
#pragma once

#include <string_view>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainPrompt.h"
#include "platform/keychain/keychainSchema.h"

namespace keychain {

// K of an unlocked keychain (by its uuid); false when it is locked in this process.
bool unlockedKey(std::string_view keychainUuid, SecureBytes& key);
void rememberKey(std::string_view keychainUuid, const SecureBytes& key);

// K for `password`: errSecAuthFailed when the password is wrong (or the record was altered).
OSStatus unwrapKey(const SecureBytes& password, const KeychainRecord& record, SecureBytes& key);

// Asks for the keychain password, up to three times, until it unwraps K; remembers K.
OSStatus unlockWithPrompts(const PromptSubject& subject, PasswordPurpose purpose,
                           const KeychainRecord& record, SecureBytes& key);

// The contents of a new keychain protected by `password`, and its fresh K.
OSStatus makeNewKeychain(const SecureBytes& password, KeychainRecord& contents, SecureBytes& key);

// Asks for a new password (three tries for an empty or unconfirmed entry).
OSStatus askNewKeychainPassword(const PromptSubject& subject, SecureBytes& password);

}  // namespace keychain
