#pragma once
// ODBC handles owned by RAII objects, and the one checkpoint through which the
// result of every ODBC call passes. Internal to the database client.
#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>
#include <vector>

#include "connection/odbc/DatabaseError.h"

namespace vl::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16 wide text");

// Owns one handle of the given type. A connection handle is disconnected before
// it is freed, so dropping the owner always ends the session.
class Handle {
 public:
  // Allocates under parent (SQL_NULL_HANDLE for an environment); raises Exception.
  Handle(SQLSMALLINT type, SQLHANDLE parent, SQLSMALLINT parentType);
  ~Handle();
  Handle(Handle&& other) noexcept;
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }

 private:
  void Release() noexcept;

  SQLSMALLINT type_;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

struct DiagRecord {
  std::string state;  // SQLSTATE, five characters
  SQLINTEGER native = 0;
  std::string message;  // as the driver gave it, prefixes included
};

std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle);

// "[FreeTDS][SQL Server]Login failed..." -> "Login failed...": the components
// that relayed a message are not part of what the server said.
std::string StripComponentPrefixes(std::string_view message);

// The text of a failure: the error records (informational ones, class 01, only
// when there is nothing else), stripped, each once, one per line. When the
// driver said nothing, names the action.
std::string FailureText(const std::vector<DiagRecord>& records, std::string_view action);

// FailureText as an error, with the SQLSTATE and native error of the first
// error record.
EDatabaseError FailureError(const std::vector<DiagRecord>& records, std::string_view action);

// What one ODBC call came to; on failure, the driver's diagnostics.
struct Outcome {
  SQLRETURN rc = SQL_SUCCESS;
  std::vector<DiagRecord> records;  // read only when the call failed
  bool Failed() const { return rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO && rc != SQL_NO_DATA; }
};

// What a failure on an open connection says first when the connection broke.
inline constexpr const char* LostConnectionText =
    "The connection to the server was lost (the network failed, or the server stopped or ended the session), "
    "so the command may not have completed. Check that the server is running and reachable, then try again.";

// FailureError for a call on an open connection: when the records tell that
// the connection broke, the text starts with LostConnectionText, followed by
// the driver's, and carries the SQLSTATE and native error of the record that
// told it.
EDatabaseError SessionFailureError(const std::vector<DiagRecord>& records, std::string_view action);

// The checkpoint, for callers that gather failures before they report them.
Outcome Inspect(SQLRETURN rc, const Handle& handle);

// After a failed result, whether the statement can still hold further results:
// not after a sequence error, a time-out, a cancel or a lost connection.
bool MoreResultsMayFollow(const Outcome& outcome);

// The checkpoint: passes SQL_SUCCESS, SQL_SUCCESS_WITH_INFO and SQL_NO_DATA back
// to the caller and raises Exception with the driver's text for anything else.
SQLRETURN Check(SQLRETURN rc, const Handle& handle, std::string_view action);

// Wide text as the driver manager takes it, zero-terminated.
std::vector<SQLWCHAR> ToSqlWide(std::u16string_view text);

}  // namespace vl::odbc
