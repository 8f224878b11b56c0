// The database client through the real stack: TADOConnection / TADOCommand ->
// unixODBC -> FreeTDS -> the stand-in SQL Server.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <vector>

#include "ErrorOf.h"
#include "ScopedEnv.h"
#include "StandIn.h"
#include "connection/odbc/Ado.h"
#include "connection/odbc/DatabaseError.h"
#include "platform/Error.h"
#include "platform/System.h"

namespace vl {
namespace {

using test::StandIn;
using test::StandInConfig;

std::string OleDb(const std::string& dataSource, const std::string& user, const std::string& password,
                  const std::string& extra = "") {
  return "Provider=SQLOLEDB.1;Persist Security Info=False;Use Procedure for Prepare=1;Auto Translate=True;"
         "Packet Size=4096;Initial Catalog=Velloran;Data Source=" +
         dataSource + ";User ID=" + user + ";Password=" + password + ";Workstation ID=PC7;" + extra;
}

std::string OpenError(TADOConnection& connection) {
  return test::ErrorOf([&] { connection.Open(); }, "the connection opened");
}

std::string ExecuteError(TADOCommand& command) {
  return test::ErrorOf([&] { command.Execute(); }, "the command succeeded");
}

TEST(ClientStandIn, OpensWithEveryPropertyReachingTheServer) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "App", "pw"));
  TADOConnection connection;
  connection.ConnectionString = OleDb(server.host(), "app", "pw", "Application Name=Velloran Backup;");
  connection.Open();
  EXPECT_TRUE(connection.Connected());
  const auto logins = server.journal("login");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].text("instance"), "MSSQLSERVER");
  EXPECT_EQ(logins[0].text("user"), "app");
  EXPECT_EQ(logins[0].text("database"), "Velloran");
  // The driver sends the computer's name, which is what "Workstation ID" becomes.
  EXPECT_EQ(logins[0].text("workstation"), platform::ComputerName().value_or(""));
  EXPECT_TRUE(logins[0].flag("ok"));
  connection.Close();
  EXPECT_FALSE(connection.Connected());
  connection.Close();  // closing a closed connection does nothing
}

TEST(ClientStandIn, DataSourceFormsReachTheirInstance) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw"));
  const struct {
    std::string dataSource;
    std::string user;
    std::string password;
    std::string instance;
  } cases[] = {
      {server.host() + "\\VELLORAN", "sa", "MarlyK5vo", "VELLORAN"},
      {server.host() + "\\velloran", "sa", "MarlyK5vo", "VELLORAN"},
      {server.host() + "," + std::to_string(server.port("VELLORAN")), "sa", "MarlyK5vo", "VELLORAN"},
      {"tcp:" + server.host() + ",1433", "sa", "pw", "MSSQLSERVER"},
  };
  std::size_t count = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dataSource);
    TADOConnection connection;
    connection.ConnectionString = OleDb(c.dataSource, c.user, c.password, "Network Library=dbmssocn;");
    connection.ConnectionTimeout = 5;
    connection.Open();
    const auto logins = server.journal("login");
    ASSERT_EQ(logins.size(), ++count);
    EXPECT_EQ(logins.back().text("instance"), c.instance);
    EXPECT_TRUE(logins.back().flag("ok"));
  }
}

// OLE DB quoting: double quotes around the value, a quote inside doubled.
std::string OleDbQuoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

// Legal but odd values, and values written to add a DRIVER= keyword in either
// layer's syntax (unixODBC reads only the low byte of each UTF-16 unit, so
// U+017D stands for "}", U+013B for ";" and U+017B for "{"). Each reaches the
// server exactly, and the marker library is never loaded.
TEST(ClientStandIn, HostileAndOddValuesArriveExactlyAndLoadNothing) {
  const std::string marker = std::string(VL_MARKER_DRIVER);
  test::TempDir dir;
  const std::string loaded = dir / "marker-loaded";
  test::ScopedEnv markerFile("VL_MARKER_FILE", loaded);
  const std::vector<std::string> values = {
      "pa}ss",
      "a;b",
      "{x}",
      "p=q",
      " blank inside ",
      "x};DRIVER=" + marker + ";",
      "x}DRIVER=" + marker + ";Y={",
      "}};DRIVER={" + marker + "};",
      "x\u017D;DRIVER=" + marker + ";",
      "x\u017D\u013BDRIVER=" + marker + "\u013B",
      "\u017Bx\u017D",
      "Ünïcødé €",
      "'\"quotes\"'",
  };
  StandInConfig config;
  config.databases({"Velloran", "Odd}Db;DRIVER=" + marker + ";", "Db\u017D\u013BDRIVER=" + marker});
  for (std::size_t i = 0; i < values.size(); ++i) config.login("MSSQLSERVER", "user" + std::to_string(i), values[i]);
  config.login("MSSQLSERVER", "x}DRIVER=" + marker + ";", "pw");
  StandIn server(config);

  struct Case {
    std::string user;
    std::string password;
    std::string database;
  };
  std::vector<Case> cases;
  for (std::size_t i = 0; i < values.size(); ++i) cases.push_back({"user" + std::to_string(i), values[i], "Velloran"});
  cases.push_back({"x}DRIVER=" + marker + ";", "pw", "Velloran"});
  cases.push_back({"user0", values[0], "Odd}Db;DRIVER=" + marker + ";"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user + " / " + c.password + " / " + c.database);
    TADOConnection connection;
    connection.ConnectionString = "Data Source=" + server.host() + ";Initial Catalog=" + OleDbQuoted(c.database) +
                                  ";User ID=" + OleDbQuoted(c.user) + ";Password=" + OleDbQuoted(c.password) + ";";
    EXPECT_NO_THROW(connection.Open());
    const auto logins = server.journal("login");
    ASSERT_FALSE(logins.empty());
    EXPECT_TRUE(logins.back().flag("ok"));
    EXPECT_EQ(logins.back().text("user"), c.user);
    EXPECT_EQ(logins.back().text("database"), c.database);
  }
  EXPECT_EQ(server.journal("login").size(), cases.size());

  // A database name the driver manager would mangle is refused, naming the setting.
  TADOConnection connection;
  connection.ConnectionString = "Data Source=" + server.host() + ";Initial Catalog=Db\u017D\u013BDRIVER=" + marker +
                                ";User ID=user0;Password=" + OleDbQuoted(values[0]) + ";";
  try {
    connection.Open();
    ADD_FAILURE() << "opened";
  } catch (const ESettingRefused& e) {
    EXPECT_NE(std::string(e.what()).find("\"Initial Catalog\""), std::string::npos) << e.what();
  }
  EXPECT_EQ(server.journal("login").size(), cases.size());
  EXPECT_FALSE(std::filesystem::exists(loaded)) << "an injected DRIVER= was loaded";
}

// The test's own check: the marker library does record a load.
TEST(ClientStandIn, MarkerLibraryRecordsBeingLoaded) {
  test::TempDir dir;
  const std::string loaded = dir / "marker-loaded";
  test::ScopedEnv markerFile("VL_MARKER_FILE", loaded);
  void* handle = ::dlopen(VL_MARKER_DRIVER, RTLD_NOW);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  ::dlclose(handle);
  EXPECT_TRUE(std::filesystem::exists(loaded));
}

TEST(ClientStandIn, FailedLoginCarriesTheServerTextButNeverThePassword) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "right"));
  TADOConnection connection;
  connection.ConnectionString = OleDb(server.host(), "sa", "Wr0ngPassword");
  const std::string error = OpenError(connection);
  EXPECT_NE(error.find("Login failed for user 'sa'."), std::string::npos) << error;
  EXPECT_EQ(error.find("Wr0ngPassword"), std::string::npos) << error;
  EXPECT_EQ(error.find('['), std::string::npos) << error;
  EXPECT_FALSE(connection.Connected());
}

class BackupCommand : public ::testing::Test {
 protected:
  explicit BackupCommand(const StandInConfig& config = Serving()) : server_(config) {
    connection_.ConnectionString = OleDb(server_.host(), "sa", "pw");
    connection_.CommandTimeout = 4000;
    connection_.ConnectionTimeout = 5;
    connection_.Open();
    command_.CommandTimeout = 4000;
  }
  static StandInConfig Serving() { return StandInConfig().login("MSSQLSERVER", "sa", "pw"); }

  void Backup(const std::string& path) {
    command_.CommandText = "BACKUP DATABASE Velloran TO DISK = :path WITH INIT,SKIP";
    command_.SetParameterValue(path);
    command_.Execute();
  }

  StandIn server_;
  TADOConnection connection_;
  TADOCommand command_{connection_};
};

TEST_F(BackupCommand, PathArrivesAsParameterValue) {
  for (const std::string folder : {"O'Brien", "Ünïcødé €", "semi;colon [x] {y}"}) {
    SCOPED_TRACE(folder);
    const std::string dir = server_.folder() / folder;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/VL.BAK";
    Backup(path);
    const auto statements = server_.journal("statement");
    ASSERT_FALSE(statements.empty());
    EXPECT_EQ(statements.back().params(), std::vector<std::string>{path});
    EXPECT_EQ(statements.back().text("sql").find(folder), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(path));
  }
}

TEST_F(BackupCommand, LongPathIsNotCut) {
  std::string dir = server_.folder().str();
  while (dir.size() < 600) dir += "/" + std::string(60, 'd');
  std::filesystem::create_directories(dir);
  Backup(dir + "/VL.BAK");
  EXPECT_EQ(server_.journal("statement").back().params(), std::vector<std::string>{dir + "/VL.BAK"});
  EXPECT_TRUE(std::filesystem::exists(dir + "/VL.BAK"));
}

TEST_F(BackupCommand, UpdateRunsWithoutParameterAfterABackup) {
  Backup(server_.folder() / "VL.BAK");
  command_.CommandText = "UPDATE SystemData SET LastBackupUtilityDate=getdate()";
  command_.Execute();
  EXPECT_EQ(server_.journal("update").size(), 1u);
  EXPECT_TRUE(server_.journal("statement").back().params().empty());
}

TEST_F(BackupCommand, MissingFolderGivesTheServerTexts) {
  const std::string path = server_.folder() / "missing/VL.BAK";
  command_.CommandText = "BACKUP DATABASE Velloran TO DISK = :path WITH INIT,SKIP";
  command_.SetParameterValue(path);
  const std::string error = ExecuteError(command_);
  EXPECT_NE(error.find("Cannot open backup device '" + path + "'. Operating system error 3"), std::string::npos)
      << error;
  EXPECT_NE(error.find("BACKUP DATABASE is terminating abnormally."), std::string::npos) << error;
  EXPECT_EQ(error.find("[FreeTDS]"), std::string::npos) << error;
  EXPECT_TRUE(connection_.Connected());
  // The connection stays usable.
  Backup(server_.folder() / "VL.BAK");
}

TEST_F(BackupCommand, ClosedConnectionRefusesToExecute) {
  connection_.Close();
  command_.CommandText = "UPDATE SystemData SET LastBackupUtilityDate=getdate()";
  EXPECT_THROW(command_.Execute(), Exception);
}

class FailingServer : public BackupCommand {
 protected:
  FailingServer()
      : BackupCommand(Serving().backupError(3201, 5).updateError(208, "Invalid object name 'SystemData'.")) {}
};

TEST_F(FailingServer, FailedStatementsCarryTheServerText) {
  command_.CommandText = "BACKUP DATABASE Velloran TO DISK = :path WITH INIT,SKIP";
  command_.SetParameterValue("/x/VL.BAK");
  const std::string backup = ExecuteError(command_);
  EXPECT_NE(backup.find("Operating system error 5(Access is denied.)"), std::string::npos) << backup;
  EXPECT_NE(backup.find("BACKUP DATABASE is terminating abnormally."), std::string::npos) << backup;
  command_.CommandText = "UPDATE SystemData SET LastBackupUtilityDate=getdate()";
  EXPECT_EQ(ExecuteError(command_), "Invalid object name 'SystemData'.");
}

class DroppingServer : public BackupCommand {
 protected:
  DroppingServer() : BackupCommand(Serving().dropConnectionOn("backup")) {}
};

// The driver's own words ("Read from the server failed") tell a user nothing to
// do; the message says the connection was lost and keeps them and their codes.
TEST_F(DroppingServer, LostConnectionSaysSoAndKeepsTheDriversText) {
  try {
    Backup(server_.folder() / "VL.BAK");
    ADD_FAILURE() << "the backup succeeded";
  } catch (const EDatabaseError& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("The connection to the server was lost", 0), 0u) << text;
    EXPECT_NE(text.find("\nUnexpected EOF from the server"), std::string::npos) << text;
    EXPECT_EQ(e.SqlState, "01000") << "FreeTDS's own code for it";
    EXPECT_EQ(e.NativeError, 20017);
  }
}

class SlowServer : public BackupCommand {
 protected:
  SlowServer() : BackupCommand(Serving().delaySeconds(30)) {}
};

// The command's own time-out ends a statement the server keeps waiting on.
TEST_F(SlowServer, CommandTimeoutEndsTheStatement) {
  command_.CommandTimeout = 1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Backup(server_.folder() / "VL.BAK"), Exception);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

}  // namespace
}  // namespace vl
