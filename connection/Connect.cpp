// Opening the product's database: the configured login, then the built-in ones.
#include <optional>
#include <vector>

#include "connection/UtilityConnect.h"
#include "connection/odbc/DatabaseError.h"
#include "platform/Error.h"

namespace vl {
namespace {

constexpr int ConnectCommandTimeout = 4000;  // seconds
constexpr int ConnectConnectionTimeout = 5;  // seconds

// Why the configured connection failed, shown under the failure message: the
// fallbacks use built-in logins, so what the server said to the administrator's
// own settings is what helps them.
struct FirstFailure {
  std::string source;  // the data source the settings gave
  std::string text;
};

std::string FailureDetail(const Exception& e) {
  const auto* database = dynamic_cast<const EDatabaseError*>(&e);
  if (database == nullptr || database->SqlState.empty()) return e.Message();
  return e.Message() + " (SQLSTATE " + database->SqlState + ", native error " + std::to_string(database->NativeError) +
         ")";
}

std::string ServerShown(const std::string& source) {
  return source.empty() ? std::string("this machine") : "'" + source + "'";
}

// The attempts of one call. A failed open is no error of its own: the next
// login is tried. A setting the client refuses to pass ends the attempts, since
// the fallbacks would only hide it.
class Attempts {
 public:
  explicit Attempts(TADOConnection& connection) : connection_(connection) {}

  bool Run(ConnectionMode mode, bool firstAttempt) {
    if (refused_) return false;
    connection_.Close();
    connection_.ConnectionString = BuildConnectionString(mode);
    if (firstAttempt) {
      connection_.CommandTimeout = ConnectCommandTimeout;
      connection_.ConnectionTimeout = ConnectConnectionTimeout;
    }
    try {
      connection_.Open();
    } catch (const Exception& e) {
      if (!failure_) failure_ = FirstFailure{ServerName, FailureDetail(e)};
      refused_ = dynamic_cast<const ESettingRefused*>(&e) != nullptr;
      return false;
    }
    return connection_.Connected();
  }

  std::string FailureMessage() const {
    std::string text = "Unable to connect to the Velloran database '" + DatabaseName + "' on " +
                       ServerShown(ServerName) + ".\n\nPlease check your connection properties.";
    if (failure_)
      text += "\n\nThe configured connection to " + ServerShown(failure_->source) + " failed: " + failure_->text;
    return text;
  }

 private:
  TADOConnection& connection_;
  std::optional<FirstFailure> failure_;
  bool refused_ = false;
};

}  // namespace

bool ConnectDatabase(TADOConnection& connection, std::string& errorText) {
  errorText.clear();
  LocateSettingsFiles();
  Attempts attempts(connection);
  try {
    if (attempts.Run(ConnectionMode::Configured, true)) return connection.Connected();
    const bool login = ReadSettingBool(ConfigFileName, "Misc", "Login", false);
    const std::vector<ConnectionMode> fallbacks =
        login ? std::vector{ConnectionMode::ProductInstance}
              : std::vector{ConnectionMode::SaBlankPassword, ConnectionMode::ProductInstance};
    for (ConnectionMode mode : fallbacks)
      if (attempts.Run(mode, false)) return connection.Connected();
    errorText = attempts.FailureMessage();
  } catch (const Exception&) {
    // Closing or configuring the connection failed: no message of ours; the
    // caller shows its own.
    errorText.clear();
  }
  return connection.Connected();
}

bool ConnectDatabase(TADOConnection& connection, std::string& errorText, const std::vector<std::string>& arguments) {
  const ParamValueSource source(arguments);
  return ConnectDatabase(connection, errorText);
}

}  // namespace vl
