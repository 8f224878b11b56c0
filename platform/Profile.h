#pragma once
// The private-profile (INI) service with the Windows semantics the system relies on.
// A file name without any folder part names the file of that name in
// SystemSettingsDirectory(); any other name is used unchanged. Only "/" counts
// as a folder separator here: on Linux a backslash is an ordinary character of
// a file name.
//
// File names are compared exactly (Linux file systems keep case); sections and
// keys inside a file are found without regard to ASCII letter case, as on Windows.
#include <cstddef>
#include <string>

namespace vl::platform {

// Longest value handed back; longer values are cut (the callers' 2048-byte buffer).
inline constexpr std::size_t MaxProfileValueLength = 2047;

// Sections and keys are found without regard to case and the first match wins.
// The value loses surrounding blanks and one pair of matching quotes and is cut
// at 2047 characters (and at an embedded NUL, as the C interface would). A missing
// or unreadable file, section or key gives defaultValue (without trailing blanks);
// a present entry with an empty value gives empty text. Never throws for a bad
// or hostile file: only regular files are read.
std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& fileName);

// Updates the key in place, else appends it at the end of its section, else
// appends the section; creates the file when missing (its folder must exist).
// Every other line is kept byte for byte. The new content is written to a
// temporary sibling and renamed over the file, so a failure leaves the old file
// whole. Returns false when the file cannot be written, when it has no write
// permission bits at all (even for root), or when section, key or value could
// not be stored as one line (line breaks, NUL, "=" in the key, "]" in the section);
// why, when given, then receives the reason, with the system's where it gave one.
bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName, std::string* why = nullptr);

// The name the two calls above actually open.
std::string ResolveProfileFileName(const std::string& fileName);

}  // namespace vl::platform
