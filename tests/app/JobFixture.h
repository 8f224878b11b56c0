#pragma once
// Settings folders of one test, moved with the VLBACKUP_* variables, and the
// files that point the program at a stand-in server.
#include <algorithm>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>

#include "tests/support/StandIn.h"
#include "tests/support/TempDir.h"

namespace vl::test {

// Left in the folder by every job that got past connecting.
inline const std::string FolderLock = ".vlbackup.lock";

class SettingsFolders {
 public:
  SettingsFolders() {
    for (const char* name : {"common", "local", "etc", "fallback", "drive", "backups"})
      std::filesystem::create_directories(root_ / name);
  }

  // The variables that move every settings folder into this test's folders.
  std::map<std::string, std::string> Environment() const {
    return {{"VLBACKUP_COMMON_APPDATA", root_ / "common"}, {"VLBACKUP_LOCAL_APPDATA", root_ / "local"},
            {"VLBACKUP_SYSCONFDIR", root_ / "etc"},       {"VLBACKUP_FALLBACK_CONFIG", root_ / "fallback"},
            {"VLBACKUP_DRIVE_ROOT", root_ / "drive"},     {"VLBACKUP_REMOTE_SESSION", "0"}};
  }

  std::string DataFolder() const { return root_ / "common/Corvanta/Velloran"; }
  std::string Backups() const { return root_ / "backups"; }
  std::string Path(const std::string& name) const { return root_ / name; }

  // data.ini with the given "Database Settings" lines (Key=Value each).
  void WriteDataFile(const std::string& settings) const {
    std::filesystem::create_directories(DataFolder());
    WriteFile(DataFolder() + "/data.ini", "[Database Settings]\n" + settings);
  }
  // data.ini reaching the stand-in's default instance with the given login.
  void PointAt(const StandIn& server, const std::string& user, const std::string& password) const {
    WriteDataFile("Data Source=" + server.host() + "\nUser ID=" + user + "\nPassword=" + password + "\n");
  }
  // vlbackup.ini, the window's preferences.
  void WritePreferences(const std::string& path, bool dateStamp) const {
    std::filesystem::create_directories(DataFolder());
    WriteFile(DataFolder() + "/vlbackup.ini",
              "[Main]\nPath=" + path + "\nDateStamp=" + (dateStamp ? "1" : "0") + "\n");
  }

 private:
  TempDir root_;
};

// The stand-in with a login on its default instance and none on VELLORAN, so no
// fallback login can succeed behind a test's back.
inline StandInConfig ServerWithLogin(const std::string& user, const std::string& password) {
  return StandInConfig().login("MSSQLSERVER", user, password).noLogins("VELLORAN");
}

// What someone with write access to the backup folder might do to VL.BAK
// while the job waits; outside is a file elsewhere that must never be packed.
struct Swap {
  const char* name;
  void (*act)(const std::string& backupFile, const std::string& outside);
  const char* why;  // follows "The backup file "<name>" "
};

inline void PrintTo(const Swap& swap, std::ostream* out) { *out << swap.name; }

inline void MakeSymbolicLink(const std::string& backupFile, const std::string& outside) {
  std::filesystem::remove(backupFile);
  std::filesystem::create_symlink(outside, backupFile);
}
inline void MakeHardLink(const std::string& backupFile, const std::string& outside) {
  std::filesystem::remove(backupFile);
  std::filesystem::create_hard_link(outside, backupFile);
}
inline void ReplaceTheFile(const std::string& backupFile, const std::string& outside) {
  std::filesystem::copy_file(outside, backupFile + ".new");
  std::filesystem::rename(backupFile + ".new", backupFile);
}
inline void RemoveTheFile(const std::string& backupFile, const std::string&) { std::filesystem::remove(backupFile); }

inline const Swap Swaps[] = {
    {"SymbolicLink", MakeSymbolicLink, "is a symbolic link"},
    {"HardLinkToAFileOutside", MakeHardLink, "has other names (2 hard links)"},
    {"ReplacedFile", ReplaceTheFile, "was replaced after the server wrote it"},
    {"RemovedFile", RemoveTheFile, "cannot be examined: No such file or directory"},
};

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace vl::test

#include "tests/app/Program.h"

namespace vl::test {

// An archive as an independent reader sees it.
struct ZipView {
  bool intact = false;              // "unzip -t" finds no error
  std::vector<std::string> names;   // entries in stored order
};

inline ZipView ViewZip(const std::string& archive) {
  ZipView view;
  view.intact = RunProgram("unzip", {"-tq", archive}).exitCode == 0;
  view.names = Lines(RunProgram("unzip", {"-Z1", archive}).out);
  return view;
}

inline std::string ZipEntry(const std::string& archive, const std::string& name) {
  return RunProgram("unzip", {"-p", archive, name}).out;
}

inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace vl::test
