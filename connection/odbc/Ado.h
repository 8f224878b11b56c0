#pragma once
// The database client: a connection and a command with the roles of ADO's
// TADOConnection and TADOCommand, carried out over ODBC (unixODBC with a SQL
// Server driver). No ODBC type appears here.
//
// The driver is FreeTDS ("FreeTDS" in odbcinst.ini) unless the environment
// variable VLBACKUP_ODBC_DRIVER names another, such as "ODBC Driver 18 for SQL
// Server" or a driver library's path; names holding neither "FreeTDS" nor
// "tdsodbc" get the keywords of Microsoft's drivers. Text crosses to the
// driver as UTF-16, converted from the system's 8-bit text (UTF-8 here).
#include <memory>
#include <string>

namespace vl {

class TADOConnection {
 public:
  TADOConnection();
  ~TADOConnection();
  TADOConnection(const TADOConnection&) = delete;
  TADOConnection& operator=(const TADOConnection&) = delete;

  std::string ConnectionString;  // OLE DB form ("Key=Value;..."), accepted while closed
  int CommandTimeout = 30;       // seconds; the default of commands run over this connection
  int ConnectionTimeout = 15;    // seconds for the whole open, instance look-up included; 0: no limit
  bool LoginPrompt = false;      // never asks the user for credentials, whatever its value

  bool Connected() const;
  // Opening raises Exception (the server's text, never the password) when the
  // connection cannot be opened; closing a closed connection does nothing.
  void SetConnected(bool open);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  struct Impl;
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// A statement run on a connection. CommandText may hold one named parameter
// marker (":path"), whose value is bound as text, never pasted into the text.
class TADOCommand {
 public:
  explicit TADOCommand(TADOConnection& connection) : Connection(connection) {}

  TADOConnection& Connection;
  std::string CommandText;
  int CommandTimeout = 30;  // seconds; its own, as in ADO (not the connection's); 0: no limit

  void SetParameterValue(const std::string& value) { parameterValue_ = value; }
  // Runs synchronously and ignores any result set; raises Exception with the
  // server's text (several messages one per line). Every marker of the text
  // takes the one value, bound as Unicode text of its full length.
  void Execute();

 private:
  std::string parameterValue_;
};

}  // namespace vl
