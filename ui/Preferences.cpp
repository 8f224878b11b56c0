#include "ui/Preferences.h"

#include "platform/Error.h"
#include "platform/Profile.h"

namespace vl {

void WriteSettingText(const std::string& fileName, const std::string& section, const std::string& key,
                      const std::string& value) {
  if (!platform::WritePrivateProfileString(section, key, value, fileName))
    throw Exception("Unable to write to " + fileName);
}

void WriteSettingBool(const std::string& fileName, const std::string& section, const std::string& key, bool value) {
  WriteSettingText(fileName, section, key, value ? "1" : "0");
}

}  // namespace vl
