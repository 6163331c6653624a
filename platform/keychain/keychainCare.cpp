// Listing, password change and deletion for the keychain's owner. No transaction is held open
// across a prompt or the KDF: each write re-reads what it changes inside its own transaction.
#include "platform/keychain/keychainCare.h"

#include "platform/keychain/keychainSchema.h"
#include "platform/keychain/keychainStatement.h"
#include "platform/keychain/keychainUnlock.h"

namespace keychain::care {

namespace {

OSStatus openWithRecord(const std::string& path, FolderRule rule, Database& database,
                        KeychainRecord& record) {
  OSStatus status = openKeychain(path, rule, database);
  if (status == errSecSuccess) status = readKeychainRecord(database.get(), record);
  return status;
}

bool sameRecord(const KeychainRecord& a, const KeychainRecord& b) {
  return a.uuid == b.uuid && a.salt == b.salt && a.wrapNonce == b.wrapNonce &&
         a.wrappedKey == b.wrappedKey && a.kdf.algorithm == b.kdf.algorithm &&
         a.kdf.opslimit == b.kdf.opslimit && a.kdf.memlimit == b.kdf.memlimit;
}

// Runs `write` inside BEGIN IMMEDIATE, after checking that the keychain record is still the one
// the password was checked against. The write comes after a prompt: what was planted beside
// the file meanwhile is checked first. A failure after the commit point (releasing the lock,
// say) leaves the change in the file: then `landed` (which reads the file) decides, and the
// change is reported done, since the owner must go on from what the file now holds.
template <class Write, class Landed>
OSStatus writeUnderRecord(sqlite3* db, const KeychainRecord& expected, Write write, Landed landed) {
  OSStatus status = prepareWrite(db);
  if (status == errSecSuccess) status = exec(db, "BEGIN IMMEDIATE");
  if (status != errSecSuccess) return status;
  KeychainRecord now;
  status = readKeychainRecord(db, now);
  if (status == errSecSuccess && !sameRecord(now, expected)) status = errSecAuthFailed;
  if (status == errSecSuccess) status = write();
  if (status != errSecSuccess) {
    exec(db, "ROLLBACK");
    return status;
  }
  status = exec(db, "COMMIT");
  if (status == errSecSuccess) return status;
  exec(db, "ROLLBACK");
  return landed() ? errSecSuccess : status;
}

}  // namespace

bool CheckReport::allWell() const {
  for (const Finding& finding : findings) {
    if (!finding.ok) return false;
  }
  return true;
}

OSStatus listItems(const std::string& path, FolderRule rule, const std::string& firstService,
                   std::vector<ItemSummary>& items) {
  Database database;
  OSStatus status = openKeychain(path, rule, database);
  if (status != errSecSuccess) return status;
  Statement select(database.get(),
                   "SELECT class, service, account, created FROM item "
                   "ORDER BY service <> ?1, service, account, class");
  select.bindBlob(1, firstService);
  for (;;) {
    int result = select.step();
    if (result == SQLITE_DONE) return errSecSuccess;
    if (result != SQLITE_ROW) return statusOf(result);
    items.push_back({select.blob(0), select.blob(1), select.blob(2), select.integer(3)});
  }
}

OSStatus changePassword(const std::string& path, FolderRule rule) {
  Database database;
  KeychainRecord record;
  OSStatus status = openWithRecord(path, rule, database, record);
  if (status != errSecSuccess) return status;
  SecureBytes key;
  const std::string shown = "“" + displayText(path) + "”";
  status =
      unlockWithPrompts({path, "", "要更改钥匙串" + shown + "的密码。\n\n请输入当前的钥匙串密码。"},
                        PasswordPurpose::read, record, key);
  if (status != errSecSuccess) return status;
  SecureBytes password;
  status = askNewKeychainPassword(
      {path, "",
       "请为钥匙串" + shown +
           "设置新密码。以后读取其中的项目时都需要输入这个新密码，旧密码将不再有效。"},
      password);
  if (status != errSecSuccess) return status;

  // The same key under a new salt: every item stays as it is.
  KeychainRecord changed = record;
  changed.salt = randomBytes(saltBytes);
  SecureBytes wrapping;
  status = deriveWrappingKey(password, changed.salt, changed.kdf, wrapping);
  if (status != errSecSuccess) return status;
  changed.wrappedKey =
      seal(wrapping, key, wrapAssociatedData(changed.uuid, changed.kdf, changed.salt),
           changed.wrapNonce);
  sqlite3* db = database.get();
  return writeUnderRecord(
      db, record,
      [&]() -> OSStatus {
        Statement update(
            db, "UPDATE keychain SET salt = ?1, wrap_nonce = ?2, wrapped_key = ?3 WHERE id = 1");
        update.bindBlob(1, changed.salt);
        update.bindBlob(2, changed.wrapNonce);
        update.bindBlob(3, changed.wrappedKey);
        int result = update.step();
        if (result != SQLITE_DONE) return statusOf(result);
        return sqlite3_changes(db) == 1 ? errSecSuccess : errSecInvalidKeychain;
      },
      [&] {
        KeychainRecord stored;
        return readKeychainRecord(db, stored) == errSecSuccess && sameRecord(stored, changed);
      });
}

OSStatus deleteItem(const std::string& path, FolderRule rule, const std::string& service,
                    const std::string& account) {
  Database database;
  KeychainRecord record;
  OSStatus status = openWithRecord(path, rule, database, record);
  if (status != errSecSuccess) return status;
  const std::string itemClass(kSecClassGenericPassword);
  const ItemKey key{itemClass, service, account};
  bool found = false;
  status = itemExists(database.get(), key, found);
  if (status != errSecSuccess) return status;
  if (!found) return errSecItemNotFound;
  SecureBytes unlocked;
  status = unlockWithPrompts(
      {path, account,
       "Ferrowick 将从钥匙串“" + displayText(path) + "”删除设备密钥“" + displayText(account) +
           "”。此操作无法撤销。\n\n请输入钥匙串密码以确认。"},
      PasswordPurpose::read, record, unlocked);
  if (status != errSecSuccess) return status;
  sqlite3* db = database.get();
  return writeUnderRecord(
      db, record,
      [&]() -> OSStatus {
        Statement remove(db, "DELETE FROM item WHERE class = ?1 AND service = ?2 AND account = ?3");
        remove.bindBlob(1, key.itemClass);
        remove.bindBlob(2, key.service);
        remove.bindBlob(3, key.account);
        int result = remove.step();
        if (result != SQLITE_DONE) return statusOf(result);
        return sqlite3_changes(db) == 1 ? errSecSuccess : errSecItemNotFound;
      },
      [&] {
        bool stillThere = true;
        return itemExists(db, key, stillThere) == errSecSuccess && !stillThere;
      });
}

}  // namespace keychain::care
