// The real program, run silently as cron would, against the stand-in: odd and
// hostile setting values reach the server exactly and load nothing, and what
// the server said about a failed connection reaches standard error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/app/Program.h"
#include "tests/support/SettingsFolders.h"
#include "tests/support/StandIn.h"

namespace vl::test {
namespace {

using testing::HasSubstr;
using testing::IsEmpty;

class SilentConnect : public testing::Test {
 protected:
  ProgramRun Run(const std::vector<std::string>& arguments = {"/S"}) {
    ProgramOptions options;
    options.set = settings_.Environment();
    options.set["VL_MARKER_FILE"] = marker_;
    options.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    ProgramRun run = RunProgram(VLBACKUP_PROGRAM, arguments, options);
    std::cerr << "exit " << run.exitCode << "; stderr:\n" << run.err;
    return run;
  }
  bool MarkerLoaded() const { return std::filesystem::exists(marker_); }

  SettingsFolders settings_;
  TempDir scratch_;
  std::string marker_ = scratch_ / "marker-loaded";
};

// The backup itself is refused at once (3201), so each run is quick; the
// login before it shows whether the password arrived exactly.
TEST_F(SilentConnect, OddPasswordsInTheDataFileArriveExactlyAndLoadNothing) {
  const std::string driver = VL_MARKER_DRIVER;
  const std::vector<std::string> passwords = {
      "pa}ss",
      "a;b",
      "{x}",
      "p=q",
      "in side",
      "Ünïcødé€",
      "x};DRIVER=" + driver + ";",
      "x}DRIVER=" + driver + ";Y={",
      "x\u017D;DRIVER=" + driver + "\u013B",
      "a;Data Source=198.51.100.1",
  };
  StandInConfig config = ServerWithLogin("SA", "unused").backupError(3201, 5);
  for (std::size_t i = 0; i < passwords.size(); ++i) config.login("MSSQLSERVER", "u" + std::to_string(i), passwords[i]);
  StandIn server(config);
  settings_.WritePreferences(settings_.Backups(), false);
  for (std::size_t i = 0; i < passwords.size(); ++i) {
    SCOPED_TRACE(passwords[i]);
    settings_.PointAt(server.host(), "u" + std::to_string(i), passwords[i]);
    const ProgramRun run = Run();
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.err, HasSubstr("Error backing up Database."));
    const auto logins = server.journal("login");
    ASSERT_EQ(logins.size(), i + 1);
    EXPECT_EQ(logins.back().text("user"), "u" + std::to_string(i));
    EXPECT_TRUE(logins.back().flag("ok"));
  }
  EXPECT_FALSE(MarkerLoaded()) << "an injected DRIVER= was loaded";
}

TEST_F(SilentConnect, WhatTheServerSaidReachesStandardError) {
  StandIn server(ServerWithLogin("SA", "secret").databases({"Velloran"}));
  settings_.WritePreferences(settings_.Backups(), false);
  const std::string head = "vlbackup: Error: Unable to connect to the Velloran database '";
  const struct {
    std::vector<std::string> data;
    std::string expected;
  } cases[] = {
      {{"Data Source=" + server.host(), "User ID=SA", "Password=wrong"},
       "'Velloran' on '" + server.host() +
           "\\VELLORAN'. Please check your connection properties. "
           "The configured connection to '" +
           server.host() + "' failed: Login failed for user 'SA'."},
      {{"Data Source=" + server.host(), "User ID=SA", "Password=secret", "Initial Catalog=Nope"},
       "Cannot open database \"Nope\" requested by the login. The login failed."},
      // Nobody listens on this port: the refused connection is named too.
      {{"Data Source=" + server.host() + ",1", "User ID=SA", "Password=secret"},
       "The configured connection to '" + server.host() + ",1' failed: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.back());
    settings_.WriteDataFile(c.data);
    const ProgramRun run = Run();
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err.rfind(head, 0), 0u);
    EXPECT_THAT(run.err, HasSubstr(c.expected));
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "one line";
    EXPECT_THAT(run.err, testing::Not(HasSubstr("secret")));
  }
  EXPECT_THAT(server.journal("statement"), IsEmpty());
}

// A value the client cannot pass safely is refused, naming the setting and
// not the value, and no fallback login hides it.
TEST_F(SilentConnect, RefusedSettingIsNamedOnStandardError) {
  StandIn server(ServerWithLogin("SA", "secret"));
  settings_.WritePreferences(settings_.Backups(), false);
  settings_.PointAt(server.host(), "SA", "secret");
  const ProgramRun run = Run({"/S", "Initial Catalog=Db\u017D;DRIVER=" + std::string(VL_MARKER_DRIVER)});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_THAT(run.err, HasSubstr("failed: The setting \"Initial Catalog\" holds characters beyond Latin-1"));
  // The message quotes the database name, as always; the refusal quotes no value.
  EXPECT_THAT(run.err.substr(run.err.find("failed:")), testing::Not(HasSubstr("DRIVER=")));
  EXPECT_THAT(server.journal("login"), IsEmpty());
  EXPECT_FALSE(MarkerLoaded());
}

}  // namespace
}  // namespace vl::test
