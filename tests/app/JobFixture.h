#pragma once
// What the job's tests share: the settings folders and the stand-in server,
// a hostile folder's tricks, and views of the folder and the archive.
#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>

#include "tests/support/SettingsFolders.h"
#include "tests/support/StandIn.h"
#include "tests/support/TempDir.h"

namespace vl::test {

// Left in the folder by every job that got past connecting.
inline const std::string FolderLock = ".vlbackup.lock";

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
  bool intact = false;             // "unzip -t" finds no error
  std::vector<std::string> names;  // entries in stored order
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
