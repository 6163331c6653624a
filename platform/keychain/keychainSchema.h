// The tables of a keychain file and the records read from them. Everything read back is
// checked for shape (sizes, bounds) before use: the file is attacker-controlled input.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "Ferrowick/keystore/Security.h"
#include "platform/keychain/keychainCrypto.h"

namespace keychain {

// The keychain record: who the keychain is and how its key is wrapped (its uuid, KDF
// parameters, salt and K wrapped). A new keychain is made from one too.
struct KeychainRecord {
  std::string uuid;
  KdfParams kdf;
  std::string salt;
  std::string wrapNonce;
  std::string wrappedKey;
};

// errSecInvalidKeychain unless the file holds exactly our tables and indexes.
OSStatus checkSchema(sqlite3* db);

// Creates the tables and the keychain record of a new file, in one transaction.
OSStatus writeSchema(sqlite3* db, const KeychainRecord& contents);

// Reads and checks the keychain record; errSecInvalidKeychain when missing or malformed
// (KDF parameters out of bounds included).
OSStatus readKeychainRecord(sqlite3* db, KeychainRecord& record);
bool wellFormed(const KeychainRecord& record);

struct ItemKey {
  std::string_view itemClass;
  std::string_view service;
  std::string_view account;
};

struct ItemRecord {
  std::string uuid;
  std::string itemClass;
  std::string service;
  std::string account;
  std::string access;
  std::string nonce;
  std::string secret;
};
bool wellFormed(const ItemRecord& record);

// Whether an item exists: one indexed lookup, nothing decoded.
OSStatus itemExists(sqlite3* db, const ItemKey& key, bool& found);

// The whole item; errSecItemNotFound when there is none.
OSStatus readItem(sqlite3* db, const ItemKey& key, ItemRecord& record);

// Inserts in its own write transaction; errSecDuplicateItem when the key is taken.
OSStatus insertItem(sqlite3* db, const ItemRecord& record, std::int64_t created);

}  // namespace keychain
