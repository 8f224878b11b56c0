#pragma once
// Settings files, the connection string and connecting.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "connection/odbc/Ado.h"

namespace vl {

// Settings state, written only by LocateSettingsFiles.
extern std::string ConfigFileName;
extern std::string DataFileName;
extern std::string ConfigFolder;  // no trailing separator
extern std::string DataFolder;    // ends with a separator, or empty

std::string GetParamValue(const std::string& name);
void LocateSettingsFiles();
std::string GetConfigFolder();
std::string GetDataFolder();
bool IsRemoteSession();
std::string ReadSettingText(const std::string& fileName, const std::string& section, const std::string& key,
                            const std::string& defaultValue);
// Non-zero integer is true; text that is no 32-bit integer gives defaultValue.
bool ReadSettingBool(const std::string& fileName, const std::string& section, const std::string& key,
                     bool defaultValue);

// The integer conversion behind ReadSettingBool: optional leading blanks, an
// optional sign, then decimal digits, or hexadecimal ones after "$", "x", "X",
// "0x" or "0X"; nothing may follow. Decimal values outside the signed 32-bit
// range fail; hexadecimal ones may use all 32 bits ($FFFFFFFF is -1).
std::optional<std::int32_t> TextToInt32(const std::string& text);

// The reader under ReadSettingText, in the argument order of the profile
// service. Tests install one (nullptr restores the profile service) to make a
// read fail, which a real settings file never does.
using ProfileReader = std::string (*)(const std::string& section, const std::string& key,
                                      const std::string& defaultValue, const std::string& fileName);
void SetProfileReader(ProfileReader reader);

enum class ConnectionMode { Configured = 0, ProductInstance = 1, SaBlankPassword = 2 };

struct ConnectionProperty {
  const char* Name;
  const char* DefaultValue;       // when the config file's "Login" is false
  const char* LoginDefaultValue;  // when it is true
};
extern const std::array<ConnectionProperty, 11> ConnectionPropertyTable;

// The built-in password of the "sa" login.
inline constexpr const char* DefaultSaPassword = "MarlyK5vo";

// Recorded by every BuildConnectionString.
extern std::string DatabaseName;
extern std::string ServerName;

// Reads ConfigFileName and DataFileName as LocateSettingsFiles left them.
// Empty, after a warning and a termination request, when reading the settings fails.
std::string BuildConnectionString(ConnectionMode mode);
// A warning box; returns when it is closed.
void ShowWarning(const std::string& text);

// Reads the Key=Value arguments of the process's command line.
bool ConnectDatabase(TADOConnection& connection, std::string& errorText);
// Reads the given arguments instead (each one "Key=Value"; others are ignored).
bool ConnectDatabase(TADOConnection& connection, std::string& errorText, const std::vector<std::string>& arguments);

// While it lives, GetParamValue on the creating thread reads these arguments
// instead of the process's command line.
class ParamValueSource {
 public:
  explicit ParamValueSource(const std::vector<std::string>& arguments);
  ~ParamValueSource();
  ParamValueSource(const ParamValueSource&) = delete;
  ParamValueSource& operator=(const ParamValueSource&) = delete;

 private:
  const std::vector<std::string>* previous_;
};

}  // namespace vl
