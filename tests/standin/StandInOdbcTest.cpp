// The stand-in SQL Server as the FreeTDS ODBC driver sees it: logins, a BACKUP
// whose path arrives as a bound wide-text parameter, the date update, faults.
#include <sql.h>
#include <sqlext.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/StandIn.h"

namespace {

using vl::test::MakeTestCertificates;
using vl::test::RandomLoopbackHost;
using vl::test::StandIn;
using vl::test::StandInConfig;
using vl::test::TempDir;

// Owns one ODBC handle.
class Handle {
 public:
  Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
    if (!SQL_SUCCEEDED(SQLAllocHandle(type, parent, &handle_))) throw std::runtime_error("SQLAllocHandle");
  }
  ~Handle() { SQLFreeHandle(type_, handle_); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }

 private:
  SQLSMALLINT type_;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

struct Diagnostic {
  std::string state;
  long native = 0;
  std::string text;
};

std::vector<Diagnostic> Diagnostics(const Handle& h) {
  std::vector<Diagnostic> out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLCHAR text[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    if (SQLGetDiagRec(h.type(), h.get(), i, state, &native, text, sizeof text, &length) != SQL_SUCCESS) break;
    out.push_back({reinterpret_cast<char*>(state), native, reinterpret_cast<char*>(text)});
  }
  return out;
}

bool HasNative(const std::vector<Diagnostic>& diags, long native, const std::string& text = "") {
  for (const auto& d : diags)
    if (d.native == native && d.text.find(text) != std::string::npos) return true;
  return false;
}

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if (c < 0xE0) {
      cp = c & 0x1F;
      extra = 1;
    } else if (c < 0xF0) {
      cp = c & 0x0F;
      extra = 2;
    } else {
      cp = c & 0x07;
      extra = 3;
    }
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += 1 + extra;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
  }
  return out;
}

class Connection {
 public:
  explicit Connection(const std::string& connectionString)
      : env_(SQL_HANDLE_ENV, SQL_NULL_HANDLE), dbc_(SQL_HANDLE_DBC, prepareEnv(env_)) {
    SQLSetConnectAttr(dbc_.get(), SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0);
    const SQLRETURN r = SQLDriverConnect(dbc_.get(), nullptr, (SQLCHAR*)connectionString.c_str(), SQL_NTS, nullptr, 0,
                                         nullptr, SQL_DRIVER_NOPROMPT);
    connected_ = SQL_SUCCEEDED(r);
    diagnostics_ = Diagnostics(dbc_);
  }
  ~Connection() {
    if (connected_) SQLDisconnect(dbc_.get());
  }
  bool connected() const { return connected_; }
  void setAutocommit(bool on) {
    SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
  }
  const std::vector<Diagnostic>& diagnostics() const { return diagnostics_; }

  struct Outcome {
    SQLRETURN result = SQL_ERROR;
    std::vector<Diagnostic> diagnostics;
    SQLLEN rows = -1;
  };

  // Executes sql with an optional single wide-text parameter, directly or prepared
  // and then run `runs` times; drains every result.
  Outcome execute(const std::string& sql, const std::string* parameter = nullptr, int runs = 0) {
    Handle stmt(SQL_HANDLE_STMT, dbc_.get());
    std::u16string text = Utf16(sql);
    std::u16string value = parameter ? Utf16(*parameter) : u"";
    SQLLEN length = static_cast<SQLLEN>(value.size() * sizeof(char16_t));
    if (parameter)
      SQLBindParameter(stmt.get(), 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, value.empty() ? 1 : value.size(), 0,
                       value.data(), length, &length);
    Outcome outcome;
    if (runs == 0) {
      outcome.result = SQLExecDirectW(stmt.get(), reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS);
    } else {
      outcome.result = SQLPrepareW(stmt.get(), reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS);
      for (int run = 0; run < runs && SQL_SUCCEEDED(outcome.result); ++run) {
        outcome.result = SQLExecute(stmt.get());
        if (run + 1 < runs) SQLFreeStmt(stmt.get(), SQL_CLOSE);
      }
    }
    outcome.diagnostics = Diagnostics(stmt);
    SQLRowCount(stmt.get(), &outcome.rows);
    while (SQL_SUCCEEDED(outcome.result)) {
      const SQLRETURN more = SQLMoreResults(stmt.get());
      if (more == SQL_NO_DATA) break;
      for (auto& d : Diagnostics(stmt)) outcome.diagnostics.push_back(d);
      if (!SQL_SUCCEEDED(more)) outcome.result = more;
    }
    return outcome;
  }

 private:
  static SQLHANDLE prepareEnv(const Handle& env) {
    SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return env.get();
  }
  Handle env_;
  Handle dbc_;
  bool connected_ = false;
  std::vector<Diagnostic> diagnostics_;
};

std::string DefaultInstance(const StandIn& server, const std::string& user, const std::string& password,
                            const std::string& database = "Velloran") {
  return "DRIVER=FreeTDS;SERVER=" + server.host() + ";PORT=" + std::to_string(server.port()) + ";UID=" + user +
         ";PWD=" + password + ";DATABASE=" + database + ";TDS_Version=7.4;WSID=WS-TEST;APP=vlbackup";
}

const char* const kBackup = "BACKUP DATABASE Velloran TO DISK = ? WITH INIT,SKIP";
const char* const kUpdate = "UPDATE SystemData SET LastBackupUtilityDate=getdate()";

TEST(StandInOdbc, LoginIsCheckedAndJournaledWithoutThePassword) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "SA", "s3cret;x"));
  {
    Connection good(DefaultInstance(server, "sa", "{s3cret;x}"));
    EXPECT_TRUE(good.connected());
  }
  Connection badPassword(DefaultInstance(server, "sa", "S3CRET;x"));
  EXPECT_FALSE(badPassword.connected());
  EXPECT_TRUE(HasNative(badPassword.diagnostics(), 18456, "Login failed for user 'sa'."));
  Connection badDatabase(DefaultInstance(server, "sa", "{s3cret;x}", "Db2"));
  EXPECT_FALSE(badDatabase.connected());
  EXPECT_TRUE(HasNative(badDatabase.diagnostics(), 4060,
                        "Cannot open database \"Db2\" requested by the login. The login failed."));
  EXPECT_TRUE(HasNative(badDatabase.diagnostics(), 18456, "Login failed for user 'sa'."));
  Connection unknownUser(DefaultInstance(server, "nobody", "{s3cret;x}"));
  EXPECT_TRUE(HasNative(unknownUser.diagnostics(), 18456, "Login failed for user 'nobody'."));

  const auto logins = server.journal("login");
  ASSERT_EQ(logins.size(), 4u);
  EXPECT_TRUE(logins[0].flag("ok"));
  EXPECT_EQ(logins[0].text("user"), "sa");
  EXPECT_EQ(logins[0].text("workstation"), "WS-TEST");
  EXPECT_EQ(logins[0].text("app"), "vlbackup");
  EXPECT_EQ(logins[0].text("instance"), "MSSQLSERVER");
  EXPECT_FALSE(logins[1].flag("ok"));
  EXPECT_FALSE(logins[2].flag("ok"));
  EXPECT_EQ(logins[2].text("database"), "Db2");
  // The reason a real server writes to its error log: wrong password, unknown
  // login, database not opened.
  EXPECT_EQ(logins[1].number("state"), 8);
  EXPECT_EQ(logins[3].number("state"), 5);
  EXPECT_EQ(logins[2].number("state"), 38);
  EXPECT_EQ(vl::test::ReadFile(server.journalPath()).find("s3cret"), std::string::npos);
}

TEST(StandInOdbc, BackupPathArrivesAsParameterAndFileIsWritten) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw").backupSize(100000));
  const auto folder = server.folder().path() / "O'Brien; [ü€]";
  std::filesystem::create_directory(folder);
  const std::string path = (folder / "VL.BAK").string();

  Connection db(DefaultInstance(server, "sa", "pw"));
  ASSERT_TRUE(db.connected());
  const auto backup = db.execute(kBackup, &path);
  EXPECT_EQ(backup.result, SQL_SUCCESS_WITH_INFO);
  EXPECT_TRUE(HasNative(backup.diagnostics, 3014, "BACKUP DATABASE successfully processed"));
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 100000u);

  const auto update = db.execute(kUpdate);
  EXPECT_TRUE(SQL_SUCCEEDED(update.result));
  EXPECT_EQ(update.rows, 1);

  const auto statements = server.journal("statement");
  ASSERT_EQ(statements.size(), 2u);
  EXPECT_EQ(statements[0].params(), std::vector<std::string>{path});
  EXPECT_NE(statements[0].text("sql").find("BACKUP DATABASE Velloran TO DISK = @P1"), std::string::npos);
  EXPECT_TRUE(statements[0].flag("ok"));
  const auto backups = server.journal("backup");
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(backups[0].text("path"), path);
  EXPECT_EQ(backups[0].number("size"), 100000);
  ASSERT_EQ(server.journal("update").size(), 1u);
  EXPECT_FALSE(server.journal("update")[0].text("time").empty());
}

TEST(StandInOdbc, PreparedBackupRunsAgainWithItsHandle) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw"));
  const std::string path = server.folder() / "VL.BAK";
  Connection db(DefaultInstance(server, "sa", "pw"));
  ASSERT_TRUE(db.connected());
  EXPECT_EQ(db.execute(kBackup, &path, 2).result, SQL_SUCCESS_WITH_INFO);
  const auto statements = server.journal("statement");
  ASSERT_EQ(statements.size(), 2u);
  for (const auto& statement : statements) {
    EXPECT_TRUE(statement.flag("ok")) << statement.text("via");
    EXPECT_EQ(statement.params(), std::vector<std::string>{path});
  }
  EXPECT_NE(statements[0].text("via"), statements[1].text("via"));
  EXPECT_EQ(server.journal("backup").size(), 2u);
}

TEST(StandInOdbc, NamedInstanceIsFoundThroughTheBrowser) {
  StandIn server;
  Connection db("DRIVER=FreeTDS;SERVER=" + server.host() +
                "\\VELLORAN;UID=sa;PWD=MarlyK5vo;DATABASE=Velloran;TDS_Version=7.4");
  ASSERT_TRUE(db.connected());
  const auto logins = server.journal("login");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].text("instance"), "VELLORAN");
}

// Behind a firewall the browser does not answer: the instance's port must be
// given, as "host,port" or with PORT= beside "host\\instance".
TEST(StandInOdbc, NamedInstanceWithoutBrowserIsReachedAtItsPort) {
  StandIn server(StandInConfig().withoutInstance("MSSQLSERVER").instance("VELLORAN", 14330).browserPort(std::nullopt));
  EXPECT_EQ(server.browserPort(), 0);
  const std::string rest = ";UID=sa;PWD=MarlyK5vo;DATABASE=Velloran;TDS_Version=7.4";
  EXPECT_TRUE(Connection("DRIVER=FreeTDS;SERVER=" + server.host() + ",14330" + rest).connected());
  EXPECT_TRUE(Connection("DRIVER=FreeTDS;SERVER=" + server.host() + "\\VELLORAN;PORT=14330" + rest).connected());
  EXPECT_EQ(server.journal("login").size(), 2u);
}

struct BackupFailure {
  const char* name;
  std::function<void(StandInConfig&)> configure;
  std::string subfolder;  // relative to the server's folder; the file is VL.BAK in it
  long number;
  std::string text;  // "%s" stands for the path
  bool readOnly;     // the subfolder exists, with no write permission for anyone
};

void PrintTo(const BackupFailure& c, std::ostream* os) { *os << c.name; }

class StandInBackupFailure : public ::testing::TestWithParam<BackupFailure> {};

TEST_P(StandInBackupFailure, AnswersAsSqlServerDoes) {
  const BackupFailure& c = GetParam();
  StandInConfig config;
  config.login("MSSQLSERVER", "sa", "pw");
  if (c.configure) c.configure(config);
  StandIn server(config);
  const std::string path = (server.folder().path() / c.subfolder / "VL.BAK").string();
  if (c.readOnly) {
    std::filesystem::create_directory(server.folder().path() / c.subfolder);
    std::filesystem::permissions(server.folder().path() / c.subfolder,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  }
  std::string expected = c.text;
  if (auto at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path);

  // From master, as the unknown-database case cannot log in to Velloran.
  Connection db(DefaultInstance(server, "sa", "pw", "master"));
  ASSERT_TRUE(db.connected());
  const auto backup = db.execute(kBackup, &path);
  EXPECT_EQ(backup.result, SQL_ERROR);
  EXPECT_TRUE(HasNative(backup.diagnostics, c.number, expected));
  EXPECT_TRUE(HasNative(backup.diagnostics, 3013, "BACKUP DATABASE is terminating abnormally."));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(server.journal("backup").empty());
  const auto statements = server.journal("statement");
  ASSERT_EQ(statements.size(), 1u);
  EXPECT_FALSE(statements[0].flag("ok"));
  EXPECT_EQ(statements[0].number("error"), c.number);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StandInBackupFailure,
    ::testing::Values(BackupFailure{"MissingFolder", nullptr, "missing", 3201,
                                    "Cannot open backup device '%s'. Operating system error 3(The system "
                                    "cannot find the path specified.).",
                                    false},
                      BackupFailure{"ReadOnlyFolder", nullptr, "readonly", 3201,
                                    "Cannot open backup device '%s'. Operating system error 5(Access is denied.).",
                                    true},
                      BackupFailure{"AccessDeniedFault", [](StandInConfig& c) { c.backupError(3201, 5); }, "", 3201,
                                    "Cannot open backup device '%s'. Operating system error 5(Access is denied.).",
                                    false},
                      BackupFailure{"UnknownDatabase", [](StandInConfig& c) { c.databases({"Other"}); }, "", 911,
                                    "Database 'Velloran' does not exist. Make sure that the name is entered "
                                    "correctly.",
                                    false}),
    [](const auto& info) { return std::string(info.param.name); });

struct EncryptionCase {
  const char* name;
  const char* serverMode;
  const char* keywords;    // added to the connection string
  const char* negotiated;  // the journal's "encryption", or nullptr when the login must fail
};

void PrintTo(const EncryptionCase& c, std::ostream* os) { *os << c.name; }

class StandInEncryption : public ::testing::TestWithParam<EncryptionCase> {};

// The driver's default (DSN-less, no keyword) says ENCRYPT_OFF, as the program does.
TEST_P(StandInEncryption, BackupAndUpdateRunInTheNegotiatedMode) {
  const EncryptionCase& c = GetParam();
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw").encryption(c.serverMode));
  const std::string path = server.folder() / "VL.BAK";
  Connection db(DefaultInstance(server, "sa", "pw") + c.keywords);
  if (c.negotiated == nullptr) {
    EXPECT_FALSE(db.connected());
    EXPECT_TRUE(server.journal("login").empty());
    return;
  }
  ASSERT_TRUE(db.connected()) << server.stderrText();
  EXPECT_EQ(db.execute(kBackup, &path).result, SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(db.execute(kUpdate).rows, 1);
  EXPECT_EQ(std::filesystem::file_size(path), 65536u);
  const auto logins = server.journal("login");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].text("encryption"), c.negotiated);
  EXPECT_EQ(server.journal("backup").size(), 1u);
  EXPECT_EQ(server.journal("update").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StandInEncryption,
    ::testing::Values(EncryptionCase{"NotSupported", "off", "", "none"},
                      EncryptionCase{"NotSupportedRefusesRequire", "off", ";Encryption=require", nullptr},
                      EncryptionCase{"CertificateGivesLoginOnly", "login", "", "login-only"},
                      EncryptionCase{"CertificateWithRequireGivesFull", "login", ";Encryption=require", "full"},
                      EncryptionCase{"CertificateWithOffSendsLoginInClear", "login", ";Encryption=off", "none"},
                      EncryptionCase{"ForcedGivesFull", "forced", "", "full"},
                      EncryptionCase{"ForcedRefusesClientThatCannotEncrypt", "forced", ";Encryption=off", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StandInOdbc, ForcedServerJournalsTheRefusal) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw").encryption("forced"));
  Connection db(DefaultInstance(server, "sa", "pw") + ";Encryption=off");
  EXPECT_FALSE(db.connected());
  const auto refused = server.journal("refused");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].text("reason"), "client cannot encrypt");
}

TEST(StandInOdbc, ConfiguredCertificateIsTheOnePresented) {
  TempDir certs;
  const std::string host = RandomLoopbackHost();
  const auto made = MakeTestCertificates(certs.str(), host);
  StandIn server(StandInConfig()
                     .host(host)
                     .login("MSSQLSERVER", "sa", "pw")
                     .encryption("login")
                     .certificate(made.serverCert, made.serverKey));
  EXPECT_EQ(server.certificatePath(), made.serverCert);
  Connection db(DefaultInstance(server, "sa", "pw"));
  ASSERT_TRUE(db.connected()) << server.stderrText();
  EXPECT_EQ(server.journal("login")[0].text("encryption"), "login-only");
}

TEST(StandInOdbc, UpdateFaultCarriesTheConfiguredText) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw").updateError(547, "No rows today."));
  Connection db(DefaultInstance(server, "sa", "pw"));
  ASSERT_TRUE(db.connected());
  const auto update = db.execute(kUpdate);
  EXPECT_EQ(update.result, SQL_ERROR);
  EXPECT_TRUE(HasNative(update.diagnostics, 547, "No rows today."));
  EXPECT_TRUE(server.journal("update").empty());
}

TEST(StandInOdbc, DroppedConnectionFailsTheStatementAndServerGoesOn) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw").dropConnectionOn("backup"));
  const std::string path = server.folder() / "VL.BAK";
  {
    Connection db(DefaultInstance(server, "sa", "pw"));
    ASSERT_TRUE(db.connected());
    EXPECT_EQ(db.execute(kBackup, &path).result, SQL_ERROR);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  Connection again(DefaultInstance(server, "sa", "pw"));
  EXPECT_TRUE(again.connected());
  EXPECT_TRUE(SQL_SUCCEEDED(again.execute(kUpdate).result));
}

// The driver opens a transaction when autocommit is off, and SQL Server refuses
// BACKUP inside one.
TEST(StandInOdbc, BackupInsideATransactionFails) {
  StandIn server(StandInConfig().login("MSSQLSERVER", "sa", "pw"));
  const std::string path = server.folder() / "VL.BAK";
  Connection db(DefaultInstance(server, "sa", "pw"));
  ASSERT_TRUE(db.connected());
  db.setAutocommit(false);
  const auto inside = db.execute(kBackup, &path);
  EXPECT_EQ(inside.result, SQL_ERROR);
  EXPECT_TRUE(
      HasNative(inside.diagnostics, 3021, "Cannot perform a backup or restore operation within a transaction."));
  EXPECT_FALSE(std::filesystem::exists(path));
  db.setAutocommit(true);
  EXPECT_EQ(db.execute(kBackup, &path).result, SQL_SUCCESS_WITH_INFO);
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(StandInHeader, JournalParserReadsEscapesNullsAndArrays) {
  const auto records = vl::test::ParseJournal(
      "{\"event\": \"statement\", \"sql\": \"a\\\"b\\\\c\\u00e9\\ud83d\\ude00\", "
      "\"params\": [\"x\", null], \"ok\": false, \"error\": 3201}\n\n"
      "{\"event\": \"login\", \"ok\": true, \"error\": null}\n");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text("sql"), "a\"b\\c\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(records[0].params(), (std::vector<std::string>{"x", ""}));
  EXPECT_FALSE(records[0].flag("ok"));
  EXPECT_EQ(records[0].number("error"), 3201);
  EXPECT_TRUE(records[1].flag("ok"));
  EXPECT_TRUE(records[1].isNull("error"));
  EXPECT_THROW(vl::test::ParseJournal("{\"event\": \"x\"\n"), std::runtime_error);
}

TEST(StandInHeader, StartFailureNamesTheCause) {
  StandIn first;
  try {
    StandIn second(StandInConfig().host(first.host()));
    FAIL() << "a second server on the same address and port started";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("cannot listen"), std::string::npos) << e.what();
  }
}

}  // namespace
