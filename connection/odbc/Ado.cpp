// TADOConnection and TADOCommand over ODBC.
#include "connection/odbc/Ado.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "connection/odbc/DataSourceFile.h"
#include "connection/odbc/DatabaseError.h"
#include "connection/odbc/OdbcCommandText.h"
#include "connection/odbc/OdbcConnectionString.h"
#include "connection/odbc/OdbcHandle.h"
#include "connection/odbc/OdbcText.h"
#include "connection/odbc/SqlBrowser.h"
#include "platform/Error.h"
#include "platform/Text.h"

namespace vl {

using Clock = std::chrono::steady_clock;

struct TADOConnection::Impl {
  std::optional<odbc::Handle> environment;  // made on the first open, kept for the next
  std::optional<odbc::Handle> connection;   // present exactly while open
};

namespace {

// With no connection time-out the browser still gets a bound of its own, since
// a lost datagram would otherwise leave the open waiting for ever.
constexpr auto UnboundedBrowserWait = std::chrono::seconds(15);

// Shorter passwords would mangle ordinary words of a message when masked.
constexpr std::size_t MinMaskedPasswordLength = 4;

// Never part of an error: the password, should any layer ever echo it.
std::string WithoutPassword(std::string text, const std::string& password) {
  if (password.size() < MinMaskedPasswordLength) return text;
  for (auto at = text.find(password); at != std::string::npos; at = text.find(password, at))
    text.replace(at, password.size(), "********");
  return text;
}

odbc::Handle MakeEnvironment() {
  odbc::Handle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE, SQL_HANDLE_ENV);
  odbc::Check(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0), env,
              "Setting the ODBC version");
  return env;
}

void SetConnectAttr(const odbc::Handle& dbc, SQLINTEGER attribute, SQLULEN value, const char* action) {
  odbc::Check(SQLSetConnectAttr(dbc.get(), attribute, reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER), dbc,
              action);
}

// Whole seconds for the driver's login, rounded up so a login never gets less
// than the time left; 0 is the driver's "no limit".
SQLULEN LoginSeconds(std::optional<Clock::time_point> deadline) {
  if (!deadline) return 0;
  const auto left = std::chrono::ceil<std::chrono::seconds>(*deadline - Clock::now()).count();
  return static_cast<SQLULEN>(std::max<long long>(left, 1));
}

int ServerPort(const odbc::ServerAddress& server, std::optional<Clock::time_point> deadline) {
  if (server.port) return *server.port;
  if (server.instance.empty()) return odbc::DefaultInstancePort;
  return odbc::LookUpInstancePort(server.host, server.instance, deadline.value_or(Clock::now() + UnboundedBrowserWait));
}

// FreeTDS reports a failed TLS negotiation only as "Unable to connect to data
// source", with no server message: where the settings demanded TLS, say so.
EDatabaseError WithEncryptionReason(const EDatabaseError& e, const odbc::ConnectionSettings& settings) {
  if (e.SqlState != "08001" || e.NativeError != 0) return e;
  std::string reason;
  if (settings.ChecksCertificate())
    reason =
        "Encryption was required, with the server's certificate checked against the \"Certificate Authority "
        "File\": the server did not offer encryption, or its certificate was not accepted.";
  else if (settings.encrypt)
    reason = "Encryption was required (\"Use Encryption for Data\") and the server did not offer it.";
  else
    return e;
  return EDatabaseError(e.Message() + "\n" + reason, e.SqlState, e.NativeError);
}

}  // namespace

TADOConnection::TADOConnection() : impl_(std::make_unique<Impl>()) {}
TADOConnection::~TADOConnection() = default;

bool TADOConnection::Connected() const { return impl_->connection.has_value(); }

void TADOConnection::SetConnected(bool open) {
  if (!open) {
    impl_->connection.reset();
    return;
  }
  if (Connected()) return;
  if (IsBlankText(ConnectionString)) throw Exception("The connection string is empty.");

  const auto start = Clock::now();
  std::optional<Clock::time_point> deadline;
  if (ConnectionTimeout > 0) deadline = start + std::chrono::seconds(ConnectionTimeout);

  // Malformed strings are reported without any of their values.
  const auto properties = odbc::ParseOleDbConnectionString(ConnectionString);
  const std::string password = odbc::FindProperty(properties, "Password");
  try {
    const odbc::ConnectionSettings settings = odbc::MapOleDbProperties(properties);
    const odbc::DriverChoice driver = odbc::ChosenDriver();
    const int port = ServerPort(settings.server, deadline);
    const odbc::TemporaryDataSource source(odbc::BuildDataSourceEntries(settings, settings.server.host, port, driver));

    if (!impl_->environment) impl_->environment = MakeEnvironment();
    odbc::Handle dbc(SQL_HANDLE_DBC, impl_->environment->get(), SQL_HANDLE_ENV);
    SetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, LoginSeconds(deadline), "Setting the login time-out");
    // Without autocommit the driver opens a transaction, inside which BACKUP is refused.
    SetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_ON, "Setting autocommit");
    if (settings.packetSize)
      SetConnectAttr(dbc, SQL_ATTR_PACKET_SIZE, static_cast<SQLULEN>(*settings.packetSize), "Setting the packet size");
    // The database, user and password go as they are, never through any
    // connection-string syntax, so no character of them can mean more.
    if (!settings.database.empty()) {
      auto database = odbc::ToSqlWide(odbc::Utf8ToUtf16(settings.database));
      // unixODBC hands this attribute on as 8-bit text, keeping only the low
      // byte of each unit: a name it would change is refused, not mangled.
      if (std::any_of(database.begin(), database.end(), [](SQLWCHAR c) { return c > 0xFF; }))
        throw ESettingRefused(
            "The setting \"Initial Catalog\" holds characters beyond Latin-1, which the driver manager cannot pass.");
      odbc::Check(SQLSetConnectAttrW(dbc.get(), SQL_ATTR_CURRENT_CATALOG, database.data(), SQL_NTS), dbc,
                  "Setting the database");
    }
    auto name = odbc::ToSqlWide(odbc::Utf8ToUtf16(source.name()));
    auto user = odbc::ToSqlWide(odbc::Utf8ToUtf16(settings.trusted ? std::string() : settings.user));
    auto secret = odbc::ToSqlWide(odbc::Utf8ToUtf16(settings.trusted ? std::string() : settings.password));
    try {
      odbc::Check(SQLConnectW(dbc.get(), name.data(), SQL_NTS, user.data(), SQL_NTS, secret.data(), SQL_NTS), dbc,
                  "Connecting to the database");
    } catch (const EDatabaseError& e) {
      throw WithEncryptionReason(e, settings);
    }
    impl_->connection = std::move(dbc);
  } catch (const EDatabaseError& e) {
    throw EDatabaseError(WithoutPassword(e.Message(), password), e.SqlState, e.NativeError);
  } catch (const ESettingRefused&) {
    throw;  // names a setting, never a value
  } catch (const Exception& e) {
    throw Exception(WithoutPassword(e.Message(), password));
  }
}

namespace {

// The one value of the command's parameter, as the driver reads it at execution.
struct BoundText {
  std::vector<SQLWCHAR> text;
  SQLLEN lengthInBytes = 0;
};

void BindParameters(const odbc::Handle& statement, const std::vector<std::string>& names, BoundText& value) {
  if (names.empty()) return;
  for (const auto& name : names)
    if (name != names.front())
      throw Exception("The command text holds more than one parameter (:" + names.front() + ", :" + name + ").");
  // The column size is the value's real length: a shorter one would cut it.
  const SQLULEN columnSize = std::max<SQLULEN>(static_cast<SQLULEN>(value.text.size()) - 1, 1);
  for (std::size_t i = 0; i < names.size(); ++i)
    odbc::Check(
        SQLBindParameter(statement.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                         columnSize, 0, value.text.data(), value.lengthInBytes, &value.lengthInBytes),
        statement, "Binding the parameter :" + names[i]);
}

}  // namespace

void TADOCommand::Execute() {
  if (!Connection.Connected()) throw Exception("Operation is not allowed when the object is closed.");
  const odbc::RewrittenCommand command = odbc::RewriteParameterMarkers(CommandText);

  odbc::Handle statement(SQL_HANDLE_STMT, Connection.impl().connection->get(), SQL_HANDLE_DBC);
  odbc::Check(
      SQLSetStmtAttr(statement.get(), SQL_ATTR_QUERY_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(std::max(CommandTimeout, 0))), SQL_IS_UINTEGER),
      statement, "Setting the command time-out");

  BoundText value;
  const std::u16string text16 = odbc::Utf8ToUtf16(parameterValue_);
  value.text = odbc::ToSqlWide(text16);
  value.lengthInBytes = static_cast<SQLLEN>(text16.size() * sizeof(SQLWCHAR));
  BindParameters(statement, command.params, value);

  const auto sql = odbc::ToSqlWide(odbc::Utf8ToUtf16(command.sql));
  // Every result is drained and looked at: BACKUP reports its progress as
  // informational messages, and an error may follow them in a later result.
  std::vector<odbc::DiagRecord> failures;
  bool failed = false;
  odbc::Outcome outcome =
      odbc::Inspect(SQLExecDirectW(statement.get(), const_cast<SQLWCHAR*>(sql.data()), SQL_NTS), statement);
  for (int results = 0;; ++results) {
    // Results other than success, no data and error (never asked for) raise at once.
    if (outcome.rc != SQL_ERROR) odbc::Check(outcome.rc, statement, "Executing the command");
    if (outcome.Failed()) {
      failed = true;
      // A sequence error while draining only says the statement had ended.
      for (auto& record : outcome.records)
        if (results == 0 || record.state != "HY010") failures.push_back(std::move(record));
    }
    if (outcome.rc == SQL_NO_DATA && results > 0) break;
    if (outcome.Failed() && !odbc::MoreResultsMayFollow(outcome)) break;
    outcome = odbc::Inspect(SQLMoreResults(statement.get()), statement);
  }
  if (failed) throw odbc::SessionFailureError(failures, "Executing the command");
}

}  // namespace vl
