// Placeholder until the INI service lands.
#include "platform/Profile.h"
namespace vl::platform {
std::string GetPrivateProfileString(const std::string&, const std::string&, const std::string& d, const std::string&) { return d; }
bool WritePrivateProfileString(const std::string&, const std::string&, const std::string&, const std::string&) { return false; }
std::string ResolveProfileFileName(const std::string& f) { return f; }
}
