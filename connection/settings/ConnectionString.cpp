// The OLE DB connection string: each property from the command line, else the
// data file, else the built-in default, then adjusted for the connection mode.
#include <exception>
#include <optional>

#include "connection/UtilityConnect.h"
#include "platform/System.h"
#include "platform/Text.h"
#include "platform/UserInterface.h"

namespace vl {

std::string DatabaseName;
std::string ServerName;

const std::array<ConnectionProperty, 11> ConnectionPropertyTable = {{
    {"Provider", "SQLOLEDB.1", "SQLOLEDB.1"},
    {"Persist Security Info", "False", "False"},
    {"Use Procedure for Prepare", "1", "1"},
    {"Auto Translate", "True", "True"},
    {"Packet Size", "4096", "4096"},
    {"Initial Catalog", "Velloran", "Velloran"},
    {"Data Source", "", ".\\VELLORAN"},
    {"User ID", "SA", "SA"},
    {"Password", "", DefaultSaPassword},
    {"Workstation ID", "", ""},
    {"Integrated Security", "", ""},
}};

namespace {

constexpr const char* DatabaseSection = "Database Settings";
// SQL Server's instance syntax, not a path: the backslash stays on every platform.
constexpr const char* InstanceSuffix = "\\VELLORAN";
constexpr const char* LocalInstance = ".\\VELLORAN";

// A configured server names the product's instance on that machine. A value that
// already names it passes unchanged, so the login default ".\VELLORAN" does not
// become ".\VELLORAN\VELLORAN".
std::string ProductInstanceSource(const std::string& configured) {
  if (IsBlankText(configured)) return LocalInstance;
  if (EndsWithText(configured, InstanceSuffix)) return configured;
  return configured + InstanceSuffix;
}

std::string LookUpProperty(const ConnectionProperty& row, bool login) {
  const std::string fallback = login ? row.LoginDefaultValue : row.DefaultValue;
  std::string value = GetParamValue(row.Name);
  if (value.empty()) value = ReadSettingText(DataFileName, DatabaseSection, row.Name, fallback);
  if (value.empty()) value = fallback;
  return value;
}

// The provider's own quoting, only where a value needs it: a ";" would end the
// value and let the rest of it add or override a property, and a leading quote
// would be read as quoting. Other values go in verbatim.
std::string PropertyValue(const std::string& value) {
  const bool needsQuotes =
      value.find(';') != std::string::npos || (!value.empty() && (value.front() == '"' || value.front() == '\''));
  if (!needsQuotes) return value;
  std::string quoted = "\"";
  for (char c : value) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

struct BuildContext {
  ConnectionMode mode;
  bool useDefaultPassword;
  std::string computerName;
};

// The property's final value, or nothing when the entry is left out.
std::optional<std::string> ApplyRule(const std::string& name, std::string value, const BuildContext& ctx) {
  const bool productInstance = ctx.mode == ConnectionMode::ProductInstance;
  const bool saBlank = ctx.mode == ConnectionMode::SaBlankPassword;
  if (name == "Initial Catalog") {
    DatabaseName = value;
  } else if (name == "Data Source") {
    if (productInstance) value = ProductInstanceSource(value);
    ServerName = value;
  } else if (name == "User ID") {
    if (productInstance || saBlank) value = "sa";
  } else if (name == "Password") {
    if (saBlank)
      value.clear();
    else if (productInstance || ctx.useDefaultPassword)
      value = DefaultSaPassword;
  } else if (name == "Workstation ID") {
    value = ctx.computerName;
  } else if (name == "Integrated Security") {
    if (value.empty()) return std::nullopt;
  }
  return value;
}

bool UseTcpIp() {
  const std::string t = GetParamValue("UseTCPIP");
  if (!t.empty()) return t == "1";
  return ReadSettingBool(DataFileName, DatabaseSection, "UseTCPIP", false);
}

std::string BuildProperties(ConnectionMode mode, bool login, const std::string& computerName) {
  BuildContext ctx{mode, false, computerName};
  ctx.useDefaultPassword = ReadSettingBool(DataFileName, DatabaseSection, "Default Password", false) &&
                           ReadSettingText(DataFileName, DatabaseSection, "Password", "").empty();
  std::string result;
  for (const ConnectionProperty& row : ConnectionPropertyTable) {
    std::optional<std::string> value = ApplyRule(row.Name, LookUpProperty(row, login), ctx);
    if (value) result.append(row.Name).append("=").append(PropertyValue(*value)).append(";");
  }
  if (UseTcpIp()) result.append("Network Library=dbmssocn;");
  // Encryption settings, from the command line or the data file, appear only
  // when given, so a site without them gets the string it always had.
  for (const char* name : {"Use Encryption for Data", "Trust Server Certificate", "Certificate Authority File"}) {
    std::string value = GetParamValue(name);
    if (value.empty()) value = ReadSettingText(DataFileName, DatabaseSection, name, "");
    if (!value.empty()) result.append(name).append("=").append(PropertyValue(value)).append(";");
  }
  return result;
}

}  // namespace

std::string BuildConnectionString(ConnectionMode mode) {
  // The name is used whatever the query's outcome; without one the entry is empty.
  const std::string computerName = platform::ComputerName().value_or("");
  const bool login = ReadSettingBool(ConfigFileName, "Misc", "Login", false);
  try {
    return BuildProperties(mode, login, computerName);
  } catch (const std::exception&) {
    ShowWarning("Error reading Database Settings");
    platform::CurrentUserInterface().RequestTerminate();
    return {};
  }
}

void ShowWarning(const std::string& text) { platform::ShowMessage(platform::MessageKind::Warning, text); }

}  // namespace vl
