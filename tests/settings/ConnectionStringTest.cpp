// The connection string: command line over data file over defaults, the three
// modes, and the failure path.
#include <gtest/gtest.h>

#include <stdexcept>

#include "connection/UtilityConnect.h"
#include "connection/odbc/OdbcConnectionString.h"
#include "platform/System.h"
#include "platform/UserInterface.h"
#include "tests/support/SettingsFolders.h"

namespace vl {
namespace {
using test::SettingsFolders;
using test::WriteFile;

// Records what the code under test asks of the user interface.
class RecordingUserInterface : public platform::UserInterface {
 public:
  RecordingUserInterface() { platform::InstallUserInterface(this); }
  ~RecordingUserInterface() override { platform::InstallUserInterface(nullptr); }
  RecordingUserInterface(const RecordingUserInterface&) = delete;
  RecordingUserInterface& operator=(const RecordingUserInterface&) = delete;

  void ShowMessage(platform::MessageKind kind, const std::string& caption, const std::string& text) override {
    boxes.push_back({kind, caption, text});
  }
  void SetCursor(platform::AppCursor) override {}
  void RequestTerminate() override { ++terminateRequests; }

  struct Box {
    platform::MessageKind kind;
    std::string caption, text;
  };
  std::vector<Box> boxes;
  int terminateRequests = 0;
};

std::string ReplaceAll(std::string text, const std::string& token, const std::string& by) {
  for (std::size_t at = 0; (at = text.find(token, at)) != std::string::npos; at += by.size())
    text.replace(at, token.size(), by);
  return text;
}

// Settings files and state for one build; the computer's name stands as "{pc}".
class ConnectionStringFixture {
 public:
  void Config(const std::string& content) {
    WriteFile(folders.Folder("config.ini"), content);
    ConfigFileName = folders.Folder("config.ini");
  }
  void Data(const std::string& content) {
    WriteFile(folders.Folder("data.ini"), content);
    DataFileName = folders.Folder("data.ini");
  }
  static std::string Expected(const std::string& pattern) {
    return ReplaceAll(pattern, "{pc}", platform::ComputerName().value_or(""));
  }

  SettingsFolders folders;
  RecordingUserInterface ui;
  ConnectionStringFixture() { ConfigFileName = DataFileName = "VL2000.INI"; }  // exists nowhere
};

TEST(BuildConnectionString, ExampleStringExactly) {
  ConnectionStringFixture f;
  f.Data("[Database Settings]\n");
  const std::string pc = platform::ComputerName().value_or("");
  EXPECT_EQ(BuildConnectionString(ConnectionMode::Configured),
            "Provider=SQLOLEDB.1;Persist Security Info=False;Use Procedure for Prepare=1;Auto Translate=True;"
            "Packet Size=4096;Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID=" +
                pc + ";");
  EXPECT_EQ(DatabaseName, "Velloran");
  EXPECT_EQ(ServerName, "");
  EXPECT_TRUE(f.ui.boxes.empty());
  EXPECT_EQ(f.ui.terminateRequests, 0);
}

constexpr const char* Head =
    "Provider=SQLOLEDB.1;Persist Security Info=False;Use Procedure for Prepare=1;Auto Translate=True;"
    "Packet Size=4096;";

struct BuildCase {
  const char* name;
  ConnectionMode mode;
  std::vector<std::string> args;
  const char* config;  // nullptr: no config file
  const char* data;    // nullptr: no data file
  std::string expected;
  const char* serverName = nullptr;  // checked when given
};

class BuildConnectionStringTest : public testing::TestWithParam<BuildCase> {};

TEST_P(BuildConnectionStringTest, BuildsTheString) {
  const BuildCase& c = GetParam();
  ConnectionStringFixture f;
  if (c.config) f.Config(c.config);
  if (c.data) f.Data(c.data);
  f.folders.SetArguments(c.args);
  EXPECT_EQ(BuildConnectionString(c.mode), ConnectionStringFixture::Expected(Head + c.expected));
  if (c.serverName) {
    EXPECT_EQ(ServerName, c.serverName);
  }
  EXPECT_TRUE(f.ui.boxes.empty());
}

using M = ConnectionMode;
constexpr const char* Login = "[Misc]\nLogin=1\n";
constexpr const char* DefaultPassword = "[Database Settings]\nDefault Password=1\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, BuildConnectionStringTest,
    testing::Values(
        BuildCase{"SaBlankPassword", M::SaBlankPassword, {}, nullptr, nullptr,
                  "Initial Catalog=Velloran;Data Source=;User ID=sa;Password=;Workstation ID={pc};", ""},
        BuildCase{"ProductInstance", M::ProductInstance, {}, nullptr, nullptr,
                  "Initial Catalog=Velloran;Data Source=.\\VELLORAN;User ID=sa;Password=MarlyK5vo;"
                  "Workstation ID={pc};",
                  ".\\VELLORAN"},
        BuildCase{"ProductInstanceOnConfiguredServer", M::ProductInstance, {},
                  nullptr, "[Database Settings]\nData Source=SRV\nPassword=own\n",
                  "Initial Catalog=Velloran;Data Source=SRV\\VELLORAN;User ID=sa;Password=MarlyK5vo;"
                  "Workstation ID={pc};",
                  "SRV\\VELLORAN"},
        BuildCase{"ProductInstanceOnOtherInstance", M::ProductInstance, {"Data Source=SRV\\OTHER"}, nullptr,
                  nullptr,
                  "Initial Catalog=Velloran;Data Source=SRV\\OTHER\\VELLORAN;User ID=sa;Password=MarlyK5vo;"
                  "Workstation ID={pc};",
                  "SRV\\OTHER\\VELLORAN"},
        BuildCase{"ProductInstanceAlreadyNamed", M::ProductInstance, {"Data Source=srv\\Velloran"}, nullptr,
                  nullptr,
                  "Initial Catalog=Velloran;Data Source=srv\\Velloran;User ID=sa;Password=MarlyK5vo;"
                  "Workstation ID={pc};",
                  "srv\\Velloran"},
        BuildCase{"ProductInstanceWithLoginNamesInstanceOnce", M::ProductInstance, {}, Login, nullptr,
                  "Initial Catalog=Velloran;Data Source=.\\VELLORAN;User ID=sa;Password=MarlyK5vo;"
                  "Workstation ID={pc};",
                  ".\\VELLORAN"},
        BuildCase{"LoginDefaults", M::Configured, {}, Login, nullptr,
                  "Initial Catalog=Velloran;Data Source=.\\VELLORAN;User ID=SA;Password=MarlyK5vo;"
                  "Workstation ID={pc};",
                  ".\\VELLORAN"},
        BuildCase{"LoginTrueTextIsFalse", M::Configured, {}, "[Misc]\nLogin=True\n", nullptr,
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"},
        BuildCase{"LoginWithLeadingBlank", M::Configured, {}, "[Misc]\nLogin= 1\n", nullptr,
                  "Initial Catalog=Velloran;Data Source=.\\VELLORAN;User ID=SA;Password=MarlyK5vo;"
                  "Workstation ID={pc};"},
        BuildCase{"LoginDataFileStillWins", M::SaBlankPassword, {}, Login, "[Database Settings]\nData Source=DB1\n",
                  "Initial Catalog=Velloran;Data Source=DB1;User ID=sa;Password=;Workstation ID={pc};", "DB1"},
        BuildCase{"CommandLineBeatsDataFile", M::Configured, {"Initial Catalog=Other", "user id=me"}, nullptr,
                  "[Database Settings]\nInitial Catalog=FromFile\nUser ID=fileuser\nData Source=S1\n",
                  "Initial Catalog=Other;Data Source=S1;User ID=me;Password=;Workstation ID={pc};", "S1"},
        BuildCase{"EmptyAndBlankValuesCountAsAbsent", M::Configured, {"Initial Catalog=   ", "Provider="}, nullptr,
                  "[Database Settings]\nInitial Catalog=\nProvider=\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"},
        BuildCase{"WorkstationIdIsAlwaysTheComputer", M::Configured, {"Workstation ID=fake"}, nullptr,
                  "[Database Settings]\nWorkstation ID=other\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"},
        BuildCase{"ConfiguredPassword", M::Configured, {}, nullptr, "[Database Settings]\nPassword=secret\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=secret;Workstation ID={pc};"},
        BuildCase{"DefaultPasswordBeatsCommandLine", M::Configured, {"Password=mine"}, nullptr, DefaultPassword,
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=MarlyK5vo;Workstation ID={pc};"},
        BuildCase{"DefaultPasswordInProductInstance", M::ProductInstance, {"Password=mine"}, nullptr,
                  DefaultPassword,
                  "Initial Catalog=Velloran;Data Source=.\\VELLORAN;User ID=sa;Password=MarlyK5vo;"
                  "Workstation ID={pc};"},
        BuildCase{"SaBlankPasswordBeatsDefaultPassword", M::SaBlankPassword, {"Password=mine"}, nullptr,
                  DefaultPassword,
                  "Initial Catalog=Velloran;Data Source=;User ID=sa;Password=;Workstation ID={pc};"},
        BuildCase{"DefaultPasswordIgnoredWithFilePassword", M::Configured, {}, nullptr,
                  "[Database Settings]\nDefault Password=1\nPassword=secret\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=secret;Workstation ID={pc};"},
        BuildCase{"IntegratedSecurityFollowsWorkstation", M::Configured, {}, nullptr,
                  "[Database Settings]\nIntegrated Security=SSPI\nUser ID=u\nPassword=p\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=u;Password=p;Workstation ID={pc};"
                  "Integrated Security=SSPI;"},
        BuildCase{"UseTcpIpOnCommandLine", M::Configured, {"UseTCPIP=1"}, nullptr, nullptr,
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"
                  "Network Library=dbmssocn;"},
        BuildCase{"UseTcpIpInDataFile", M::Configured, {}, nullptr, "[Database Settings]\nUseTCPIP=0x1\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"
                  "Network Library=dbmssocn;"},
        BuildCase{"UseTcpIpCommandLineZeroSuppressesDataFile", M::Configured, {"UseTCPIP=0"}, nullptr,
                  "[Database Settings]\nUseTCPIP=1\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"},
        BuildCase{"UseTcpIpCommandLineYesSuppressesDataFile", M::Configured, {"UseTCPIP=yes"}, nullptr,
                  "[Database Settings]\nUseTCPIP=1\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"},
        BuildCase{"EncryptionFromDataFileAndCommandLine", M::Configured, {"Trust Server Certificate=True"},
                  nullptr, "[Database Settings]\nUse Encryption for Data=True\n",
                  "Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID={pc};"
                  "Use Encryption for Data=True;Trust Server Certificate=True;"},
        BuildCase{"ValuesInsertedVerbatim", M::Configured, {"Password=a=b=c", "Data Source=tcp:h,1433"}, nullptr,
                  "[Database Settings]\nUser ID=x y\"z\n",
                  "Initial Catalog=Velloran;Data Source=tcp:h,1433;User ID=x y\"z;Password=a=b=c;Workstation ID={pc};",
                  "tcp:h,1433"},
        // A ";" or a leading quote would end the value early or be read as quoting:
        // such values get the provider's quotes, so none can add a property.
        BuildCase{"ValuesThatNeedItAreQuoted", M::Configured,
                  {"Password=a;Data Source=evil", "Data Source='srv'"}, nullptr,
                  "[Database Settings]\nUser ID=\"\"x;y\"\"\n",
                  "Initial Catalog=Velloran;Data Source=\"'srv'\";User ID=\"\"\"x;y\"\"\";"
                  "Password=\"a;Data Source=evil\";Workstation ID={pc};",
                  "'srv'"}),
    [](const testing::TestParamInfo<BuildCase>& info) { return std::string(info.param.name); });
// clang-format on

// Whatever a setting holds, the client reads back exactly that value and no
// other property.
TEST(BuildConnectionString, OddValuesReadBackExactly) {
  for (const std::string value : {"a;b", "x;Data Source=evil", "\"q\"", "'s'", "a\"b;c", "{x}};", "p=q", "Ž;Ļ"}) {
    SCOPED_TRACE(value);
    ConnectionStringFixture f;
    f.folders.SetArguments({"Password=" + value, "Data Source=srv"});
    const auto properties = odbc::ParseOleDbConnectionString(BuildConnectionString(ConnectionMode::Configured));
    EXPECT_EQ(odbc::FindProperty(properties, "Password"), value);
    EXPECT_EQ(odbc::FindProperty(properties, "Data Source"), "srv");
  }
}

TEST(BuildConnectionString, CommandLineDatabaseBecomesDatabaseName) {
  ConnectionStringFixture f;
  f.Data("[Database Settings]\nInitial Catalog=FromFile\n");
  f.folders.SetArguments({"Initial Catalog=Other"});
  BuildConnectionString(ConnectionMode::Configured);
  EXPECT_EQ(DatabaseName, "Other");
  f.folders.SetArguments({});
  BuildConnectionString(ConnectionMode::Configured);
  EXPECT_EQ(DatabaseName, "FromFile");
}

// A reader that fails at one key of the data file, as no real file can.
std::string FailingAtUserId(const std::string& section, const std::string& key, const std::string&,
                            const std::string&) {
  if (section == "Database Settings" && key == "User ID") throw std::runtime_error("unreadable");
  return "";
}
std::string FailingAtDataFile(const std::string& section, const std::string&, const std::string&, const std::string&) {
  if (section == "Database Settings") throw std::runtime_error("unreadable");
  return "";
}

class ReaderOverride {
 public:
  explicit ReaderOverride(ProfileReader reader) { SetProfileReader(reader); }
  ~ReaderOverride() { SetProfileReader(nullptr); }
  ReaderOverride(const ReaderOverride&) = delete;
  ReaderOverride& operator=(const ReaderOverride&) = delete;
};

TEST(BuildConnectionString, ReadFailureWarnsRequestsTerminationAndGivesEmptyText) {
  struct Case {
    ProfileReader reader;
    const char* databaseName;  // what the build reached before the failure
    const char* serverName;
  };
  for (const Case& c : {Case{FailingAtDataFile, "before", "before"}, Case{FailingAtUserId, "Velloran", ""}}) {
    ConnectionStringFixture f;
    DatabaseName = ServerName = "before";
    ReaderOverride reader(c.reader);
    EXPECT_EQ(BuildConnectionString(ConnectionMode::Configured), "");
    ASSERT_EQ(f.ui.boxes.size(), 1u);
    EXPECT_EQ(f.ui.boxes[0].kind, platform::MessageKind::Warning);
    EXPECT_EQ(f.ui.boxes[0].caption, "Warning");
    EXPECT_EQ(f.ui.boxes[0].text, "Error reading Database Settings");
    EXPECT_EQ(f.ui.terminateRequests, 1);
    EXPECT_EQ(DatabaseName, c.databaseName);
    EXPECT_EQ(ServerName, c.serverName);
  }
}

}  // namespace
}  // namespace vl
