// Which settings files the system uses, reading their entries, and Key=Value
// arguments on the command line.
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "connection/UtilityConnect.h"
#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/SpecialFolders.h"

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

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string Trimmed(const std::string& s) {
  std::size_t first = 0;
  std::size_t last = s.size();
  while (first < last && IsBlank(s[first])) ++first;
  while (last > first && IsBlank(s[last - 1])) --last;
  return s.substr(first, last - first);
}

std::string UpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
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
  if (local && platform::FileExists(*local + ProductSubfolder + "/" + CurrentConfigFile)) return local;
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
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;  // at least one digit

  // Decimal values must fit the signed range; hexadecimal ones any 32-bit pattern
  // ($FFFFFFFF is -1), as the conversion this stands for reads them.
  const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  std::uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    int digit = hex ? HexDigit(text[i]) : ((text[i] >= '0' && text[i] <= '9') ? text[i] - '0' : -1);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
    if (magnitude > limit) return std::nullopt;
  }
  const auto bits = static_cast<std::uint32_t>(negative ? (0 - magnitude) : magnitude);
  return static_cast<std::int32_t>(bits);
}

namespace {
// The arguments a ParamValueSource put in place of the process's command line
// on this thread; a job run off the window's thread brings its own.
thread_local const std::vector<std::string>* CurrentArguments = nullptr;

std::vector<std::string> ProcessArguments() {
  std::vector<std::string> arguments;
  for (int i = 1; i <= platform::ParamCount(); ++i) arguments.push_back(platform::ParamStr(i));
  return arguments;
}
}  // namespace

ParamValueSource::ParamValueSource(const std::vector<std::string>& arguments)
    : previous_(std::exchange(CurrentArguments, &arguments)) {}

ParamValueSource::~ParamValueSource() { CurrentArguments = previous_; }

std::string GetParamValue(const std::string& name) {
  const std::string wanted = UpperAscii(name);
  const std::vector<std::string> arguments = CurrentArguments != nullptr ? *CurrentArguments : ProcessArguments();
  for (const std::string& arg : arguments) {
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos) continue;
    if (UpperAscii(arg.substr(0, eq)) == wanted) return Trimmed(arg.substr(eq + 1));
  }
  return {};
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
    const std::string candidate = *common + ProductSubfolder + "/";
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
    ConfigFileName = ConfigFolder + "/" + CurrentConfigFile;
    // Without a data folder the name falls to the root of the current drive.
    DataFileName = (DataFolder.empty() ? platform::CurrentDriveRoot() : DataFolder) + CurrentDataFile;
  }
  // Names are tested exactly as they stand, relative ones against the working
  // directory; Linux compares them with regard to case where Windows did not.
  if (!platform::FileExists(DataFileName)) DataFileName = LegacySettingsFile;
  if (!platform::FileExists(ConfigFileName)) ConfigFileName = LegacySettingsFile;
}

std::string ReadSettingText(const std::string& fileName, const std::string& section,
                            const std::string& key, const std::string& defaultValue) {
  if (ProfileReader reader = InstalledProfileReader()) return reader(section, key, defaultValue, fileName);
  return platform::GetPrivateProfileString(section, key, defaultValue, fileName);
}

bool ReadSettingBool(const std::string& fileName, const std::string& section,
                     const std::string& key, bool defaultValue) {
  std::string text = ReadSettingText(fileName, section, key, "");
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.replace(0, 2, "$");
  std::optional<std::int32_t> number = TextToInt32(text);
  return number ? *number != 0 : defaultValue;
}

void SetProfileReader(ProfileReader reader) { InstalledProfileReader() = reader; }

}  // namespace vl
