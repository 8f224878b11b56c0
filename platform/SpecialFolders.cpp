#include "platform/SpecialFolders.h"

#include <pwd.h>
#include <unistd.h>

#include "platform/System.h"

namespace vl::platform {
namespace {
std::string WithoutTrailingDelim(std::string path) {
  while (path.size() > 1 && path.back() == PathDelim) path.pop_back();
  return path;
}

std::optional<std::string> HomeFolder() {
  if (auto home = EnvironmentVariable("HOME")) return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return std::string(pw->pw_dir);
  return std::nullopt;
}
}  // namespace

std::optional<std::string> GetSpecialFolderPath(SpecialFolder which) {
  if (which == SpecialFolder::CommonAppData)
    return WithoutTrailingDelim(EnvironmentVariable("VLBACKUP_COMMON_APPDATA").value_or("/var/lib"));
  if (auto local = EnvironmentVariable("VLBACKUP_LOCAL_APPDATA")) return WithoutTrailingDelim(*local);
  if (auto xdg = EnvironmentVariable("XDG_DATA_HOME")) return WithoutTrailingDelim(*xdg);
  if (auto home = HomeFolder()) return WithoutTrailingDelim(*home + "/.local/share");
  return std::nullopt;
}

std::string SystemSettingsDirectory() {
  return WithoutTrailingDelim(EnvironmentVariable("VLBACKUP_SYSCONFDIR").value_or("/etc"));
}

std::string FallbackConfigFolder() {
  return WithoutTrailingDelim(EnvironmentVariable("VLBACKUP_FALLBACK_CONFIG").value_or("/opt/Velloran 2000"));
}

std::string CurrentDriveRoot() {
  std::string root = EnvironmentVariable("VLBACKUP_DRIVE_ROOT").value_or("/");
  if (root.back() != PathDelim) root += PathDelim;
  return root;
}

bool RunsInRemoteSession() {
  if (auto forced = EnvironmentVariable("VLBACKUP_REMOTE_SESSION")) return *forced == "1";
  return EnvironmentVariable("SSH_CONNECTION") || EnvironmentVariable("SSH_CLIENT") || EnvironmentVariable("SSH_TTY");
}

}  // namespace vl::platform
