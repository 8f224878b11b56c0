#pragma once
// Settings files, the connection string and connecting.
#include <array>
#include <string>

#include "connection/Ado.h"

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
std::string ReadSettingText(const std::string& fileName, const std::string& section,
                            const std::string& key, const std::string& defaultValue);
bool ReadSettingBool(const std::string& fileName, const std::string& section,
                     const std::string& key, bool defaultValue);

enum class ConnectionMode { Configured = 0, ProductInstance = 1, SaBlankPassword = 2 };

struct ConnectionProperty {
  const char* Name;
  const char* DefaultValue;       // when the config file's "Login" is false
  const char* LoginDefaultValue;  // when it is true
};
extern const std::array<ConnectionProperty, 11> ConnectionPropertyTable;

// Recorded by every BuildConnectionString.
extern std::string DatabaseName;
extern std::string ServerName;

std::string BuildConnectionString(ConnectionMode mode);
void ShowWarning(const std::string& text);

bool ConnectDatabase(TADOConnection& connection, std::string& errorText);

}  // namespace vl
