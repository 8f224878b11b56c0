// Which settings files the system uses, reading their entries, and Key=Value
// arguments on the command line.
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "connection/UtilityConnect.h"
#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/SpecialFolders.h"
#include "platform/Text.h"

namespace vl {

std::string ConfigFileName;
std::string DataFileName;
std::string ConfigFolder;
std::string DataFolder;

namespace {

constexpr const char* LegacySettingsFile = "VL2000.INI";
constexpr const char* CurrentConfigFile = "config.ini";
constexpr const char* CurrentDataFile = "data.ini";
constexpr const char* ProductSubfolder = "/Corvanta/Velloran";

ProfileReader& InstalledProfileReader() {
  static ProfileReader reader = nullptr;
  return reader;
}

// The folder when it exists or could be created with its parents.
bool FolderAvailable(const std::string& folder) {
  return platform::FolderExists(folder) || platform::ForceFolders(folder);
}

std::optional<std::string> ChooseConfigBase() {
  using platform::SpecialFolder;
  std::optional<std::string> local = platform::GetSpecialFolderPath(SpecialFolder::LocalAppData);
  // In a remote session the all-users folder is never used.
  if (IsRemoteSession()) return local;
  if (local && platform::FileExists(platform::JoinPath(*local + ProductSubfolder, CurrentConfigFile))) return local;
  return platform::GetSpecialFolderPath(SpecialFolder::CommonAppData);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::int32_t> TextToInt32(const std::string& text) {
  std::string_view rest(text);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  const bool negative = !rest.empty() && rest.front() == '-';
  std::string_view digits = rest;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);

  std::size_t prefix = 0;
  if (!digits.empty() && (digits[0] == '$' || digits[0] == 'x' || digits[0] == 'X'))
    prefix = 1;
  else if (digits.size() > 1 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    prefix = 2;
  if (prefix == 0) {
    const auto value = ParseDecimal(rest, INT32_MIN, INT32_MAX);
    return value ? std::optional<std::int32_t>(static_cast<std::int32_t>(*value)) : std::nullopt;
  }
  digits.remove_prefix(prefix);
  if (digits.empty()) return std::nullopt;  // at least one digit

  // Hexadecimal values may use any 32-bit pattern ($FFFFFFFF is -1), as the
  // conversion this stands for reads them.
  std::uint64_t magnitude = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
    if (magnitude > 0xFFFFFFFFull) return std::nullopt;
  }
  const auto bits = static_cast<std::uint32_t>(negative ? (0 - magnitude) : magnitude);
  return static_cast<std::int32_t>(bits);
}

namespace {
// The arguments a ParamValueSource put in place of the process's command line
// on this thread; a job run off the window's thread brings its own.
thread_local const std::vector<std::string>* CurrentArguments = nullptr;

std::string ValueOf(std::span<const std::string> arguments, const std::string& name) {
  for (const std::string& arg : arguments) {
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos) continue;
    const std::string_view key = std::string_view(arg).substr(0, eq);
    if (SameText(key, name)) return std::string(Trim(std::string_view(arg).substr(eq + 1)));
  }
  return {};
}
}  // namespace

ParamValueSource::ParamValueSource(const std::vector<std::string>& arguments)
    : previous_(std::exchange(CurrentArguments, &arguments)) {}

ParamValueSource::~ParamValueSource() { CurrentArguments = previous_; }

std::string GetParamValue(const std::string& name) {
  if (CurrentArguments != nullptr) return ValueOf(*CurrentArguments, name);
  return ValueOf(platform::Arguments(), name);
}

bool IsRemoteSession() { return platform::RunsInRemoteSession(); }

std::string GetConfigFolder() {
  const std::string fallback = platform::FallbackConfigFolder();
  try {
    std::optional<std::string> base = ChooseConfigBase();
    if (!base) return fallback;
    const std::string candidate = *base + ProductSubfolder;
    return FolderAvailable(candidate) ? candidate : fallback;
  } catch (const std::exception&) {
    return fallback;
  }
}

std::string GetDataFolder() {
  try {
    std::optional<std::string> common = platform::GetSpecialFolderPath(platform::SpecialFolder::CommonAppData);
    if (!common) return {};
    const std::string candidate = *common + ProductSubfolder + platform::PathDelim;
    return FolderAvailable(candidate) ? candidate : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

void LocateSettingsFiles() {
  const bool oldSettings = GetParamValue("OldSettings") == "1";
  ConfigFileName = GetParamValue("gsUtilityIniName");
  DataFileName = ConfigFileName;

  if (oldSettings) {
    if (ConfigFileName.empty()) ConfigFileName = DataFileName = LegacySettingsFile;
    return;
  }

  ConfigFolder = GetConfigFolder();
  DataFolder = GetDataFolder();
  if (ConfigFileName.empty()) {
    ConfigFileName = platform::JoinPath(ConfigFolder, CurrentConfigFile);
    // Without a data folder the name falls to the root of the current drive.
    const std::string dataFolder = DataFolder.empty() ? platform::CurrentDriveRoot() : DataFolder;
    DataFileName = platform::JoinPath(dataFolder, CurrentDataFile);
  }
  // Names are tested exactly as they stand, relative ones against the working
  // directory; Linux compares them with regard to case where Windows did not.
  if (!platform::FileExists(DataFileName)) DataFileName = LegacySettingsFile;
  if (!platform::FileExists(ConfigFileName)) ConfigFileName = LegacySettingsFile;
}

std::string ReadSettingText(const std::string& fileName, const std::string& section, const std::string& key,
                            const std::string& defaultValue) {
  if (ProfileReader reader = InstalledProfileReader()) return reader(section, key, defaultValue, fileName);
  return platform::GetPrivateProfileString(section, key, defaultValue, fileName);
}

bool ReadSettingBool(const std::string& fileName, const std::string& section, const std::string& key,
                     bool defaultValue) {
  std::string text = ReadSettingText(fileName, section, key, "");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.replace(0, 2, "$");
  std::optional<std::int32_t> number = TextToInt32(text);
  return number ? *number != 0 : defaultValue;
}

void SetProfileReader(ProfileReader reader) { InstalledProfileReader() = reader; }

}  // namespace vl
