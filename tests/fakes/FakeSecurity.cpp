#include "tests/fakes/FakeSecurity.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "tests/fakes/FakeFoundation.h"

namespace {

constexpr std::string_view changeAclRight = "ACLAuthorizationChangeACL";
constexpr std::string_view encryptRight = "ACLAuthorizationEncrypt";
constexpr std::string_view anyRight = "ACLAuthorizationAny";
// Decrypt and the other rights that use the secret.
const std::vector<std::string> useRights = {
    "ACLAuthorizationDecrypt", "ACLAuthorizationExportClear", "ACLAuthorizationExportWrapped",
    "ACLAuthorizationSign",    "ACLAuthorizationMAC",         "ACLAuthorizationDerive"};

}  // namespace

struct OpaqueSecACL {
  fake::security::AclEntry entry;
};

struct OpaqueSecAccess {
  std::string descriptor;
  std::vector<SecACLRef> entries;
};

struct OpaqueSecKeychain {
  std::string path;
};

namespace fake::security {

namespace {

using ItemKey = std::tuple<std::string, std::string, std::string>;

struct Keychain {
  bool locked = false;  // unused for the login keychain: State::login.locked is its lock
  std::map<ItemKey, Item> items;
};

struct Store {
  Keychain login;
  std::map<std::string, Keychain, std::less<>> created;  // by path
};

Store& store() {
  static Store instance;
  return instance;
}

std::string describe(const SecValue& value);

std::string describeApplications(const SecTrustedApplicationList* list) {
  if (list == nullptr) return "<null>";
  std::string text = "[";
  for (std::size_t i = 0; i < list->size(); ++i) {
    if (i != 0) text += ", ";
    text += (*list)[i];
  }
  return text + "]";
}

std::string describeKeychain(const SecKeychainRef& keychain) {
  return keychain ? "<keychain:" + keychain->path + ">" : "<null>";
}

struct Describe {
  std::string operator()(std::monostate) const { return "<null>"; }
  std::string operator()(const std::string& text) const { return text; }
  std::string operator()(const SecureBytes& data) const {
    return "<data:" + std::to_string(data.size()) + ">";
  }
  std::string operator()(bool flag) const { return flag ? "true" : "false"; }
  std::string operator()(SecConstant constant) const { return std::string(constant.value); }
  std::string operator()(const SecAccessRef& access) const {
    return access ? "<access>" : "<null>";
  }
  std::string operator()(const SecKeychainRef& keychain) const {
    return describeKeychain(keychain);
  }
  std::string operator()(const std::vector<SecKeychainRef>& list) const {
    std::string text = "[";
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i != 0) text += ", ";
      text += describeKeychain(list[i]);
    }
    return text + "]";
  }
  std::string operator()(const std::vector<SecACLRef>& list) const {
    return "<acl list:" + std::to_string(list.size()) + ">";
  }
  std::string operator()(const std::shared_ptr<const SecDictionary>& dictionary) const {
    return dictionary ? "<dictionary>" : "<null>";
  }
};

std::string describe(const SecValue& value) {
  return std::visit(Describe{}, value);
}

// Calls are referred to by index: a hook may make more calls while one is in progress.
std::size_t record(std::string operation,
                   std::vector<std::pair<std::string, std::string>> arguments,
                   bool resultGiven = false) {
  fake::events().push_back(operation);
  state().calls.push_back(Call{std::move(operation), std::move(arguments), resultGiven, 0});
  return state().calls.size() - 1;
}

OSStatus finish(std::size_t call, OSStatus status) {
  state().calls[call].status = status;
  return status;
}

std::vector<std::pair<std::string, std::string>> describeDictionary(const SecDictionary& d) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& [key, value] : d) entries.emplace_back(key, describe(value));
  return entries;
}

// The keychain a request is aimed at, or a status.
struct Target {
  std::map<ItemKey, Item>* items = nullptr;
  bool* locked = nullptr;
  std::string name;  // for prompts
  bool isLogin = false;
  OSStatus status = errSecSuccess;
};

Target loginTarget() {
  return {&store().login.items, &state().login.locked, "login", true, errSecSuccess};
}

Target handleTarget(const SecKeychainRef& handle) {
  if (!handle) return {nullptr, nullptr, "", false, errSecParam};
  auto found = store().created.find(handle->path);
  if (found == store().created.end()) return {nullptr, nullptr, "", false, errSecNoSuchKeychain};
  return {&found->second.items, &found->second.locked, handle->path, false, errSecSuccess};
}

bool grants(const AclEntry& entry, std::string_view right) {
  for (const std::string& held : entry.authorizations) {
    if (held == right || held == anyRight) return true;
  }
  return false;
}

UserAnswer nextAnswer() {
  if (state().answers.empty()) return UserAnswer::cancel;
  UserAnswer answer = state().answers.front();
  state().answers.pop_front();
  return answer;
}

// Up to three tries for the keychain password. On success the keychain is unlocked.
OSStatus askPassword(bool& locked, const std::string& name, const std::string& account) {
  if (!state().interactionAllowed) return errSecInteractionNotAllowed;
  for (int attempt = 0; attempt < 3; ++attempt) {
    state().prompts.push_back({Prompt::Kind::password, name, account, attempt > 0});
    switch (nextAnswer()) {
      case UserAnswer::rightPassword:
        locked = false;
        return errSecSuccess;
      case UserAnswer::wrongPassword:
      case UserAnswer::allow:
      case UserAnswer::deny:
        continue;  // not the password
      case UserAnswer::cancel:
        return errSecUserCanceled;
      case UserAnswer::noPrompt:
        return errSecInteractionNotAllowed;
    }
  }
  return errSecAuthFailed;
}

OSStatus askConfirmation(const std::string& name, const std::string& account) {
  if (!state().interactionAllowed) return errSecInteractionNotAllowed;
  state().prompts.push_back({Prompt::Kind::confirm, name, account, false});
  switch (nextAnswer()) {
    case UserAnswer::allow:
      return errSecSuccess;
    case UserAnswer::deny:
    case UserAnswer::rightPassword:
    case UserAnswer::wrongPassword:
    case UserAnswer::cancel:  // pinentry reports a refusal and a cancel alike
      return errSecAuthFailed;
    case UserAnswer::noPrompt:
      return errSecInteractionNotAllowed;
  }
  return errSecAuthFailed;
}

// The first add to a login keychain that doesn't exist yet asks for a new password.
OSStatus createLogin(const std::string& account) {
  if (!state().interactionAllowed) return errSecInteractionNotAllowed;
  state().prompts.push_back({Prompt::Kind::newPassword, "login", account, false});
  switch (nextAnswer()) {
    case UserAnswer::rightPassword:
    case UserAnswer::wrongPassword:
      state().login.exists = true;
      state().login.locked = false;
      return errSecSuccess;
    case UserAnswer::cancel:
    case UserAnswer::allow:
    case UserAnswer::deny:
      return errSecUserCanceled;
    case UserAnswer::noPrompt:
      return errSecInteractionNotAllowed;
  }
  return errSecUserCanceled;
}

// Class, service and account of a request, or -50.
OSStatus itemKey(const SecDictionary& request, ItemKey& key) {
  const auto* itemClass = request.get<SecConstant>(kSecClass);
  const auto* service = request.get<std::string>(kSecAttrService);
  const auto* account = request.get<std::string>(kSecAttrAccount);
  if (itemClass == nullptr || service == nullptr || account == nullptr) return errSecParam;
  if (itemClass->value != kSecClassGenericPassword) return errSecParam;
  key = {std::string(itemClass->value), *service, *account};
  return errSecSuccess;
}

bool onlyKnownKeys(const SecDictionary& request, std::initializer_list<CFStringRef> known) {
  for (const auto& entry : request) {
    if (std::find(known.begin(), known.end(), entry.first) == known.end()) return false;
  }
  return true;
}

std::vector<AclEntry> snapshot(const SecAccessRef& access) {
  std::vector<AclEntry> entries;
  if (access) {
    for (const SecACLRef& acl : access->entries) entries.push_back(acl->entry);
  }
  return entries;
}

std::vector<AclEntry> openAccess() {
  std::vector<AclEntry> entries(3);
  entries[0].authorizations = {std::string(changeAclRight)};
  entries[0].applications = SecTrustedApplicationList{};
  entries[1].authorizations = {std::string(encryptRight)};
  entries[2].authorizations = useRights;
  return entries;
}

// Whether reading the item's data may go ahead, prompting as its access requires.
OSStatus authorizeRead(const Item& item, bool& locked, const std::string& name) {
  std::vector<const AclEntry*> decrypt;
  for (const AclEntry& entry : item.access) {
    if (grants(entry, kSecACLAuthorizationDecrypt)) decrypt.push_back(&entry);
  }
  if (decrypt.empty()) return errSecAuthFailed;
  bool open = false;
  bool needsPassword = false;
  for (const AclEntry* entry : decrypt) {
    if (!entry->applications) {
      open = true;
    } else {
      const auto& apps = *entry->applications;
      if (std::find(apps.begin(), apps.end(), state().selfApplication) != apps.end()) open = true;
    }
    if (entry->selector & kSecKeychainPromptRequirePassphase) needsPassword = true;
  }
  if (open) {
    return locked ? askPassword(locked, name, item.account) : errSecSuccess;
  }
  if (!state().interactionAllowed) return errSecInteractionNotAllowed;
  if (needsPassword || locked) return askPassword(locked, name, item.account);
  return askConfirmation(name, item.account);
}

}  // namespace

std::string Call::argument(std::string_view key) const {
  for (const auto& [name, value] : arguments) {
    if (name == key) return value;
  }
  return "";
}

State& state() {
  static State instance;
  return instance;
}

void reset() {
  state() = {};
  store() = {};
}

void putItem(std::string_view service, std::string_view account, const SecureBytes& data,
             const SecAccessRef& access, const SecKeychainRef& keychain,
             std::string_view itemClass) {
  Keychain* target = &store().login;
  if (keychain) {
    auto found = store().created.find(keychain->path);
    if (found == store().created.end()) return;  // deleted or never made
    target = &found->second;
  } else {
    state().login.exists = true;
  }
  Item item{std::string(itemClass), std::string(service), std::string(account), data,
            access ? snapshot(access) : openAccess()};
  target->items[{item.itemClass, item.service, item.account}] = std::move(item);
}

const Item* findItem(std::string_view service, std::string_view account,
                     const SecKeychainRef& keychain, std::string_view itemClass) {
  const Keychain* target = &store().login;
  if (keychain) {
    auto found = store().created.find(keychain->path);
    if (found == store().created.end()) return nullptr;
    target = &found->second;
  }
  auto item =
      target->items.find({std::string(itemClass), std::string(service), std::string(account)});
  return item == target->items.end() ? nullptr : &item->second;
}

std::size_t itemCount(const SecKeychainRef& keychain) {
  if (!keychain) return store().login.items.size();
  auto found = store().created.find(keychain->path);
  return found == store().created.end() ? 0 : found->second.items.size();
}

bool keychainExists(std::string_view path) {
  return store().created.find(path) != store().created.end();
}

std::string keychainPath(const SecKeychainRef& keychain) {
  return keychain ? keychain->path : "";
}

void lockAll() {
  state().login.locked = true;
  for (auto& [path, keychain] : store().created) keychain.locked = true;
}

std::vector<AclEntry> aclEntries(const SecAccessRef& access) {
  return snapshot(access);
}

std::vector<Call> callsOf(std::string_view operation) {
  std::vector<Call> found;
  for (const Call& call : state().calls) {
    if (call.operation == operation) found.push_back(call);
  }
  return found;
}

}  // namespace fake::security

using namespace fake::security;

OSStatus SecItemAdd(const SecDictionary& attributes, SecValue* result) {
  std::size_t call = record("SecItemAdd", describeDictionary(attributes), result != nullptr);
  if (state().failures.beforeItemAdd) state().failures.beforeItemAdd();
  if (state().failures.itemAdd) return finish(call, *state().failures.itemAdd);

  ItemKey key;
  if (result != nullptr ||
      !onlyKnownKeys(attributes, {kSecClass, kSecAttrService, kSecAttrAccount, kSecAttrAccess,
                                  kSecValueData, kSecUseKeychain}) ||
      itemKey(attributes, key) != errSecSuccess) {
    return finish(call, errSecParam);
  }
  const auto* data = attributes.get<SecureBytes>(kSecValueData);
  const SecAccessRef* access = attributes.get<SecAccessRef>(kSecAttrAccess);
  const SecKeychainRef* handle = attributes.get<SecKeychainRef>(kSecUseKeychain);
  if (data == nullptr || (attributes.find(kSecAttrAccess) && (!access || !*access)) ||
      (attributes.find(kSecUseKeychain) && (!handle || !*handle))) {
    return finish(call, errSecParam);
  }

  Target target = handle ? handleTarget(*handle) : loginTarget();
  if (target.status != errSecSuccess) return finish(call, target.status);
  if (target.isLogin && !state().login.exists) {
    OSStatus created = createLogin(std::get<2>(key));
    if (created != errSecSuccess) return finish(call, created);
  }
  if (target.items->count(key) != 0) return finish(call, errSecDuplicateItem);
  if (*target.locked) {
    OSStatus unlocked = askPassword(*target.locked, target.name, std::get<2>(key));
    if (unlocked != errSecSuccess) return finish(call, unlocked);
  }
  Item item{std::get<0>(key), std::get<1>(key), std::get<2>(key), *data,
            access ? snapshot(*access) : openAccess()};
  (*target.items)[key] = std::move(item);
  return finish(call, errSecSuccess);
}

OSStatus SecItemCopyMatching(const SecDictionary& query, SecValue* result) {
  std::size_t call = record("SecItemCopyMatching", describeDictionary(query), result != nullptr);
  if (result != nullptr) *result = std::monostate{};
  const bool* returnData = query.get<bool>(kSecReturnData);
  const bool wantsData = returnData != nullptr && *returnData && result != nullptr;
  if (state().failures.copyMatching) {
    // Both set: a component that fails the read yet hands data back.
    if (wantsData && state().failures.copyMatchingDataLength) {
      SecureBytes data(*state().failures.copyMatchingDataLength);
      for (std::size_t i = 0; i < data.size(); ++i) data.data()[i] = 0x41;
      *result = std::move(data);
    }
    return finish(call, *state().failures.copyMatching);
  }

  if (wantsData && state().failures.copyMatchingNonData) {
    *result = std::string("not data");
    return finish(call, errSecSuccess);
  }
  if (wantsData && state().failures.copyMatchingDataLength) {
    SecureBytes data(*state().failures.copyMatchingDataLength);
    for (std::size_t i = 0; i < data.size(); ++i) data.data()[i] = 0x41;
    *result = std::move(data);
    return finish(call, errSecSuccess);
  }

  ItemKey key;
  if (!onlyKnownKeys(query, {kSecClass, kSecAttrService, kSecAttrAccount, kSecReturnData,
                             kSecReturnAttributes, kSecMatchLimit, kSecMatchSearchList}) ||
      itemKey(query, key) != errSecSuccess) {
    return finish(call, errSecParam);
  }
  const auto* returnAttributes = query.get<bool>(kSecReturnAttributes);
  const auto* limit = query.get<SecConstant>(kSecMatchLimit);
  const auto* searchList = query.get<std::vector<SecKeychainRef>>(kSecMatchSearchList);
  if ((query.find(kSecReturnData) && !returnData) ||
      (query.find(kSecReturnAttributes) && !returnAttributes) ||
      (query.find(kSecMatchLimit) && (!limit || limit->value != kSecMatchLimitOne)) ||
      (query.find(kSecMatchSearchList) && (!searchList || searchList->empty()))) {
    return finish(call, errSecParam);
  }

  std::vector<Target> targets;
  if (searchList) {
    for (const SecKeychainRef& handle : *searchList) targets.push_back(handleTarget(handle));
  } else {
    targets.push_back(loginTarget());
  }
  for (Target& target : targets) {
    if (target.status != errSecSuccess) return finish(call, target.status);
    if (target.isLogin && !state().login.exists) continue;
    auto found = target.items->find(key);
    if (found == target.items->end()) continue;
    const Item& item = found->second;
    if (wantsData) {
      OSStatus allowed = authorizeRead(item, *target.locked, target.name);
      if (allowed != errSecSuccess) return finish(call, allowed);
    }
    if (result == nullptr) return finish(call, errSecSuccess);
    const bool wantsAttributes = returnAttributes != nullptr && *returnAttributes;
    if (wantsAttributes) {
      auto attributes = std::make_shared<SecDictionary>();
      attributes->set(kSecClass, SecConstant{kSecClassGenericPassword});
      attributes->set(kSecAttrService, item.service);
      attributes->set(kSecAttrAccount, item.account);
      if (wantsData) attributes->set(kSecValueData, item.data);
      *result = std::shared_ptr<const SecDictionary>(std::move(attributes));
    } else if (wantsData) {
      *result = item.data;
    }
    return finish(call, errSecSuccess);
  }
  return finish(call, errSecItemNotFound);
}

OSStatus SecAccessCreate(std::string_view descriptor, const SecTrustedApplicationList* trustedList,
                         SecAccessRef* accessRef) {
  std::size_t call =
      record("SecAccessCreate", {{"descriptor", std::string(descriptor)},
                                 {"trustedList", describeApplications(trustedList)}});
  if (accessRef == nullptr) return finish(call, errSecParam);
  *accessRef = nullptr;
  if (state().failures.accessCreate) return finish(call, *state().failures.accessCreate);
  if (state().failures.accessCreateWithoutObject) return finish(call, errSecSuccess);

  auto access = std::make_shared<OpaqueSecAccess>();
  access->descriptor = std::string(descriptor);
  auto owner = std::make_shared<OpaqueSecACL>();
  owner->entry.authorizations = {std::string(changeAclRight)};
  owner->entry.applications = SecTrustedApplicationList{};
  owner->entry.description = access->descriptor;
  auto encrypt = std::make_shared<OpaqueSecACL>();
  encrypt->entry.authorizations = {std::string(encryptRight)};
  encrypt->entry.description = access->descriptor;
  access->entries = {owner, encrypt};
  for (int i = 0; i < state().failures.decryptEntries; ++i) {
    auto use = std::make_shared<OpaqueSecACL>();
    use->entry.authorizations = useRights;
    if (trustedList != nullptr) use->entry.applications = *trustedList;
    use->entry.description = access->descriptor;
    access->entries.push_back(use);
  }
  *accessRef = std::move(access);
  return finish(call, errSecSuccess);
}

SecValue SecAccessCopyMatchingACLList(const SecAccessRef& access, CFStringRef authorization) {
  std::size_t call = record(
      "SecAccessCopyMatchingACLList",
      {{"access", access ? "<access>" : "<null>"}, {"authorization", std::string(authorization)}});
  switch (state().failures.aclList) {
    case Failures::AclList::null:
      return {};
    case Failures::AclList::notAList:
      return std::string("not a list");
    case Failures::AclList::empty:
      return std::vector<SecACLRef>{};
    case Failures::AclList::normal:
      break;
  }
  if (!access) {
    finish(call, errSecParam);
    return {};
  }
  std::vector<SecACLRef> matching;
  for (const SecACLRef& acl : access->entries) {
    if (grants(acl->entry, authorization)) matching.push_back(acl);
  }
  return matching;
}

OSStatus SecACLSetContents(const SecACLRef& acl, const SecTrustedApplicationList* applicationList,
                           std::string_view description, SecKeychainPromptSelector promptSelector) {
  std::size_t call =
      record("SecACLSetContents", {{"acl", acl ? "<acl>" : "<null>"},
                                   {"applications", describeApplications(applicationList)},
                                   {"description", std::string(description)},
                                   {"selector", std::to_string(promptSelector)}});
  const auto& failures = state().failures;
  if (failures.setContentsFailsOnCall &&
      static_cast<int>(callsOf("SecACLSetContents").size()) == *failures.setContentsFailsOnCall) {
    return finish(call, failures.setContentsStatus);
  }
  if (!acl) return finish(call, errSecParam);
  if (applicationList != nullptr) {
    acl->entry.applications = *applicationList;
  } else {
    acl->entry.applications.reset();
  }
  acl->entry.description = std::string(description);
  acl->entry.selector = promptSelector;
  return finish(call, errSecSuccess);
}

OSStatus SecKeychainCreate(const char* pathName, std::uint32_t passwordLength, const void* password,
                           bool promptUser, const SecAccessRef* initialAccess,
                           SecKeychainRef* keychain) {
  std::size_t call =
      record("SecKeychainCreate",
             {{"path", pathName ? pathName : "<null>"},
              {"passwordLength", std::to_string(passwordLength)},
              {"promptUser", promptUser ? "true" : "false"},
              {"initialAccess", initialAccess && *initialAccess ? "<access>" : "<null>"}});
  if (keychain != nullptr) *keychain = nullptr;
  if (state().failures.keychainCreate) return finish(call, *state().failures.keychainCreate);
  if (pathName == nullptr || *pathName == '\0' || keychain == nullptr ||
      (password == nullptr && passwordLength != 0 && !promptUser)) {
    return finish(call, errSecParam);
  }
  std::string path(pathName);
  if (keychainExists(path)) return finish(call, errSecDuplicateKeychain);
  if (promptUser) {
    if (!state().interactionAllowed) return finish(call, errSecInteractionNotAllowed);
    state().prompts.push_back({Prompt::Kind::newPassword, path, "", false});
    UserAnswer answer = nextAnswer();
    if (answer == UserAnswer::noPrompt) return finish(call, errSecInteractionNotAllowed);
    if (answer != UserAnswer::rightPassword && answer != UserAnswer::wrongPassword) {
      return finish(call, errSecUserCanceled);
    }
  }
  store().created[path] = Keychain{};
  state().lastKeychainPassword =
      password != nullptr ? SecureBytes(password, passwordLength) : SecureBytes();
  if (!state().failures.keychainCreateWithoutHandle) {
    *keychain = std::make_shared<OpaqueSecKeychain>(OpaqueSecKeychain{path});
  }
  return finish(call, errSecSuccess);
}

OSStatus SecKeychainDelete(const SecKeychainRef& keychainOrArray) {
  std::size_t call = record("SecKeychainDelete", {{"keychain", describeKeychain(keychainOrArray)}});
  if (state().failures.keychainDelete) return finish(call, *state().failures.keychainDelete);
  if (!keychainOrArray) return finish(call, errSecInvalidKeychain);
  auto found = store().created.find(keychainOrArray->path);
  if (found == store().created.end()) return finish(call, errSecNoSuchKeychain);
  store().created.erase(found);
  return finish(call, errSecSuccess);
}

OSStatus SecKeychainSetUserInteractionAllowed(bool allowed) {
  record("SecKeychainSetUserInteractionAllowed", {{"state", allowed ? "true" : "false"}});
  state().interactionAllowed = allowed;
  return errSecSuccess;
}

OSStatus SecRandomCopyBytes(SecRandomRef rnd, std::size_t count, void* bytes) {
  std::size_t call = record("SecRandomCopyBytes",
                            {{"rnd", rnd == kSecRandomDefault ? "kSecRandomDefault" : "<other>"},
                             {"count", std::to_string(count)}});
  if (state().failures.randomCopyBytes) return finish(call, *state().failures.randomCopyBytes);
  if (bytes == nullptr && count != 0) return finish(call, errSecParam);
  auto* out = static_cast<std::uint8_t*>(bytes);
  // Predictable but not constant, so a test can tell two keys apart.
  static std::uint32_t counter = 0;
  for (std::size_t i = 0; i < count; ++i) {
    counter = counter * 1664525u + 1013904223u;
    out[i] = static_cast<std::uint8_t>(counter >> 24);
  }
  return finish(call, errSecSuccess);
}
