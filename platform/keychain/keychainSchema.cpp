#include "platform/keychain/keychainSchema.h"

#include <array>

#include "platform/keychain/keychainFile.h"
#include "platform/keychain/keychainStatement.h"

namespace keychain {

namespace {

constexpr std::string_view keychainTable =
    "CREATE TABLE keychain(id INTEGER PRIMARY KEY CHECK(id = 1), uuid BLOB NOT NULL, "
    "kdf INTEGER NOT NULL, opslimit INTEGER NOT NULL, memlimit INTEGER NOT NULL, "
    "salt BLOB NOT NULL, wrap_nonce BLOB NOT NULL, wrapped_key BLOB NOT NULL) STRICT";
constexpr std::string_view itemTable =
    "CREATE TABLE item(id INTEGER PRIMARY KEY, uuid BLOB NOT NULL UNIQUE, "
    "class BLOB NOT NULL, service BLOB NOT NULL, account BLOB NOT NULL, "
    "access BLOB NOT NULL, nonce BLOB NOT NULL, secret BLOB NOT NULL, "
    "created INTEGER NOT NULL, UNIQUE(class, service, account)) STRICT";

struct SchemaRow {
  std::string_view type;
  std::string_view name;
  std::string_view sql;  // empty for the indexes of UNIQUE constraints
};
constexpr std::array<SchemaRow, 4> expectedSchema = {{
    {"table", "item", itemTable},
    {"table", "keychain", keychainTable},
    {"index", "sqlite_autoindex_item_1", ""},
    {"index", "sqlite_autoindex_item_2", ""},
}};

void bindKey(Statement& statement, const ItemKey& key) {
  statement.bindBlob(1, key.itemClass);
  statement.bindBlob(2, key.service);
  statement.bindBlob(3, key.account);
}

}  // namespace

OSStatus checkSchema(sqlite3* db) {
  Statement statement(db, "SELECT type, name, sql FROM sqlite_schema ORDER BY type DESC, name");
  std::size_t row = 0;
  for (;;) {
    int result = statement.step();
    if (result == SQLITE_DONE) break;
    if (result != SQLITE_ROW) return statusOf(result);
    if (row == expectedSchema.size()) return errSecInvalidKeychain;
    const SchemaRow& expected = expectedSchema[row++];
    if (statement.blob(0) != expected.type || statement.blob(1) != expected.name ||
        statement.blob(2) != expected.sql) {
      return errSecInvalidKeychain;
    }
  }
  return row == expectedSchema.size() ? errSecSuccess : errSecInvalidKeychain;
}

OSStatus writeSchema(sqlite3* db, const KeychainRecord& contents) {
  OSStatus status = exec(db, "BEGIN IMMEDIATE");
  if (status != errSecSuccess) return status;
  auto write = [&]() -> OSStatus {
    std::string pragmas = "PRAGMA application_id=" + std::to_string(applicationId) +
                          "; PRAGMA user_version=" + std::to_string(formatVersion) + ";";
    OSStatus s = exec(db, pragmas.c_str());
    if (s == errSecSuccess) s = exec(db, std::string(keychainTable).c_str());
    if (s == errSecSuccess) s = exec(db, std::string(itemTable).c_str());
    if (s != errSecSuccess) return s;
    Statement insert(db,
                     "INSERT INTO keychain(id, uuid, kdf, opslimit, memlimit, salt, wrap_nonce, "
                     "wrapped_key) VALUES(1, ?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    insert.bindBlob(1, contents.uuid);
    insert.bindInteger(2, contents.kdf.algorithm);
    insert.bindInteger(3, static_cast<std::int64_t>(contents.kdf.opslimit));
    insert.bindInteger(4, static_cast<std::int64_t>(contents.kdf.memlimit));
    insert.bindBlob(5, contents.salt);
    insert.bindBlob(6, contents.wrapNonce);
    insert.bindBlob(7, contents.wrappedKey);
    int result = insert.step();
    return result == SQLITE_DONE ? errSecSuccess : statusOf(result);
  };
  status = write();
  if (status != errSecSuccess) {
    exec(db, "ROLLBACK");
    return status;
  }
  return exec(db, "COMMIT");
}

bool wellFormed(const KeychainRecord& record) {
  return record.uuid.size() == uuidBytes && kdfWithinBounds(record.kdf) &&
         record.salt.size() == saltBytes && record.wrapNonce.size() == nonceBytes &&
         record.wrappedKey.size() == keyBytes + tagBytes;
}

OSStatus readKeychainRecord(sqlite3* db, KeychainRecord& record) {
  Statement select(db,
                   "SELECT uuid, kdf, opslimit, memlimit, salt, wrap_nonce, wrapped_key "
                   "FROM keychain WHERE id = 1");
  int result = select.step();
  if (result == SQLITE_DONE) return errSecInvalidKeychain;
  if (result != SQLITE_ROW) return statusOf(result);
  std::int64_t kdf = select.integer(1), ops = select.integer(2), mem = select.integer(3);
  if (kdf < 0 || kdf > 0xFFFF || ops < 0 || mem < 0) return errSecInvalidKeychain;
  record.uuid = select.blob(0);
  record.kdf = {static_cast<std::uint32_t>(kdf), static_cast<std::uint64_t>(ops),
                static_cast<std::uint64_t>(mem)};
  record.salt = select.blob(4);
  record.wrapNonce = select.blob(5);
  record.wrappedKey = select.blob(6);
  return wellFormed(record) ? errSecSuccess : errSecInvalidKeychain;
}

bool wellFormed(const ItemRecord& record) {
  return record.uuid.size() == uuidBytes && record.nonce.size() == nonceBytes &&
         record.secret.size() >= tagBytes && record.secret.size() <= maxSecretBytes + tagBytes;
}

OSStatus itemExists(sqlite3* db, const ItemKey& key, bool& found) {
  Statement select(db, "SELECT 1 FROM item WHERE class = ?1 AND service = ?2 AND account = ?3");
  bindKey(select, key);
  int result = select.step();
  if (result != SQLITE_ROW && result != SQLITE_DONE) return statusOf(result);
  found = result == SQLITE_ROW;
  return errSecSuccess;
}

OSStatus readItem(sqlite3* db, const ItemKey& key, ItemRecord& record) {
  Statement select(db,
                   "SELECT uuid, class, service, account, access, nonce, secret FROM item "
                   "WHERE class = ?1 AND service = ?2 AND account = ?3");
  bindKey(select, key);
  int result = select.step();
  if (result == SQLITE_DONE) return errSecItemNotFound;
  if (result != SQLITE_ROW) return statusOf(result);
  record.uuid = select.blob(0);
  record.itemClass = select.blob(1);
  record.service = select.blob(2);
  record.account = select.blob(3);
  record.access = select.blob(4);
  record.nonce = select.blob(5);
  record.secret = select.blob(6);
  return errSecSuccess;
}

OSStatus insertItem(sqlite3* db, const ItemRecord& record, std::int64_t created) {
  OSStatus status = prepareWrite(db);
  if (status == errSecSuccess) status = exec(db, "BEGIN IMMEDIATE");
  if (status != errSecSuccess) return status;
  Statement insert(db,
                   "INSERT INTO item(uuid, class, service, account, access, nonce, secret, "
                   "created) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  insert.bindBlob(1, record.uuid);
  insert.bindBlob(2, record.itemClass);
  insert.bindBlob(3, record.service);
  insert.bindBlob(4, record.account);
  insert.bindBlob(5, record.access);
  insert.bindBlob(6, record.nonce);
  insert.bindBlob(7, record.secret);
  insert.bindInteger(8, created);
  int result = insert.step();
  if (result != SQLITE_DONE) {
    exec(db, "ROLLBACK");
    return statusOf(result);
  }
  status = exec(db, "COMMIT");
  if (status == errSecSuccess) return status;
  exec(db, "ROLLBACK");
  // A failure after the commit point (releasing the lock, say) leaves the item stored: the file
  // decides what is reported, not the error.
  Statement stored(db, "SELECT 1 FROM item WHERE uuid = ?1");
  stored.bindBlob(1, record.uuid);
  return stored.step() == SQLITE_ROW ? errSecSuccess : status;
}

}  // namespace keychain
