#include "connection/odbc/OdbcConnectionString.h"

#include "connection/odbc/DatabaseError.h"
#include "platform/Error.h"
#include "platform/System.h"
#include "platform/Text.h"

namespace vl::odbc {
namespace {

bool ContainsText(std::string_view s, std::string_view part) {
  for (std::size_t i = 0; i + part.size() <= s.size(); ++i)
    if (SameText(s.substr(i, part.size()), part)) return true;
  return false;
}

[[noreturn]] void Malformed(std::size_t position) {
  throw Exception("The connection string is malformed near character " + std::to_string(position + 1) + ".");
}

// Reads a key up to its "="; "==" stands for an "=" inside the key.
std::string ReadKey(std::string_view text, std::size_t& i) {
  std::string key;
  const std::size_t start = i;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ';') Malformed(start);
    if (c == '=') {
      if (i + 1 < text.size() && text[i + 1] == '=') {
        key += '=';
        i += 2;
        continue;
      }
      ++i;
      return std::string(Trim(key));
    }
    key += c;
    ++i;
  }
  Malformed(start);
}

std::string ReadQuotedValue(std::string_view text, std::size_t& i) {
  const char quote = text[i];
  const std::size_t start = i++;
  std::string value;
  for (;;) {
    if (i >= text.size()) Malformed(start);
    if (text[i] == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) {
        value += quote;
        i += 2;
        continue;
      }
      ++i;
      break;
    }
    value += text[i++];
  }
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i < text.size() && text[i] != ';') Malformed(i);
  return value;
}

std::string ReadValue(std::string_view text, std::size_t& i) {
  while (i < text.size() && text[i] != ';' && IsBlank(text[i])) ++i;
  if (i < text.size() && (text[i] == '"' || text[i] == '\'')) return ReadQuotedValue(text, i);
  const std::size_t start = i;
  while (i < text.size() && text[i] != ';') ++i;
  return std::string(Trim(text.substr(start, i - start)));
}

int ParsePort(std::string_view text, std::string_view dataSource) {
  const auto port = ParsePortNumber(Trim(text));
  if (!port) throw Exception("The data source '" + std::string(dataSource) + "' names an invalid port (1 to 65535).");
  return *port;
}

std::optional<int> ParsePacketSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const auto value = ParseDecimal(text, 512, 32767);
  if (!value) throw Exception("The packet size '" + text + "' is not a number from 512 to 32767.");
  return static_cast<int>(*value);
}

bool IsTrustedLogin(std::string_view value) {
  return SameText(value, "SSPI") || SameText(value, "True") || SameText(value, "Yes");
}

bool IsTrue(std::string_view value) { return SameText(value, "True") || SameText(value, "Yes"); }

// One line of the data source file: no line break and no NUL.
void Add(std::vector<DataSourceEntry>& entries, const char* key, const std::string& value, const char* setting) {
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    throw ESettingRefused(std::string("The setting \"") + setting +
                          "\" holds a line break or NUL, which the database driver cannot be given.");
  entries.push_back({key, value});
}

void AddFixed(std::vector<DataSourceEntry>& entries, const char* key, const char* value) {
  entries.push_back({key, value});
}

}  // namespace

std::vector<OleDbProperty> ParseOleDbConnectionString(std::string_view text) {
  std::vector<OleDbProperty> properties;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ';' || IsBlank(text[i])) {
      ++i;
      continue;
    }
    const std::size_t keyStart = i;
    std::string key = ReadKey(text, i);
    if (key.empty()) Malformed(keyStart);
    std::string value = ReadValue(text, i);
    properties.push_back({std::move(key), std::move(value)});
  }
  return properties;
}

ServerAddress ParseDataSource(std::string_view dataSource) {
  std::string_view rest = Trim(dataSource);
  if (StartsWithText(rest, "tcp:")) rest = Trim(rest.substr(4));
  ServerAddress address;
  if (const auto comma = rest.rfind(','); comma != std::string_view::npos) {
    address.port = ParsePort(rest.substr(comma + 1), dataSource);
    rest = rest.substr(0, comma);
  }
  std::string_view host = rest;
  if (const auto slash = rest.find('\\'); slash != std::string_view::npos) {
    host = rest.substr(0, slash);
    address.instance = std::string(Trim(rest.substr(slash + 1)));
  }
  host = Trim(host);
  if (host.empty() || host == "." || SameText(host, "(local)")) host = LoopbackAddress;
  address.host = std::string(host);
  return address;
}

ConnectionSettings MapOleDbConnectionString(std::string_view text) {
  return MapOleDbProperties(ParseOleDbConnectionString(text));
}

std::string FindProperty(const std::vector<OleDbProperty>& properties, std::string_view key) {
  std::string found;
  for (const auto& property : properties)
    if (SameText(property.key, key)) found = property.value;
  return found;
}

ConnectionSettings MapOleDbProperties(const std::vector<OleDbProperty>& properties) {
  ConnectionSettings settings;
  std::string dataSource;
  for (const auto& [key, value] : properties) {
    if (SameText(key, "Data Source"))
      dataSource = value;
    else if (SameText(key, "Initial Catalog"))
      settings.database = value;
    else if (SameText(key, "User ID"))
      settings.user = value;
    else if (SameText(key, "Password"))
      settings.password = value;
    else if (SameText(key, "Integrated Security"))
      settings.trusted = IsTrustedLogin(value);
    else if (SameText(key, "Packet Size"))
      settings.packetSize = ParsePacketSize(value);
    else if (SameText(key, "Use Encryption for Data"))
      settings.encrypt = IsTrue(value);
    else if (SameText(key, "Trust Server Certificate"))
      settings.trustServerCertificate = IsTrue(value);
    else if (SameText(key, "Certificate Authority File"))
      settings.caFile = value;
  }
  settings.server = ParseDataSource(dataSource);
  return settings;
}

DriverFamily FamilyOfDriver(std::string_view name) {
  if (ContainsText(name, "FreeTDS") || ContainsText(name, "tdsodbc")) return DriverFamily::FreeTds;
  return DriverFamily::Microsoft;
}

DriverChoice ChosenDriver() {
  const std::optional<std::string> configured = platform::EnvironmentVariable("VLBACKUP_ODBC_DRIVER");
  std::string name = configured ? std::string(Trim(*configured)) : std::string();
  if (name.empty()) name = "FreeTDS";
  return {name, FamilyOfDriver(name)};
}

DataSourceEntries BuildDataSourceEntries(const ConnectionSettings& settings, const std::string& host, int port,
                                         const DriverChoice& driver) {
  DataSourceEntries entries;
  Add(entries.odbc, "Driver", driver.name, "VLBACKUP_ODBC_DRIVER");
  if (driver.family == DriverFamily::FreeTds && settings.ChecksCertificate()) {
    // FreeTDS reads a CA only from a freetds.conf section. Checking a
    // certificate means nothing if the session may go plain, so it requires TLS.
    Add(entries.freetds, "host", host, "Data Source");
    Add(entries.freetds, "port", std::to_string(port), "Data Source");
    AddFixed(entries.freetds, "tds version", "7.4");
    AddFixed(entries.freetds, "encryption", "require");
    Add(entries.freetds, "ca file", settings.caFile, "Certificate Authority File");
  } else if (driver.family == DriverFamily::FreeTds) {
    Add(entries.odbc, "Server", host, "Data Source");
    Add(entries.odbc, "Port", std::to_string(port), "Data Source");
    // 7.4 is what the product's servers speak; without it the driver guesses.
    AddFixed(entries.odbc, "TDS_Version", "7.4");
    // FreeTDS's own keyword: "require" keeps TLS on for the whole session and
    // refuses a server that cannot encrypt. Without it the driver asks for
    // none, and a server with a certificate encrypts the login only.
    if (settings.encrypt) AddFixed(entries.odbc, "Encryption", "require");
  } else {
    if (settings.ChecksCertificate())
      throw ESettingRefused(
          "The setting \"Certificate Authority File\" is for the FreeTDS driver; Microsoft's drivers check "
          "the server's certificate against the system's store unless \"Trust Server Certificate\" is True.");
    Add(entries.odbc, "Server", "tcp:" + host + "," + std::to_string(port), "Data Source");
    // The OLE DB provider this replaces never encrypted unless asked; newer
    // drivers insist unless told.
    AddFixed(entries.odbc, "Encrypt", settings.encrypt ? "yes" : "no");
    if (settings.trustServerCertificate) AddFixed(entries.odbc, "TrustServerCertificate", "yes");
  }
  if (settings.trusted) AddFixed(entries.odbc, "Trusted_Connection", "Yes");
  return entries;
}

}  // namespace vl::odbc
