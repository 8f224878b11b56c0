#pragma once
// Where the Windows special folders lie on this platform. Each root can be moved
// with an environment variable (tests and packagers use them):
//   VLBACKUP_LOCAL_APPDATA   per-user local application data  ($XDG_DATA_HOME or ~/.local/share)
//   VLBACKUP_COMMON_APPDATA  all-users application data       (/var/lib)
//   VLBACKUP_SYSCONFDIR      system settings directory         (/etc), home of bare names such as VL2000.INI
//   VLBACKUP_FALLBACK_CONFIG fallback config folder            (/opt/Velloran 2000)
//   VLBACKUP_DRIVE_ROOT      root of the current drive         (/)
//   VLBACKUP_REMOTE_SESSION  "1" or "0" forces the remote-session answer; otherwise
//                            a session reached over SSH counts as remote.
#include <optional>
#include <string>

namespace vl::platform {

inline constexpr char PathDelim = '/';

enum class SpecialFolder { LocalAppData, CommonAppData };

// The folder's path without a trailing separator, or nothing when it cannot be
// had. Like the shell call it stands for, it never creates the folder.
std::optional<std::string> GetSpecialFolderPath(SpecialFolder which);

std::string SystemSettingsDirectory();  // no trailing separator
std::string FallbackConfigFolder();     // no trailing separator
std::string CurrentDriveRoot();         // ends with a separator ("/")
bool RunsInRemoteSession();

}  // namespace vl::platform
