// Opening the product's database: the configured login, then the built-in ones.
#include <vector>

#include "connection/UtilityConnect.h"
#include "platform/Error.h"

namespace vl {
namespace {

constexpr int ConnectCommandTimeout = 4000;  // seconds
constexpr int ConnectConnectionTimeout = 5;  // seconds

// The attempt failing is no error of its own: the next login is tried.
bool TryOpen(TADOConnection& connection) {
  try {
    connection.Open();
  } catch (const Exception&) {
    return false;
  }
  return connection.Connected();
}

bool Attempt(TADOConnection& connection, ConnectionMode mode, bool firstAttempt) {
  connection.Close();
  connection.ConnectionString = BuildConnectionString(mode);
  if (firstAttempt) {
    connection.CommandTimeout = ConnectCommandTimeout;
    connection.ConnectionTimeout = ConnectConnectionTimeout;
  }
  return TryOpen(connection);
}

std::string FailureMessage() {
  const std::string server = ServerName.empty() ? std::string("this machine") : "'" + ServerName + "'";
  return "Unable to connect to the Velloran database '" + DatabaseName + "' on " + server +
         ".\n\nPlease check your connection properties.";
}

}  // namespace

bool ConnectDatabase(TADOConnection& connection, std::string& errorText) {
  errorText.clear();
  LocateSettingsFiles();
  try {
    if (Attempt(connection, ConnectionMode::Configured, true)) return connection.Connected();
    const bool login = ReadSettingBool(ConfigFileName, "Misc", "Login", false);
    const std::vector<ConnectionMode> fallbacks =
        login ? std::vector{ConnectionMode::ProductInstance}
              : std::vector{ConnectionMode::SaBlankPassword, ConnectionMode::ProductInstance};
    for (ConnectionMode mode : fallbacks)
      if (Attempt(connection, mode, false)) return connection.Connected();
    errorText = FailureMessage();
  } catch (const Exception&) {
    // Closing or configuring the connection failed: no message of ours; the
    // caller shows its own.
    errorText.clear();
  }
  return connection.Connected();
}

}  // namespace vl
