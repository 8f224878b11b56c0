#pragma once
// The private-profile (INI) service with the Windows semantics the system relies on.
// A file name without any folder part names the file of that name in
// SystemSettingsDirectory(); any other name is used unchanged.
#include <string>

namespace vl::platform {

// Sections and keys are found without regard to case and the first match wins.
// The value loses surrounding blanks and one pair of matching quotes and is cut
// at 2047 characters. A missing or unreadable file, section or key gives
// defaultValue; a present entry with an empty value gives empty text.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName);

// Updates the key in place, else appends it at the end of its section, else
// appends the section; creates the file when missing (its folder must exist).
// Every other line is kept as it was. Returns false when the file cannot be written.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);

// The name the two calls above actually open.
std::string ResolveProfileFileName(const std::string& fileName);

}  // namespace vl::platform
