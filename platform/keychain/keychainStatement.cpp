#include "platform/keychain/keychainStatement.h"

namespace keychain {

OSStatus statusOf(int sqliteResult) {
  switch (sqliteResult) {
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_PRIMARYKEY:
      return errSecDuplicateItem;
    default:
      break;
  }
  switch (sqliteResult & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return errSecSuccess;
    case SQLITE_NOMEM:
      return errSecAllocate;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return errSecWrPerm;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_ERROR:  // e.g. a schema that isn't ours
    case SQLITE_SCHEMA:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
      return errSecInvalidKeychain;
    case SQLITE_TOOBIG:  // only a planted record can be this large
      return errSecInvalidKeychain;
    case SQLITE_RANGE:
      return errSecParam;
    default:  // BUSY, LOCKED, IOERR, FULL, CANTOPEN, PROTOCOL...
      return errSecIO;
  }
}

Statement::Statement(sqlite3* db, std::string_view sql) {
  prepareResult_ =
      sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), 0, &statement_, nullptr);
}

Statement::~Statement() {
  sqlite3_finalize(statement_);
}

void Statement::bindBlob(int index, std::string_view bytes) {
  // An empty blob must still be a blob, not NULL.
  static const char empty = 0;
  sqlite3_bind_blob64(statement_, index, bytes.empty() ? &empty : bytes.data(), bytes.size(),
                      SQLITE_TRANSIENT);
}

void Statement::bindInteger(int index, std::int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
}

int Statement::step() {
  if (prepareResult_ != SQLITE_OK) return prepareResult_;
  return sqlite3_step(statement_);
}

std::string Statement::blob(int column) const {
  const void* data = sqlite3_column_blob(statement_, column);
  int size = sqlite3_column_bytes(statement_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

OSStatus exec(sqlite3* db, const char* sql) {
  return statusOf(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

OSStatus pragmaInteger(sqlite3* db, const char* sql, std::int64_t& value) {
  Statement statement(db, sql);
  int result = statement.step();
  if (result != SQLITE_ROW) return result == SQLITE_DONE ? errSecInvalidKeychain : statusOf(result);
  value = statement.integer(0);
  return errSecSuccess;
}

}  // namespace keychain
