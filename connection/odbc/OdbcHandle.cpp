#include "connection/odbc/OdbcHandle.h"

#include <algorithm>
#include <utility>

#include "connection/odbc/DatabaseError.h"
#include "connection/odbc/OdbcText.h"
#include "platform/Error.h"

namespace vl::odbc {

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent, SQLSMALLINT parentType) : type_(type) {
  const SQLRETURN rc = SQLAllocHandle(type, parent, &handle_);
  if (SQL_SUCCEEDED(rc)) return;
  handle_ = SQL_NULL_HANDLE;
  std::vector<DiagRecord> records;
  if (parent != SQL_NULL_HANDLE) records = ReadDiagnostics(parentType, parent);
  throw Exception(FailureText(records, "Allocating an ODBC handle"));
}

Handle::~Handle() { Release(); }

Handle::Handle(Handle&& other) noexcept : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    Release();
    type_ = other.type_;
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void Handle::Release() noexcept {
  if (handle_ == SQL_NULL_HANDLE) return;
  // Fails harmlessly (08003) when the handle never connected.
  if (type_ == SQL_HANDLE_DBC) SQLDisconnect(handle_);
  SQLFreeHandle(type_, handle_);
  handle_ = SQL_NULL_HANDLE;
}

namespace {

std::string WideToUtf8(const std::vector<SQLWCHAR>& buffer, std::size_t length) {
  std::u16string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length && i < buffer.size() && buffer[i] != 0; ++i)
    text.push_back(static_cast<char16_t>(buffer[i]));
  return Utf16ToUtf8(text);
}

bool IsInformational(const DiagRecord& record) { return record.state.rfind("01", 0) == 0; }

// Class 08 is the connection's; FreeTDS reports its own read failure (20004),
// write failure (20006) and end of stream (20017) by number, at times as mere
// information.
bool SaysConnectionLost(const DiagRecord& record) {
  return record.state.rfind("08", 0) == 0 || record.native == 20004 || record.native == 20006 || record.native == 20017;
}

}  // namespace

std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<DiagRecord> records;
  for (SQLSMALLINT i = 1;; ++i) {
    std::vector<SQLWCHAR> state(6, 0);
    std::vector<SQLWCHAR> message(1024, 0);
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, i, state.data(), &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
      message.assign(static_cast<std::size_t>(length) + 1, 0);
      rc = SQLGetDiagRecW(type, handle, i, state.data(), &native, message.data(),
                          static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    records.push_back({WideToUtf8(state, 5), native,
                       WideToUtf8(message, static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)))});
  }
  return records;
}

std::string StripComponentPrefixes(std::string_view message) {
  while (!message.empty() && message.front() == '[') {
    const auto close = message.find(']');
    if (close == std::string_view::npos) break;
    message.remove_prefix(close + 1);
  }
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.remove_suffix(1);
  return std::string(message);
}

std::string FailureText(const std::vector<DiagRecord>& records, std::string_view action) {
  const bool anyError =
      std::any_of(records.begin(), records.end(), [](const DiagRecord& r) { return !IsInformational(r); });
  std::vector<std::string> lines;
  for (const auto& record : records) {
    if (anyError && IsInformational(record)) continue;
    std::string line = StripComponentPrefixes(record.message);
    if (line.empty() || std::find(lines.begin(), lines.end(), line) != lines.end()) continue;
    lines.push_back(std::move(line));
  }
  if (lines.empty()) return std::string(action) + " failed.";
  std::string text;
  for (const auto& line : lines) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

EDatabaseError FailureError(const std::vector<DiagRecord>& records, std::string_view action) {
  const auto first =
      std::find_if(records.begin(), records.end(), [](const DiagRecord& r) { return !IsInformational(r); });
  if (first == records.end()) return EDatabaseError(FailureText(records, action), "", 0);
  return EDatabaseError(FailureText(records, action), first->state, first->native);
}

EDatabaseError SessionFailureError(const std::vector<DiagRecord>& records, std::string_view action) {
  const auto lost = std::find_if(records.begin(), records.end(), SaysConnectionLost);
  if (lost == records.end()) return FailureError(records, action);
  std::string driverText = FailureText(records, action);
  const std::string lostText = StripComponentPrefixes(lost->message);
  if (driverText.find(lostText) == std::string::npos) driverText += "\n" + lostText;
  return EDatabaseError(std::string(LostConnectionText) + "\n" + driverText, lost->state, lost->native);
}

Outcome Inspect(SQLRETURN rc, const Handle& handle) {
  Outcome outcome{rc, {}};
  if (outcome.Failed() && rc != SQL_INVALID_HANDLE) outcome.records = ReadDiagnostics(handle.type(), handle.get());
  return outcome;
}

bool MoreResultsMayFollow(const Outcome& outcome) {
  if (outcome.rc != SQL_ERROR || outcome.records.empty()) return false;
  for (const auto& record : outcome.records) {
    const std::string& s = record.state;
    if (s == "HY010" || s == "HYT00" || s == "HY008" || s.rfind("08", 0) == 0) return false;
  }
  return true;
}

SQLRETURN Check(SQLRETURN rc, const Handle& handle, std::string_view action) {
  const Outcome outcome = Inspect(rc, handle);
  switch (rc) {
    case SQL_SUCCESS:
    case SQL_SUCCESS_WITH_INFO:
    case SQL_NO_DATA: return rc;
    case SQL_INVALID_HANDLE: throw Exception(std::string(action) + " failed: invalid ODBC handle.");
    case SQL_ERROR: throw FailureError(outcome.records, action);
    default:
      // SQL_NEED_DATA, SQL_STILL_EXECUTING: never asked for by this client.
      throw Exception(std::string(action) + " failed: unexpected ODBC result " + std::to_string(rc) + ".");
  }
}

std::vector<SQLWCHAR> ToSqlWide(std::u16string_view text) {
  std::vector<SQLWCHAR> wide(text.begin(), text.end());
  wide.push_back(0);
  return wide;
}

}  // namespace vl::odbc
