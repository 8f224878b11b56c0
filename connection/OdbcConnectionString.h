#pragma once
// From the OLE DB connection string of the settings to the ODBC driver's own.
// Internal to the database client; no ODBC type appears here.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  std::string workstation;
  std::string application;
  bool trusted = false;  // Integrated Security: the platform's own (Kerberos) login
  std::optional<int> packetSize;
};

// "Provider", "Persist Security Info", "Use Procedure for Prepare" and
// "Auto Translate" have no ODBC counterpart and are read over, as is any key
// this client does not know. "Network Library=dbmssocn" asks for TCP, the only
// transport the driver has, so it changes nothing.
ConnectionSettings MapOleDbConnectionString(std::string_view text);
ConnectionSettings MapOleDbProperties(const std::vector<OleDbProperty>& properties);

// The value of the key's last entry, or empty text.
std::string FindProperty(const std::vector<OleDbProperty>& properties, std::string_view key);

// Each family names the same things with its own keywords.
struct DriverKeywords {
  const char* server;
  const char* port;  // nullptr: the port travels in the server value ("tcp:host,port")
  const char* database;
  const char* user;
  const char* password;
  const char* trusted;
  const char* workstation;
  const char* application;
  const char* packetSize;  // nullptr: set through SQL_ATTR_PACKET_SIZE instead
  const char* fixed;       // appended as it stands
};
const DriverKeywords& KeywordsOf(DriverFamily family);

struct DriverChoice {
  std::string name;  // as in odbcinst.ini, or a path to the driver library
  DriverFamily family;
};

// The FreeTDS driver unless the environment variable VLBACKUP_ODBC_DRIVER names
// another; a driver whose name holds neither "FreeTDS" nor "tdsodbc" is taken
// to speak the keywords of Microsoft's drivers.
DriverChoice ChosenDriver();
DriverFamily FamilyOfDriver(std::string_view name);

// An attribute value in braces, so no character of it can end the value or
// start another keyword. Microsoft's drivers read "}}" as one "}", as ODBC
// prescribes; FreeTDS (1.3) instead ends a braced value at the first "}" that
// a ";" or the end follows and takes every other "}" literally, so it cannot
// be given a value holding "};" at all: that raises Exception.
std::string QuoteOdbcValue(std::string_view value, DriverFamily family);

// The driver's connection string once the host and its TCP port are known.
std::string BuildDriverConnectionString(const ConnectionSettings& settings, const std::string& host,
                                        int port, const DriverChoice& driver);

}  // namespace vl::odbc
