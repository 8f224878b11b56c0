#pragma once
// Writing single entries of an INI settings file (the preferences file).
#include <string>

namespace vl {

// Sets one entry, creating the section or the file as needed (the file's folder
// must exist); the value is written unchanged. Raises Exception
// "Unable to write to <fileName>" when the file cannot be written.
void WriteSettingText(const std::string& fileName, const std::string& section, const std::string& key,
                      const std::string& value);
// WriteSettingText with "1" for true and "0" for false.
void WriteSettingBool(const std::string& fileName, const std::string& section, const std::string& key, bool value);

}  // namespace vl
