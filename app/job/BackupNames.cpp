#include "app/job/BackupNames.h"

#include <cstdio>

#include "platform/SpecialFolders.h"
#include "platform/Text.h"

namespace vl {
namespace {
std::string TwoDigits(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", value % 100);
  return text;
}
}  // namespace

std::string TrimBackupFolder(const std::string& folderText) {
  std::string folder(Trim(folderText));
  if (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder;
}

// Drive C's root, the folder a fresh installation backs up to, is this
// platform's root of the current drive.
std::string DefaultBackupFolder() { return platform::CurrentDriveRoot(); }

std::string BackupStamp(const platform::LocalDateTime& moment) {
  return TwoDigits(moment.day) + TwoDigits(moment.month) + TwoDigits(moment.year) + "_" + TwoDigits(moment.hour) +
         TwoDigits(moment.minute) + "_" + TwoDigits(moment.second);
}

std::string WithSeparator(const std::string& folder) {
  return (!folder.empty() && folder.back() == '/') ? folder : folder + "/";
}

std::string BackupFileName(const std::string& folder) { return folder + "/VL.BAK"; }

std::string PlainBackupName(const std::string& folder) { return WithSeparator(folder) + "VL.BAK"; }

std::string StampedBackupName(const std::string& folder, const std::string& stamp) {
  return WithSeparator(folder) + "vl_" + stamp + ".bak";
}

std::string PlainArchiveName(const std::string& folder) { return folder + "/vl.zip"; }

std::string StampedArchiveName(const std::string& folder, const std::string& stamp) {
  return folder + "/vl_" + stamp + ".zip";
}

std::string FolderLockName(const std::string& folder) { return WithSeparator(folder) + ".vlbackup.lock"; }

}  // namespace vl
