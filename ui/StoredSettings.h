#pragma once
// The stored settings of the main window's non-visual components: a small text
// compiled into the program, one "Component.Property = value" a line.
#include <cstdint>
#include <string>
#include <vector>

namespace vl {

class TADOCommand;
class TADOConnection;
class TZipFile;

struct StoredSetting {
  std::string component;
  std::string property;  // "lpszZipFile.PChar" for a text holder's stored value
  std::string value;     // as written, without surrounding blanks
  int line = 0;
};

// Lines that are empty or start with "#" are skipped. Raises Exception naming
// the line when one has no "=" or no "Component.Property" before it.
std::vector<StoredSetting> ParseStoredSettings(const std::string& text);

// The components that stored settings may address.
struct StoredComponents {
  TADOCommand& qryvl;
  TADOConnection& conVelloran;
  TZipFile& ZipFile;
};

// Applies the settings in order. Raises Exception naming the line for an
// unknown component or property or a value of the wrong form.
void ApplyStoredSettings(const std::vector<StoredSetting>& settings, const StoredComponents& components);

// "{0A 0A000000}" -> the bytes; blanks between digits are ignored.
std::vector<std::uint8_t> ParseBinaryValue(const std::string& value);

}  // namespace vl
