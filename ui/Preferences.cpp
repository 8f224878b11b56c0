#include "ui/Preferences.h"

#include "platform/Error.h"
#include "platform/Profile.h"

namespace vl {

void WriteSettingText(const std::string& fileName, const std::string& section, const std::string& key,
                      const std::string& value) {
  std::string why;
  // The reason stands as a paragraph under the message, so the user can act on it.
  if (!platform::WritePrivateProfileString(section, key, value, fileName, &why))
    throw Exception("Unable to write to " + fileName + (why.empty() ? "" : "\n\n" + why));
}

void WriteSettingBool(const std::string& fileName, const std::string& section, const std::string& key, bool value) {
  WriteSettingText(fileName, section, key, value ? "1" : "0");
}

}  // namespace vl
