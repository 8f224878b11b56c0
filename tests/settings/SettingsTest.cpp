// Key=Value arguments, where the settings files are, and reading their entries.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "connection/UtilityConnect.h"
#include "tests/support/SettingsFolders.h"

namespace vl {
namespace {
using test::SettingsFolders;
using test::WriteFile;
namespace fs = std::filesystem;
using namespace std::string_literals;

struct ParamCase {
  const char* name;
  std::vector<std::string> args;
  const char* key;
  const char* expected;
};

class GetParamValueTest : public testing::TestWithParam<ParamCase> {};

TEST_P(GetParamValueTest, FindsTheFirstMatchingArgument) {
  SettingsFolders folders(GetParam().args);
  EXPECT_EQ(GetParamValue(GetParam().key), GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, GetParamValueTest,
    testing::Values(
        ParamCase{"Plain", {"Provider=a"}, "Provider", "a"},
        ParamCase{"KeyCaseIgnored", {"PROVIDER=x"}, "Provider", "x"},
        ParamCase{"NameCaseIgnored", {"oldsettings=1"}, "OldSettings", "1"},
        ParamCase{"FirstMatchWins", {"Provider=a", "provider=b"}, "Provider", "a"},
        ParamCase{"NoEqualsNeverMatches", {"Provider", "/S"}, "Provider", ""},
        ParamCase{"NoEqualsSkippedBeforeMatch", {"Provider", "Provider=b"}, "Provider", "b"},
        ParamCase{"ValueTrimmed", {"Provider= \t a b \t"}, "Provider", "a b"},
        ParamCase{"BlankOnlyValueIsEmpty", {"Provider=   ", "Provider=late"}, "Provider", ""},
        ParamCase{"KeyNotTrimmed", {" Provider=x", "Provider =y"}, "Provider", ""},
        ParamCase{"ValueKeepsLaterEquals", {"Password=a=b;c"}, "Password", "a=b;c"},
        ParamCase{"KeyWithBlankAsOneArgument", {"Data Source=SRV"}, "Data Source", "SRV"},
        ParamCase{"KeyWithBlankSplitNeverMatches", {"Data", "Source=SRV"}, "Data Source", ""},
        ParamCase{"OnlyAsciiLettersFolded", {"\xC4" "b=1"}, "\xE4" "B", ""},
        ParamCase{"OtherKeyIgnored", {"Provider=a"}, "Password", ""},
        ParamCase{"NoArguments", {}, "Provider", ""}),
    [](const testing::TestParamInfo<ParamCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(GetParamValue, IgnoresTheProgramsOwnName) {
  SettingsFolders folders({}, "Provider=self");
  EXPECT_EQ(GetParamValue("Provider"), "");
}

// Where files are placed before LocateSettingsFiles runs, and what it must find.
// In expected texts "{local}", "{common}", "{fallback}", "{drive}" and "{etc}"
// stand for the test's folders.
struct LocateCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> files;  // relative to the settings root ("cwd/" is the working directory)
  bool remote = false;
  bool commonUnusable = false;  // the all-users folder is a file: nothing can be created below it
  bool localUnusable = false;
  const char* configFile;
  const char* dataFile;
  const char* configFolder;  // "<kept>": left as it was
  const char* dataFolder;
};

std::string Expand(std::string text, const SettingsFolders& folders) {
  for (const char* token : {"local", "common", "fallback", "drive", "etc", "cwd"}) {
    const std::string placeholder = "{"s + token + "}";
    for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;)
      text.replace(at, placeholder.size(), folders.Folder(token));
  }
  return text;
}

class LocateSettingsFilesTest : public testing::TestWithParam<LocateCase> {};

TEST_P(LocateSettingsFilesTest, ChoosesFilesAndFolders) {
  const LocateCase& c = GetParam();
  SettingsFolders folders;
  folders.EnterWorkingFolder();
  for (const std::string& file : c.files) {
    fs::create_directories(fs::path(folders.Folder(file)).parent_path());
    WriteFile(folders.Folder(file), "[Misc]\n");
  }
  if (c.commonUnusable) {
    WriteFile(folders.Folder("plainfile"), "");
    folders.Override("VLBACKUP_COMMON_APPDATA", folders.Folder("plainfile"));
  }
  if (c.localUnusable) {
    WriteFile(folders.Folder("plainfile"), "");
    folders.Override("VLBACKUP_LOCAL_APPDATA", folders.Folder("plainfile"));
  }
  folders.Override("VLBACKUP_REMOTE_SESSION", c.remote ? "1" : "0");
  std::vector<std::string> args;
  for (const std::string& arg : c.args) args.push_back(Expand(arg, folders));
  folders.SetArguments(args);
  ConfigFolder = DataFolder = "<kept>";

  LocateSettingsFiles();

  EXPECT_EQ(ConfigFileName, Expand(c.configFile, folders));
  EXPECT_EQ(DataFileName, Expand(c.dataFile, folders));
  EXPECT_EQ(ConfigFolder, Expand(c.configFolder, folders));
  EXPECT_EQ(DataFolder, Expand(c.dataFolder, folders));
  if (ConfigFolder != "<kept>") {
    EXPECT_TRUE(fs::is_directory(ConfigFolder)) << "created";
  }
  if (!DataFolder.empty() && DataFolder != "<kept>") {
    EXPECT_TRUE(fs::is_directory(DataFolder)) << "created";
  }
}

constexpr const char* CommonConfig = "common/Corvanta/Velloran/config.ini";
constexpr const char* CommonData = "common/Corvanta/Velloran/data.ini";
constexpr const char* LocalConfig = "local/Corvanta/Velloran/config.ini";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, LocateSettingsFilesTest,
    testing::Values(
        LocateCase{"FreshMachine", {}, {}, false, false, false, "VL2000.INI", "VL2000.INI",
                   "{common}/Corvanta/Velloran", "{common}/Corvanta/Velloran/"},
        LocateCase{"DataOnly", {}, {CommonData}, false, false, false, "VL2000.INI",
                   "{common}/Corvanta/Velloran/data.ini", "{common}/Corvanta/Velloran",
                   "{common}/Corvanta/Velloran/"},
        LocateCase{"ConfigOnly", {}, {CommonConfig}, false, false, false, "{common}/Corvanta/Velloran/config.ini",
                   "VL2000.INI", "{common}/Corvanta/Velloran", "{common}/Corvanta/Velloran/"},
        LocateCase{"BothFiles", {}, {CommonConfig, CommonData}, false, false, false,
                   "{common}/Corvanta/Velloran/config.ini", "{common}/Corvanta/Velloran/data.ini",
                   "{common}/Corvanta/Velloran", "{common}/Corvanta/Velloran/"},
        LocateCase{"PerUserConfigPreferred", {}, {LocalConfig, CommonConfig}, false, false, false,
                   "{local}/Corvanta/Velloran/config.ini", "VL2000.INI", "{local}/Corvanta/Velloran",
                   "{common}/Corvanta/Velloran/"},
        LocateCase{"RemoteSessionNeverUsesAllUsersConfig", {}, {CommonConfig}, true, false, false, "VL2000.INI",
                   "VL2000.INI", "{local}/Corvanta/Velloran", "{common}/Corvanta/Velloran/"},
        LocateCase{"RemoteSessionUsesPerUserConfig", {}, {LocalConfig}, true, false, false,
                   "{local}/Corvanta/Velloran/config.ini", "VL2000.INI", "{local}/Corvanta/Velloran",
                   "{common}/Corvanta/Velloran/"},
        LocateCase{"RemoteSessionPerUserFolderUnusable", {}, {}, true, false, true, "VL2000.INI", "VL2000.INI",
                   "{fallback}", "{common}/Corvanta/Velloran/"},
        LocateCase{"AllUsersFolderUnusable", {}, {}, false, true, false, "VL2000.INI", "VL2000.INI", "{fallback}",
                   ""},
        LocateCase{"AllUsersFolderUnusableFilesAtFallbacks", {}, {"fallback/config.ini", "drive/data.ini"}, false,
                   true, false, "{fallback}/config.ini", "{drive}/data.ini", "{fallback}", ""},
        LocateCase{"NamedFileExists", {"gsUtilityIniName={cwd}/my.ini"}, {"cwd/my.ini", CommonConfig}, false, false,
                   false, "{cwd}/my.ini", "{cwd}/my.ini", "{common}/Corvanta/Velloran",
                   "{common}/Corvanta/Velloran/"},
        LocateCase{"NamedFileMissing", {"gsUtilityIniName={cwd}/none.ini"}, {CommonConfig, CommonData}, false,
                   false, false, "VL2000.INI", "VL2000.INI", "{common}/Corvanta/Velloran",
                   "{common}/Corvanta/Velloran/"},
        LocateCase{"BareNameTestedInWorkingDirectory", {"gsUtilityIniName=my.ini"}, {"cwd/my.ini"}, false, false,
                   false, "my.ini", "my.ini", "{common}/Corvanta/Velloran", "{common}/Corvanta/Velloran/"},
        LocateCase{"BareNameOnlyInSettingsDirectory", {"gsUtilityIniName=my.ini"}, {"etc/my.ini"}, false, false,
                   false, "VL2000.INI", "VL2000.INI", "{common}/Corvanta/Velloran",
                   "{common}/Corvanta/Velloran/"},
        LocateCase{"OldSettingsAlone", {"OldSettings=1"}, {CommonConfig, CommonData}, false, false, false,
                   "VL2000.INI", "VL2000.INI", "<kept>", "<kept>"},
        LocateCase{"OldSettingsKeyInLowerCase", {"oldsettings= 1 "}, {}, false, false, false, "VL2000.INI",
                   "VL2000.INI", "<kept>", "<kept>"},
        LocateCase{"OldSettingsWithNamedMissingFile", {"OldSettings=1", "gsUtilityIniName={cwd}/x.ini"}, {},
                   false, false, false, "{cwd}/x.ini", "{cwd}/x.ini", "<kept>", "<kept>"},
        LocateCase{"OldSettingsMustBeExactlyOne", {"OldSettings=01"}, {CommonData}, false, false, false,
                   "VL2000.INI", "{common}/Corvanta/Velloran/data.ini", "{common}/Corvanta/Velloran",
                   "{common}/Corvanta/Velloran/"},
        LocateCase{"OldSettingsYesIsNotOne", {"OldSettings=yes"}, {}, false, false, false, "VL2000.INI",
                   "VL2000.INI", "{common}/Corvanta/Velloran", "{common}/Corvanta/Velloran/"},
        LocateCase{"FolderNamedConfigIniIsNoFile", {}, {CommonConfig + "/inner"s}, false, false, false,
                   "VL2000.INI", "VL2000.INI", "{common}/Corvanta/Velloran", "{common}/Corvanta/Velloran/"}),
    [](const testing::TestParamInfo<LocateCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(ReadSettingText, BareNamesAreReadFromTheSystemSettingsDirectory) {
  SettingsFolders folders;
  folders.EnterWorkingFolder();
  WriteFile(folders.Folder("etc/VL2000.INI"), "[Database Settings]\nData Source=SRV\\A\n");
  WriteFile(folders.Folder("cwd/VL2000.INI"), "[Database Settings]\nData Source=WRONG\n");
  EXPECT_EQ(ReadSettingText("VL2000.INI", "Database Settings", "Data Source", "d"), "SRV\\A");
  EXPECT_EQ(ReadSettingText("VL2000.INI", "Database Settings", "Missing", "d"), "d");
  EXPECT_EQ(ReadSettingText(folders.Folder("cwd/VL2000.INI"), "database settings", "DATA SOURCE", "d"), "WRONG");
}

// One row: the stored text, and the result with the default false and with true.
struct BoolCase {
  const char* text;
  std::optional<bool> expected;  // nothing: the default
};

class ReadSettingBoolTest : public testing::TestWithParam<BoolCase> {};

// The stored text as a test name: letters and digits kept, any other byte as
// "_" and its hex code, the empty text as "Empty".
std::string CaseName(const std::string& text) {
  if (text.empty()) return "Empty";
  std::string name;
  for (unsigned char c : text) {
    if (std::isalnum(c)) {
      name += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "_%02X", c);
      name += hex;
    }
  }
  return name;
}

TEST_P(ReadSettingBoolTest, ConvertsLikeAnInteger) {
  test::TempDir dir;
  WriteFile(dir / "c.ini", "[Misc]\nLogin="s + GetParam().text + "\n");
  for (bool defaultValue : {false, true}) {
    EXPECT_EQ(ReadSettingBool(dir / "c.ini", "Misc", "Login", defaultValue), GetParam().expected.value_or(defaultValue))
        << "text \"" << GetParam().text << "\", default " << defaultValue;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, ReadSettingBoolTest,
    testing::Values(BoolCase{"1", true}, BoolCase{"-1", true}, BoolCase{"+1", true}, BoolCase{"0", false},
                    BoolCase{"00", false}, BoolCase{"01", true}, BoolCase{" 1", true}, BoolCase{"1 ", true},
                    BoolCase{"'1'", true}, BoolCase{"0x1", true}, BoolCase{"0X1F", true}, BoolCase{"0x0", false},
                    BoolCase{"$10", true}, BoolCase{"x10", true}, BoolCase{"X0", false}, BoolCase{"-$1", true},
                    BoolCase{"$FFFFFFFF", true}, BoolCase{"2147483647", true}, BoolCase{"-2147483648", true},
                    BoolCase{"2147483648", std::nullopt}, BoolCase{"-2147483649", std::nullopt},
                    BoolCase{"$100000000", std::nullopt}, BoolCase{"99999999999999999999", std::nullopt},
                    BoolCase{"True", std::nullopt}, BoolCase{"yes", std::nullopt}, BoolCase{"", std::nullopt},
                    BoolCase{"   ", std::nullopt}, BoolCase{"0x", std::nullopt}, BoolCase{"$", std::nullopt},
                    BoolCase{"-", std::nullopt}, BoolCase{"- 1", std::nullopt}, BoolCase{"1x", std::nullopt},
                    BoolCase{"1.0", std::nullopt}, BoolCase{"$G", std::nullopt}, BoolCase{"1 2", std::nullopt}),
    [](const testing::TestParamInfo<BoolCase>& info) { return CaseName(info.param.text); });
// clang-format on

TEST(ReadSettingBool, MissingOrBadFilesGiveTheDefault) {
  SettingsFolders folders;  // the bare name must not reach this machine's settings
  test::TempDir dir;
  fs::create_directory(dir / "folder.ini");
  WriteFile(dir / "garbage.ini", "\x01\xff[Misc\nLogin\n=\n[]\n\0\0\0"s);
  for (const std::string& name :
       {dir / "missing.ini", dir / "folder.ini", dir / "garbage.ini", std::string("VL2000.INI"), std::string()}) {
    EXPECT_FALSE(ReadSettingBool(name, "Misc", "Login", false)) << name;
    EXPECT_TRUE(ReadSettingBool(name, "Misc", "Login", true)) << name;
  }
}

}  // namespace
}  // namespace vl
