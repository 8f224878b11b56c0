#pragma once
// From the OLE DB connection string of the settings to the ODBC driver's own.
// Internal to the database client; no ODBC type appears here.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/odbc/DataSourceFile.h"

namespace vl::odbc {

enum class DriverFamily { FreeTds, Microsoft };

struct OleDbProperty {
  std::string key;  // as written, blanks around it removed
  std::string value;
};

// Reads "Key=Value;..." the way the OLE DB provider does: keys without regard to
// case, blanks around keys and values ignored, a value may hold "=" and may be
// enclosed in single or double quotes (the quote doubled inside), so a quoted
// value can hold ";". Raises Exception for a malformed string; the message
// never quotes a value.
std::vector<OleDbProperty> ParseOleDbConnectionString(std::string_view text);

// Where the server listens. An empty instance is the default one; a port given
// in the data source wins over any instance look-up.
struct ServerAddress {
  std::string host;
  std::string instance;
  std::optional<int> port;
};

// "host", "host\instance", "host,port", "host\instance,port", optionally with
// "tcp:" in front; ".", "(local)" and an empty host mean this machine, which
// the driver only knows by its loopback address.
ServerAddress ParseDataSource(std::string_view dataSource);

inline constexpr const char* LoopbackAddress = "127.0.0.1";
inline constexpr int DefaultInstancePort = 1433;

struct ConnectionSettings {
  ServerAddress server;
  std::string database;
  std::string user;
  std::string password;
  bool trusted = false;  // Integrated Security: the platform's own (Kerberos) login
  std::optional<int> packetSize;
  bool encrypt = false;                 // "Use Encryption for Data": the whole session under TLS, or none
  bool trustServerCertificate = false;  // never check the server's certificate
  // PEM file of the CA the server's certificate must chain to (FreeTDS checks
  // nothing without one); TLS is then required.
  std::string caFile;
  bool ChecksCertificate() const { return !caFile.empty() && !trustServerCertificate; }
};

// "Provider", "Persist Security Info", "Use Procedure for Prepare", "Auto
// Translate" and "Application Name" have no counterpart in a data source and
// are read over, as is any key this client does not know; "Workstation ID" is
// the computer's name, which the driver sends of its own accord.
// "Network Library=dbmssocn" asks for TCP, the only transport the driver has,
// so it changes nothing.
ConnectionSettings MapOleDbConnectionString(std::string_view text);
ConnectionSettings MapOleDbProperties(const std::vector<OleDbProperty>& properties);

// The value of the key's last entry, or empty text.
std::string FindProperty(const std::vector<OleDbProperty>& properties, std::string_view key);

struct DriverChoice {
  std::string name;  // as in odbcinst.ini, or a path to the driver library
  DriverFamily family;
};

// The FreeTDS driver unless the environment variable VLBACKUP_ODBC_DRIVER names
// another; a driver whose name holds neither "FreeTDS" nor "tdsodbc" is taken
// to speak the keywords of Microsoft's drivers.
DriverChoice ChosenDriver();
DriverFamily FamilyOfDriver(std::string_view name);

// The entries of the data source the driver reads for the host and its TCP
// port: the driver, the server, encryption and fixed choices. User, password
// and database are no part of it; they travel as arguments of their own. A
// value that could not stand on one line of the file raises ESettingRefused
// naming its setting.
DataSourceEntries BuildDataSourceEntries(const ConnectionSettings& settings, const std::string& host, int port,
                                         const DriverChoice& driver);

}  // namespace vl::odbc
