// From the OLE DB connection string to the driver's, without a server.
#include <gtest/gtest.h>

#include <cstdlib>

#include "connection/odbc/Ado.h"
#include "connection/odbc/DatabaseError.h"
#include "connection/odbc/OdbcConnectionString.h"
#include "platform/Error.h"
#include "tests/support/ScopedEnv.h"

namespace vl::odbc {
namespace {

const DriverChoice FreeTds{"FreeTDS", DriverFamily::FreeTds};
const DriverChoice Microsoft{"ODBC Driver 18 for SQL Server", DriverFamily::Microsoft};

// The data source entries as "key=value;" text, easy to compare.
std::string DriverString(const std::string& oleDb, const DriverChoice& driver = FreeTds) {
  const ConnectionSettings s = MapOleDbConnectionString(oleDb);
  const DataSourceEntries entries =
      BuildDataSourceEntries(s, s.server.host, s.server.port.value_or(DefaultInstancePort), driver);
  std::string out;
  for (const auto& [key, value] : entries.odbc) out += key + "=" + value + ";";
  if (!entries.freetds.empty()) out += " freetds.conf:";
  for (const auto& [key, value] : entries.freetds) out += key + "=" + value + ";";
  return out;
}

// The string the settings build with nothing configured on a computer named PC7.
constexpr const char* ExampleString =
    "Provider=SQLOLEDB.1;Persist Security Info=False;Use Procedure for Prepare=1;Auto Translate=True;"
    "Packet Size=4096;Initial Catalog=Velloran;Data Source=;User ID=SA;Password=;Workstation ID=PC7;";

TEST(ConnectionStringMapping, ExampleStringMapsToFreeTdsKeywords) {
  EXPECT_EQ(DriverString(ExampleString), "Driver=FreeTDS;Server=127.0.0.1;Port=1433;TDS_Version=7.4;");
}

TEST(ConnectionStringMapping, ExampleStringMapsToMicrosoftKeywords) {
  EXPECT_EQ(DriverString(ExampleString, Microsoft),
            "Driver=ODBC Driver 18 for SQL Server;Server=tcp:127.0.0.1,1433;Encrypt=no;");
}

struct DataSourceCase {
  const char* dataSource;
  const char* host;
  const char* instance;
  std::optional<int> port;
};

TEST(ConnectionStringMapping, DataSourceForms) {
  const DataSourceCase cases[] = {
      {"", "127.0.0.1", "", std::nullopt},
      {"   ", "127.0.0.1", "", std::nullopt},
      {".", "127.0.0.1", "", std::nullopt},
      {"(local)", "127.0.0.1", "", std::nullopt},
      {"(LOCAL)", "127.0.0.1", "", std::nullopt},
      {".\\VELLORAN", "127.0.0.1", "VELLORAN", std::nullopt},
      {"(local)\\VELLORAN", "127.0.0.1", "VELLORAN", std::nullopt},
      {"\\VELLORAN", "127.0.0.1", "VELLORAN", std::nullopt},
      {"SRV", "SRV", "", std::nullopt},
      {" SRV \\VELLORAN", "SRV", "VELLORAN", std::nullopt},
      {"SRV\\OTHER\\VELLORAN", "SRV", "OTHER\\VELLORAN", std::nullopt},
      {"db.example.com,1500", "db.example.com", "", 1500},
      {"10.1.2.3\\VELLORAN,1501", "10.1.2.3", "VELLORAN", 1501},
      {"tcp:SRV,1433", "SRV", "", 1433},
      {".,2000", "127.0.0.1", "", 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dataSource);
    const ServerAddress a = ParseDataSource(c.dataSource);
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.instance, c.instance);
    EXPECT_EQ(a.port, c.port);
  }
}

TEST(ConnectionStringMapping, InvalidPortIsAnError) {
  for (const char* dataSource : {"SRV,", "SRV,abc", "SRV,0", "SRV,65536", "SRV,99999", "SRV,-1",
                                 "SRV,99999999999999999999999", "SRV,4294968729"}) {
    SCOPED_TRACE(dataSource);
    EXPECT_THROW(ParseDataSource(dataSource), Exception);
  }
}

TEST(ConnectionStringMapping, PortOfTheDataSourceReachesTheDriver) {
  EXPECT_NE(DriverString("Data Source=SRV,1500;User ID=sa").find("Server=SRV;Port=1500;"), std::string::npos);
  EXPECT_NE(DriverString("Data Source=SRV,1500", Microsoft).find("Server=tcp:SRV,1500;"), std::string::npos);
}

TEST(ConnectionStringMapping, KeysIgnoreCaseAndBlanksAndValuesMayHoldEquals) {
  const ConnectionSettings s =
      MapOleDbConnectionString("  initial CATALOG = Db2 ;user id=Me;PASSWORD=a=b==c; data source=SRV");
  EXPECT_EQ(s.database, "Db2");
  EXPECT_EQ(s.user, "Me");
  EXPECT_EQ(s.password, "a=b==c");
  EXPECT_EQ(s.server.host, "SRV");
}

TEST(ConnectionStringMapping, LaterEntryOfAKeyWins) {
  EXPECT_EQ(MapOleDbConnectionString("User ID=first;User ID=second").user, "second");
}

TEST(ConnectionStringMapping, OleDbQuotedValuesMayHoldSemicolons) {
  const ConnectionSettings s =
      MapOleDbConnectionString("Password=\"x;y\"\"z\";User ID='O''Brien';Initial Catalog=Velloran");
  EXPECT_EQ(s.password, "x;y\"z");
  EXPECT_EQ(s.user, "O'Brien");
  EXPECT_EQ(s.database, "Velloran");
}

TEST(ConnectionStringMapping, MalformedStringsAreRefusedWithoutTheirValues) {
  for (const char* text : {"Password=secret1;stray", "Password=\"secret1", "=secret1", "Password='secret1'x"}) {
    SCOPED_TRACE(text);
    try {
      MapOleDbConnectionString(text);
      ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()).find("secret1"), std::string::npos) << e.what();
    }
  }
}

// Only the server's name comes from the settings; a line break in it could add
// an entry to the data source, so it is refused, naming the setting only.
TEST(ConnectionStringMapping, DataSourceValueThatWouldAddAnEntryIsRefused) {
  for (const std::string& bad :
       {std::string("SRV\nDriver=/tmp/evil.so"), std::string("SRV\rX"), std::string("SRV\0X", 5)}) {
    SCOPED_TRACE(bad);
    ConnectionSettings s;
    s.server.host = bad;
    for (const auto& driver : {FreeTds, Microsoft}) {
      try {
        BuildDataSourceEntries(s, s.server.host, 1433, driver);
        ADD_FAILURE() << "accepted";
      } catch (const ESettingRefused& e) {
        EXPECT_NE(std::string(e.what()).find("\"Data Source\""), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find("evil"), std::string::npos) << e.what();
      }
    }
  }
}

TEST(ConnectionStringMapping, EncryptionAndCertificateProperties) {
  EXPECT_EQ(DriverString("Data Source=SRV;Use Encryption for Data=True;"),
            "Driver=FreeTDS;Server=SRV;Port=1433;TDS_Version=7.4;Encryption=require;");
  EXPECT_EQ(DriverString("Data Source=SRV;Use Encryption for Data=False;"),
            "Driver=FreeTDS;Server=SRV;Port=1433;TDS_Version=7.4;");
  EXPECT_EQ(DriverString("Data Source=SRV;use encryption for data=yes;Trust Server Certificate=True;", Microsoft),
            "Driver=ODBC Driver 18 for SQL Server;Server=tcp:SRV,1433;Encrypt=yes;TrustServerCertificate=yes;");
  // A CA file moves the server into a freetds.conf section of its own and requires TLS.
  EXPECT_EQ(DriverString("Data Source=SRV,1500;Certificate Authority File=/etc/ssl/site ca.pem;"),
            "Driver=FreeTDS; freetds.conf:host=SRV;port=1500;tds version=7.4;encryption=require;"
            "ca file=/etc/ssl/site ca.pem;");
  // Trusting the certificate means it is not checked, CA or not.
  EXPECT_EQ(DriverString("Data Source=SRV;Certificate Authority File=/ca.pem;Trust Server Certificate=True;"),
            "Driver=FreeTDS;Server=SRV;Port=1433;TDS_Version=7.4;");
  EXPECT_THROW(DriverString("Data Source=SRV;Certificate Authority File=/ca.pem;", Microsoft), ESettingRefused);
  EXPECT_THROW(DriverString("Data Source=SRV;Certificate Authority File=\"/ca.pem\nDriver=/evil.so\";"),
               ESettingRefused);
}

TEST(ConnectionStringMapping, IntegratedSecurityMeansTrustedLoginWithoutUserAndPassword) {
  const std::string odbc =
      DriverString("Data Source=SRV;User ID=SA;Password=pw;Workstation ID=PC7;Integrated Security=SSPI;");
  EXPECT_NE(odbc.find("Trusted_Connection=Yes;"), std::string::npos);
  EXPECT_FALSE(MapOleDbConnectionString("Integrated Security=;").trusted);
  EXPECT_FALSE(MapOleDbConnectionString("Integrated Security=False;").trusted);
  EXPECT_TRUE(MapOleDbConnectionString("integrated security=sspi;").trusted);
}

TEST(ConnectionStringMapping, KeysWithoutCounterpartAndNetworkLibraryChangeNothing) {
  const std::string bare = DriverString("Data Source=SRV;User ID=sa;Password=pw;");
  EXPECT_EQ(DriverString("Provider=SQLOLEDB.1;Persist Security Info=False;Use Procedure for Prepare=1;"
                         "Auto Translate=True;Data Source=SRV;User ID=sa;Password=pw;"
                         "Network Library=dbmssocn;Some Future Key=1;"),
            bare);
}

TEST(ConnectionStringMapping, PacketSize) {
  EXPECT_EQ(MapOleDbConnectionString("Packet Size=8192").packetSize, 8192);
  EXPECT_FALSE(MapOleDbConnectionString("Packet Size=").packetSize);
  for (const char* bad : {"Packet Size=abc", "Packet Size=100", "Packet Size=40000", "Packet Size=4096x"})
    EXPECT_THROW(MapOleDbConnectionString(bad), Exception) << bad;
}

TEST(ConnectionStringMapping, DriverChoiceFollowsTheEnvironment) {
  test::ScopedEnv driver("VLBACKUP_ODBC_DRIVER", nullptr);  // the variable is put back as it was
  EXPECT_EQ(ChosenDriver().name, "FreeTDS");
  EXPECT_EQ(ChosenDriver().family, DriverFamily::FreeTds);
  ::setenv("VLBACKUP_ODBC_DRIVER", "ODBC Driver 18 for SQL Server", 1);
  EXPECT_EQ(ChosenDriver().name, "ODBC Driver 18 for SQL Server");
  EXPECT_EQ(ChosenDriver().family, DriverFamily::Microsoft);
  ::setenv("VLBACKUP_ODBC_DRIVER", "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so", 1);
  EXPECT_EQ(ChosenDriver().family, DriverFamily::FreeTds);
}

}  // namespace
}  // namespace vl::odbc

namespace vl {
namespace {

// Whatever part of the string an error quotes, the password never shows.
TEST(ConnectionOpen, ErrorsNeverShowThePassword) {
  TADOConnection connection;
  connection.ConnectionString = "Data Source=SRV,Secr3tPw;User ID=sa;Password=Secr3tPw;";
  try {
    connection.Open();
    ADD_FAILURE() << "opened";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()).find("Secr3tPw"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("port"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(connection.Connected());
}

TEST(ConnectionOpen, EmptyConnectionStringFails) {
  TADOConnection connection;
  for (const char* text : {"", "  \t"}) {
    connection.ConnectionString = text;
    EXPECT_THROW(connection.Open(), Exception);
    EXPECT_FALSE(connection.Connected());
  }
}

}  // namespace
}  // namespace vl
