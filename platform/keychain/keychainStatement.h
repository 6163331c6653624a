// Small helpers over SQLite statements: every result code becomes a keychain status here.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "Ferrowick/keystore/Security.h"

namespace keychain {

// The status for an SQLite result code (extended codes understood).
OSStatus statusOf(int sqliteResult);

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  OSStatus prepared() const { return statusOf(prepareResult_); }
  void bindBlob(int index, std::string_view bytes);
  void bindInteger(int index, std::int64_t value);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  std::string blob(int column) const;
  std::int64_t integer(int column) const;
  int type(int column) const { return sqlite3_column_type(statement_, column); }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int prepareResult_ = SQLITE_OK;
};

// Runs statements that return no rows.
OSStatus exec(sqlite3* db, const char* sql);

// The integer a PRAGMA query returns.
OSStatus pragmaInteger(sqlite3* db, const char* sql, std::int64_t& value);

}  // namespace keychain
