#include "platform/SpecialFolders.h"

#include <pwd.h>
#include <unistd.h>
#include <cstdlib>

namespace vl::platform {
namespace {
std::optional<std::string> Env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

std::string WithoutTrailingDelim(std::string path) {
  while (path.size() > 1 && path.back() == PathDelim) path.pop_back();
  return path;
}

std::optional<std::string> HomeFolder() {
  if (auto home = Env("HOME")) return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return std::string(pw->pw_dir);
  return std::nullopt;
}
}  // namespace

std::optional<std::string> GetSpecialFolderPath(SpecialFolder which) {
  if (which == SpecialFolder::CommonAppData)
    return WithoutTrailingDelim(Env("VLBACKUP_COMMON_APPDATA").value_or("/var/lib"));
  if (auto local = Env("VLBACKUP_LOCAL_APPDATA")) return WithoutTrailingDelim(*local);
  if (auto xdg = Env("XDG_DATA_HOME")) return WithoutTrailingDelim(*xdg);
  if (auto home = HomeFolder()) return WithoutTrailingDelim(*home + "/.local/share");
  return std::nullopt;
}

std::string SystemSettingsDirectory() { return WithoutTrailingDelim(Env("VLBACKUP_SYSCONFDIR").value_or("/etc")); }

std::string FallbackConfigFolder() {
  return WithoutTrailingDelim(Env("VLBACKUP_FALLBACK_CONFIG").value_or("/opt/Velloran 2000"));
}

std::string CurrentDriveRoot() {
  std::string root = Env("VLBACKUP_DRIVE_ROOT").value_or("/");
  if (root.back() != PathDelim) root += PathDelim;
  return root;
}

bool RunsInRemoteSession() {
  if (auto forced = Env("VLBACKUP_REMOTE_SESSION")) return *forced == "1";
  return Env("SSH_CONNECTION") || Env("SSH_CLIENT") || Env("SSH_TTY");
}

}  // namespace vl::platform
