#include "connection/OdbcConnectionString.h"

#include <cstdlib>

#include "platform/Error.h"
#include "platform/Text.h"

namespace vl::odbc {
namespace {

bool StartsWithText(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

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
  text = Trim(text);
  int port = 0;
  bool valid = !text.empty() && text.size() <= 5;
  for (char c : text) {
    if (c < '0' || c > '9') valid = false;
    else port = port * 10 + (c - '0');
  }
  if (!valid || port < 1 || port > 65535)
    throw Exception("The data source '" + std::string(dataSource) + "' names an invalid port.");
  return port;
}

std::optional<int> ParsePacketSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value < 512 || value > 32767)
    throw Exception("The packet size '" + text + "' is not a number from 512 to 32767.");
  return static_cast<int>(value);
}

bool IsTrustedLogin(std::string_view value) {
  return SameText(value, "SSPI") || SameText(value, "True") || SameText(value, "Yes");
}

void Append(std::string& out, const char* keyword, std::string_view value, DriverFamily family) {
  if (keyword == nullptr) return;
  out += keyword;
  out += '=';
  out += QuoteOdbcValue(value, family);
  out += ';';
}

constexpr DriverKeywords FreeTdsKeywords = {
    "Server", "Port", "Database", "UID", "PWD", "Trusted_Connection", "WSID", "APP", "PacketSize",
    // 7.4 is what the product's servers speak; without it the driver guesses.
    "TDS_Version=7.4;"};

constexpr DriverKeywords MicrosoftKeywords = {
    "Server", nullptr, "Database", "UID", "PWD", "Trusted_Connection", "WSID", "APP", nullptr,
    // The OLE DB provider this replaces never encrypted; newer drivers insist unless told.
    "Encrypt=no;"};

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
    if (SameText(key, "Data Source")) dataSource = value;
    else if (SameText(key, "Initial Catalog")) settings.database = value;
    else if (SameText(key, "User ID")) settings.user = value;
    else if (SameText(key, "Password")) settings.password = value;
    else if (SameText(key, "Workstation ID")) settings.workstation = value;
    else if (SameText(key, "Application Name")) settings.application = value;
    else if (SameText(key, "Integrated Security")) settings.trusted = IsTrustedLogin(value);
    else if (SameText(key, "Packet Size")) settings.packetSize = ParsePacketSize(value);
  }
  settings.server = ParseDataSource(dataSource);
  return settings;
}

const DriverKeywords& KeywordsOf(DriverFamily family) {
  return family == DriverFamily::FreeTds ? FreeTdsKeywords : MicrosoftKeywords;
}

DriverFamily FamilyOfDriver(std::string_view name) {
  if (ContainsText(name, "FreeTDS") || ContainsText(name, "tdsodbc")) return DriverFamily::FreeTds;
  return DriverFamily::Microsoft;
}

DriverChoice ChosenDriver() {
  const char* configured = std::getenv("VLBACKUP_ODBC_DRIVER");
  std::string name = configured != nullptr ? std::string(Trim(configured)) : std::string();
  if (name.empty()) name = "FreeTDS";
  return {name, FamilyOfDriver(name)};
}

std::string QuoteOdbcValue(std::string_view value, DriverFamily family) {
  if (family == DriverFamily::FreeTds) {
    // The value is never quoted back: it may be the password.
    if (value.find("};") != std::string_view::npos)
      throw Exception("A connection property holds \"};\", which the FreeTDS driver cannot be given.");
    return "{" + std::string(value) + "}";
  }
  std::string quoted = "{";
  for (char c : value) {
    quoted += c;
    if (c == '}') quoted += '}';
  }
  quoted += '}';
  return quoted;
}

std::string BuildDriverConnectionString(const ConnectionSettings& settings, const std::string& host,
                                        int port, const DriverChoice& driver) {
  const DriverKeywords& k = KeywordsOf(driver.family);
  std::string out;
  Append(out, "Driver", driver.name, driver.family);
  if (k.port != nullptr) {
    Append(out, k.server, host, driver.family);
    Append(out, k.port, std::to_string(port), driver.family);
  } else {
    Append(out, k.server, "tcp:" + host + "," + std::to_string(port), driver.family);
  }
  if (!settings.database.empty()) Append(out, k.database, settings.database, driver.family);
  if (settings.trusted) {
    Append(out, k.trusted, "Yes", driver.family);
  } else {
    Append(out, k.user, settings.user, driver.family);
    Append(out, k.password, settings.password, driver.family);
  }
  if (!settings.workstation.empty()) Append(out, k.workstation, settings.workstation, driver.family);
  if (!settings.application.empty()) Append(out, k.application, settings.application, driver.family);
  if (settings.packetSize) Append(out, k.packetSize, std::to_string(*settings.packetSize), driver.family);
  out += k.fixed;
  return out;
}

}  // namespace vl::odbc
