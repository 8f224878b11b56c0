// Encryption and the server's certificate through the real stack (client ->
// unixODBC -> FreeTDS -> the stand-in with TLS as SQL Server does it).
#include <gtest/gtest.h>

#include <string>

#include "ErrorOf.h"
#include "StandIn.h"
#include "connection/odbc/Ado.h"
#include "platform/Error.h"

namespace vl {
namespace {

using test::StandIn;
using test::StandInConfig;

std::string OleDb(const StandIn& server, const std::string& extra = "") {
  return "Provider=SQLOLEDB.1;Initial Catalog=Velloran;Data Source=" + server.host() + ";User ID=sa;Password=pw;" +
         extra;
}

StandInConfig Serving(const std::string& encryption) {
  return StandInConfig().login("MSSQLSERVER", "sa", "pw").encryption(encryption);
}

// Opens, runs a backup to show the session works past the login, and gives
// the encryption the server recorded.
std::string BackUpAndReadEncryption(const StandIn& server, const std::string& extra = "") {
  TADOConnection connection;
  connection.ConnectionString = OleDb(server, extra);
  connection.ConnectionTimeout = 5;
  connection.Open();
  TADOCommand command(connection);
  command.CommandText = "BACKUP DATABASE Velloran TO DISK = :path WITH INIT,SKIP";
  command.SetParameterValue(server.folder() / "VL.BAK");
  command.Execute();
  const auto logins = server.journal("login");
  return logins.empty() ? std::string() : logins.back().text("encryption");
}

std::string OpenError(const StandIn& server, const std::string& extra) {
  TADOConnection connection;
  connection.ConnectionString = OleDb(server, extra);
  connection.ConnectionTimeout = 5;
  return test::ErrorOf([&] { connection.Open(); }, "the connection opened");
}

// The settings as they are get what a real server gives a client that asks
// for no encryption: none, the login only, or everything when it forces it.
TEST(Encryption, DefaultSettingsConnectInEveryMode) {
  const struct {
    const char* mode;
    const char* recorded;
  } cases[] = {{"off", "none"}, {"login", "login-only"}, {"forced", "full"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    StandIn server(Serving(c.mode));
    EXPECT_EQ(BackUpAndReadEncryption(server), c.recorded);
  }
}

TEST(Encryption, UseEncryptionForDataRequiresFullTls) {
  StandIn server(Serving("login"));
  EXPECT_EQ(BackUpAndReadEncryption(server, "Use Encryption for Data=True;"), "full");
}

TEST(Encryption, UseEncryptionForDataRefusesAServerThatCannotEncrypt) {
  StandIn server(Serving("off"));
  const std::string error = OpenError(server, "Use Encryption for Data=True;");
  EXPECT_NE(error.find("Encryption was required (\"Use Encryption for Data\") and the server did not offer it."),
            std::string::npos)
      << error;
  EXPECT_TRUE(server.journal("login").empty());
}

// With a CA file the certificate must chain to it (and name the host); a
// certificate from another CA is refused unless the settings trust it.
TEST(Encryption, CertificateIsCheckedAgainstTheConfiguredCa) {
  test::TempDir dir;
  const std::string host = test::RandomLoopbackHost();
  const auto site = test::MakeTestCertificates(dir.str(), host, "site");
  const auto other = test::MakeTestCertificates(dir.str(), host, "other");
  StandIn server(Serving("login").host(host).certificate(site.serverCert, site.serverKey));

  EXPECT_EQ(BackUpAndReadEncryption(server, "Certificate Authority File=" + site.caCert + ";"), "full");

  const std::string refused = OpenError(server, "Certificate Authority File=" + other.caCert + ";");
  EXPECT_NE(refused.find("its certificate was not accepted"), std::string::npos) << refused;
  const std::size_t loginsBefore = server.journal("login").size();
  EXPECT_EQ(loginsBefore, 1u) << "the login went out to a certificate that was not checked";
  EXPECT_EQ(
      BackUpAndReadEncryption(server, "Certificate Authority File=" + other.caCert + ";Trust Server Certificate=True;"),
      "login-only");
  EXPECT_EQ(server.journal("login").size(), loginsBefore + 1);
}

// Where the browser is blocked, the instance's port written in the data
// source reaches it, with or without the instance's name.
TEST(NamedInstance, PortGivenConnectsWithTheBrowserSwitchedOff) {
  StandIn server(StandInConfig().browserPort(std::nullopt));
  const std::string port = std::to_string(server.port("VELLORAN"));
  for (const std::string& dataSource : {server.host() + "\\VELLORAN," + port, server.host() + "," + port}) {
    SCOPED_TRACE(dataSource);
    TADOConnection connection;
    connection.ConnectionString =
        "Data Source=" + dataSource + ";Initial Catalog=Velloran;User ID=sa;Password=MarlyK5vo;";
    connection.ConnectionTimeout = 5;
    EXPECT_NO_THROW(connection.Open());
    ASSERT_FALSE(server.journal("login").empty());
    EXPECT_EQ(server.journal("login").back().text("instance"), "VELLORAN");
    EXPECT_TRUE(server.journal("login").back().flag("ok"));
  }
  // Without the port the look-up has nobody to ask, and says so.
  TADOConnection connection;
  connection.ConnectionString = "Data Source=" + server.host() + "\\VELLORAN;User ID=sa;Password=MarlyK5vo;";
  connection.ConnectionTimeout = 2;
  EXPECT_THROW(connection.Open(), Exception);
}

}  // namespace
}  // namespace vl
