// ConnectDatabase through the real stack: the configured login, then the
// built-in fallbacks, against the stand-in server.
#include <gtest/gtest.h>

#include "SettingsFolders.h"
#include "StandIn.h"
#include "connection/UtilityConnect.h"

namespace vl {
namespace {

using test::StandIn;
using test::StandInConfig;

struct Login {
  std::string instance;
  std::string user;
  bool ok;
  bool operator==(const Login&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Login& l) {
  return out << l.instance << "/" << l.user << (l.ok ? " ok" : " refused");
}

std::vector<Login> Logins(const StandIn& server) {
  std::vector<Login> out;
  for (const auto& r : server.journal("login")) out.push_back({r.text("instance"), r.text("user"), r.flag("ok")});
  return out;
}

class ConnectDatabaseTest : public ::testing::Test {
 protected:
  test::SettingsFolders settings_;
  TADOConnection connection_;
  std::string errorText_ = "left over";
};

TEST_F(ConnectDatabaseTest, ConfiguredLoginOpensAtOnce) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "app", "pw"));
  settings_.WriteDataFile({"Data Source=" + server.host(), "User ID=app", "Password=pw"});
  settings_.WriteConfigFile(true);
  EXPECT_TRUE(ConnectDatabase(connection_, errorText_));
  EXPECT_EQ(errorText_, "");
  EXPECT_TRUE(connection_.Connected());
  EXPECT_EQ(Logins(server), (std::vector<Login>{{"MSSQLSERVER", "app", true}}));
  EXPECT_EQ(connection_.CommandTimeout, 4000);
  EXPECT_EQ(connection_.ConnectionTimeout, 5);
}

// "Login" false (here: no config file): sa with a blank password, then the
// product instance, found through the browser, with the default password.
TEST_F(ConnectDatabaseTest, WithoutLoginFallsBackToBlankSaThenProductInstance) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "app", "pw"));
  settings_.WriteDataFile({"Data Source=" + server.host(), "User ID=app", "Password=wrong"});
  EXPECT_TRUE(ConnectDatabase(connection_, errorText_));
  EXPECT_EQ(errorText_, "");
  EXPECT_EQ(
      Logins(server),
      (std::vector<Login>{{"MSSQLSERVER", "app", false}, {"MSSQLSERVER", "sa", false}, {"VELLORAN", "sa", true}}));
  EXPECT_TRUE(connection_.Connected());
  // The connection stays open with the string of the attempt that succeeded.
  EXPECT_NE(connection_.ConnectionString.find("Data Source=" + server.host() + "\\VELLORAN;"), std::string::npos);
  EXPECT_NE(connection_.ConnectionString.find("Password=MarlyK5vo;"), std::string::npos);
}

TEST_F(ConnectDatabaseTest, BlankSaPasswordFallbackCanSucceed) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", ""));
  settings_.WriteDataFile({"Data Source=" + server.host(), "User ID=app", "Password=wrong"});
  settings_.WriteConfigFile(false);
  EXPECT_TRUE(ConnectDatabase(connection_, errorText_));
  EXPECT_EQ(Logins(server), (std::vector<Login>{{"MSSQLSERVER", "app", false}, {"MSSQLSERVER", "sa", true}}));
}

TEST_F(ConnectDatabaseTest, WithLoginTriesOnlyTheProductInstance) {
  StandIn server(StandInConfig().noLogins("VELLORAN"));
  settings_.WriteDataFile({"Data Source=" + server.host(), "Password=wrong"});
  settings_.WriteConfigFile(true);
  EXPECT_FALSE(ConnectDatabase(connection_, errorText_));
  EXPECT_EQ(Logins(server), (std::vector<Login>{{"MSSQLSERVER", "SA", false}, {"VELLORAN", "sa", false}}));
  // Under the message: what the server said to the configured login, and its source.
  EXPECT_EQ(errorText_, "Unable to connect to the Velloran database 'Velloran' on '" + server.host() +
                            "\\VELLORAN'.\n\nPlease check your connection properties.\n\n"
                            "The configured connection to '" +
                            server.host() +
                            "' failed: Login failed for user 'SA'.\nUnable to connect to data source "
                            "(SQLSTATE 42000, native error 18456)");
}

// A database that does not exist: the server's 4060 reaches the message.
TEST_F(ConnectDatabaseTest, MissingDatabaseReachesTheMessage) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw"));
  settings_.WriteDataFile({"Data Source=" + server.host(), "User ID=sa", "Password=pw", "Initial Catalog=Nope"});
  EXPECT_FALSE(ConnectDatabase(connection_, errorText_));
  EXPECT_NE(errorText_.find("Cannot open database \"Nope\" requested by the login."), std::string::npos) << errorText_;
}

// A setting the client refuses ends the attempts, and the refusal, naming the
// setting, reaches the message.
TEST_F(ConnectDatabaseTest, RefusedSettingReachesTheMessageAndStopsTheFallbacks) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw"));
  settings_.SetArguments(
      {"Data Source=" + server.host(), "User ID=sa", "Password=pw", "Initial Catalog=Db\u017D;DRIVER=x"});
  EXPECT_FALSE(ConnectDatabase(connection_, errorText_));
  EXPECT_TRUE(server.journal("login").empty());
  EXPECT_NE(
      errorText_.find("The configured connection to '" + server.host() + "' failed: The setting \"Initial Catalog\""),
      std::string::npos)
      << errorText_;
}

// Command-line arguments beat the data file in every attempt.
TEST_F(ConnectDatabaseTest, CommandLineSettingsReachTheServer) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "cli", "pw").databases({"Velloran", "Other"}));
  settings_.WriteDataFile({"Data Source=198.51.100.1", "User ID=app"});
  settings_.SetArguments({"Data Source=" + server.host(), "User ID=cli", "Password=pw", "Initial Catalog=Other"});
  EXPECT_TRUE(ConnectDatabase(connection_, errorText_));
  ASSERT_EQ(server.journal("login").size(), 1u);
  EXPECT_EQ(server.journal("login")[0].text("database"), "Other");
}

// Every attempt failing quotes the last (product instance) build; the host
// name is unknown, so each attempt fails at once.
TEST_F(ConnectDatabaseTest, EveryAttemptFailingGivesTheMessage) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw"));
  settings_.WriteDataFile({"Data Source=" + server.host(), "User ID=sa", "Password=pw"});
  ASSERT_TRUE(ConnectDatabase(connection_, errorText_));

  settings_.WriteDataFile({"Data Source=SRV", "Initial Catalog=Db2"});
  EXPECT_FALSE(ConnectDatabase(connection_, errorText_));
  EXPECT_EQ(errorText_.rfind("Unable to connect to the Velloran database 'Db2' on 'SRV\\VELLORAN'.\n\n"
                             "Please check your connection properties.\n\nThe configured connection to 'SRV' failed: ",
                             0),
            0u)
      << errorText_;
  EXPECT_FALSE(connection_.Connected());  // the earlier connection was closed first
}

}  // namespace
}  // namespace vl
