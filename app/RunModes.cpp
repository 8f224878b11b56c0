#include "app/RunModes.h"

#include "platform/CommandLine.h"

namespace vl {

bool SilentMode = false;
bool NoZipMode = false;

namespace {
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return true;
}
}  // namespace

bool HasSwitch(const std::string& name) {
  const int count = platform::ParamCount();
  for (int index = 0; index <= count; ++index) {
    if (SameIgnoringAsciiCase(platform::ParamStr(index), name)) return true;
  }
  return false;
}

bool IsSilentRun() { return platform::ParamCount() >= 1 && HasSwitch(SilentSwitch); }

}  // namespace vl
