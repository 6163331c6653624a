// The keychain double: in-memory keychains that follow the same rules as the real keychain
// component (platform/keychain), a scripted user for its prompts, a record of every call, and
// failures on demand. The keychain contract suite (tests/keychain) runs against both, so what a
// test sees here is what the binary does.
//
// Model
// - The default ("login") keychain is used when a request names no keychain. By default it
//   exists and is unlocked; set `login.exists = false` to model the first run (the first add
//   then asks the user for a new keychain password) and `login.locked = true` to model a later
//   run (an add asks for the password once, after the duplicate check).
// - SecKeychainCreate makes a keychain registered under its path (no file is written). It is
//   unlocked, like a keychain the real component has just created in this process. A path that
//   is already registered gives -25296; SecKeychainDelete unregisters it, and a second delete
//   (or any use of the deleted handle) gives -25294.
// - Items are keyed by (class, service, account), compared as bytes.
// - SecAccessCreate builds three entries: owner (change ACL), encrypt open to any application,
//   and decrypt plus the other use rights limited to the trusted list, prompt selector 0.
//   SecACLSetContents: null applications = anyone, no prompt; an empty list = nobody, every use
//   prompts; selector bit 1 = the prompt must take the keychain password.
// - Reading data (kSecReturnData with a result destination): no decrypt entry -> -25293. An
//   entry open to anyone (or listing `selfApplication`) needs no ACL prompt, only an unlock if
//   the keychain is locked. Otherwise: interaction disallowed -> -25308; selector bit 1 or a
//   locked keychain -> a keychain password prompt (every time, even when unlocked); else an
//   allow/deny confirmation.
// - A password prompt takes up to 3 answers: `rightPassword` passes, `wrongPassword` asks again
//   (the next prompt shows an error), the third wrong one gives -25293; `cancel` -> -128;
//   `noPrompt` (no pinentry, no display) -> -25308. A confirmation: `allow` passes, `deny` and
//   `cancel` -> -25293 (pinentry can't tell them apart), `noPrompt` -> -25308. When the script runs
//   out, the user cancels.
// - Attribute lookups never prompt and never need an unlock. The result is set only on success.
// - Malformed requests (missing class/service/account, wrong value types, unknown keys, a
//   result destination for SecItemAdd) give -50 and touch nothing.
//
// Every call is appended to `state().calls` and its name to fake::events().
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Ferrowick/keystore/Security.h"

namespace fake::security {

// What the scripted user does when a prompt appears.
enum class UserAnswer {
  rightPassword,  // types the keychain's password (for a new keychain: any password)
  wrongPassword,  // types something else
  cancel,         // cancels the prompt
  noPrompt,       // no prompt can be shown (no pinentry, no display or terminal)
  allow,          // confirms an allow/deny question
  deny,           // refuses it
};

// A prompt that was shown (or attempted) to the user.
struct Prompt {
  enum class Kind { password, newPassword, confirm } kind;
  std::string keychain;      // the keychain's path; "login" for the default keychain
  std::string account;       // the item's account, for the texts
  bool showedError = false;  // a previous try was wrong
};

// One call to the keychain services. `arguments` holds the request's entries in order: for
// SecItemAdd and SecItemCopyMatching the dictionary's keys with a text form of each value,
// otherwise the named arguments. Text forms: strings and constants as they are, booleans
// "true"/"false", data "<data:N>" (never the bytes), "<access>", "<keychain:PATH>", keychain
// lists "[<keychain:PATH>, ...]", application lists "[a, b]" or "<null>", "<null>" for null.
// Passwords are never recorded.
struct Call {
  std::string operation;  // "SecItemAdd", "SecItemCopyMatching", "SecAccessCreate", ...
  std::vector<std::pair<std::string, std::string>> arguments;
  bool resultGiven = false;  // a result destination was passed
  OSStatus status = errSecSuccess;
  // The value of an argument; "" when absent.
  std::string argument(std::string_view key) const;
};

// An ACL entry as the fake holds it.
struct AclEntry {
  std::vector<std::string> authorizations;                // e.g. "ACLAuthorizationDecrypt"
  std::optional<SecTrustedApplicationList> applications;  // nullopt = any application
  std::string description;
  SecKeychainPromptSelector selector = 0;
};

// A stored item.
struct Item {
  std::string itemClass;  // "genp"
  std::string service;
  std::string account;
  SecureBytes data;
  std::vector<AclEntry> access;  // a snapshot of the access object at add time
};

// Failures on demand. Each one stays in force until reset() (the tool calls each operation at
// most a couple of times per run). Unset fields mean "behave normally".
struct Failures {
  std::optional<OSStatus> randomCopyBytes;  // SecRandomCopyBytes returns it, buffer untouched
  std::optional<OSStatus> accessCreate;     // SecAccessCreate returns it and no object
  bool accessCreateWithoutObject = false;   // SecAccessCreate returns 0 but no object
  // What SecAccessCopyMatchingACLList hands back.
  enum class AclList { normal, null, notAList, empty } aclList = AclList::normal;
  int decryptEntries = 1;  // decrypt entries SecAccessCreate builds (each one separately)
  std::optional<int> setContentsFailsOnCall;  // the k-th SecACLSetContents call (1-based) fails
  OSStatus setContentsStatus = errSecParam;   // ... with this status, entry unchanged
  std::optional<OSStatus> itemAdd;            // SecItemAdd returns it, nothing stored
  std::optional<OSStatus> copyMatching;       // SecItemCopyMatching returns it, no result
  // SecItemCopyMatching succeeds with this many bytes of data (0x41...) when data is asked.
  // Together with copyMatching: returns that status and still hands the data back.
  std::optional<std::size_t> copyMatchingDataLength;
  bool copyMatchingNonData = false;          // ... succeeds with a string instead of data
  std::optional<OSStatus> keychainCreate;    // SecKeychainCreate returns it, nothing made
  bool keychainCreateWithoutHandle = false;  // ... returns 0, makes the keychain, no handle
  std::optional<OSStatus> keychainDelete;    // SecKeychainDelete returns it, keychain kept
  // Runs at the start of SecItemAdd, after the call is recorded (e.g. to let "another process"
  // add the same item first).
  std::function<void()> beforeItemAdd;
};

struct LoginKeychain {
  bool exists = true;
  bool locked = false;
};

struct State {
  LoginKeychain login;
  bool interactionAllowed = true;  // set by SecKeychainSetUserInteractionAllowed
  std::deque<UserAnswer> answers;  // consumed by prompts, in order
  std::vector<Prompt> prompts;     // every prompt shown or attempted
  std::vector<Call> calls;
  Failures failures;
  // The application the access objects can trust ("lists us").
  std::string selfApplication = "/usr/bin/Ferrowick";
  // The password the last SecKeychainCreate was given (kept in secure memory, never recorded
  // in a call), so a test can check which one was passed.
  SecureBytes lastKeychainPassword;
};

State& state();

// Back to a fresh process: no items, no created keychains, the login keychain as in
// LoginKeychain{}, interaction allowed, no script, no calls, no failures. fake::events() is
// left alone.
void reset();

// Stores an item directly, as if an earlier run had added it. `keychain` is null for the login
// keychain (which then exists). `access` null means entries open to any application.
void putItem(std::string_view service, std::string_view account, const SecureBytes& data,
             const SecAccessRef& access = nullptr, const SecKeychainRef& keychain = nullptr,
             std::string_view itemClass = kSecClassGenericPassword);

// The stored item, or null. `keychain` null means the login keychain.
const Item* findItem(std::string_view service, std::string_view account,
                     const SecKeychainRef& keychain = nullptr,
                     std::string_view itemClass = kSecClassGenericPassword);

// Number of items in a keychain (null: the login keychain).
std::size_t itemCount(const SecKeychainRef& keychain = nullptr);

// Whether a keychain made by SecKeychainCreate is registered under `path` (and not deleted).
bool keychainExists(std::string_view path);

// The path a keychain handle was made for; "" for a null handle.
std::string keychainPath(const SecKeychainRef& keychain);

// Locks every keychain, as a new process would find them.
void lockAll();

// The current entries of an access object, in order (empty for a null object).
std::vector<AclEntry> aclEntries(const SecAccessRef& access);

// Calls of one operation, in order.
std::vector<Call> callsOf(std::string_view operation);

}  // namespace fake::security
