#pragma once
// The names the backup job gives its files. The separator is "/"; a folder
// text is trimmed before any name is made from it.
#include <string>

#include "platform/System.h"

namespace vl {

// Removes characters 0 to 32 at both ends, then at most one trailing "/".
// "/" alone becomes empty, so the root's backup file is "/VL.BAK".
std::string TrimBackupFolder(const std::string& folderText);

// The folder a fresh installation backs up to: the root of the current drive.
std::string DefaultBackupFolder();

// "ddmmyy_HHnn_ss": always 14 characters.
std::string BackupStamp(const platform::LocalDateTime& moment);

// The folder with "/" appended unless it already ends in one.
std::string WithSeparator(const std::string& folder);

// The file the database server writes: folder + "/VL.BAK", even when the
// folder still ends in "/" (a doubled separator keeps one of its two).
std::string BackupFileName(const std::string& folder);
// The backup file as no-zip mode keeps it, and its stamped copy.
std::string PlainBackupName(const std::string& folder);
std::string StampedBackupName(const std::string& folder, const std::string& stamp);
// The archive: folder + "/vl.zip", or folder + "/vl_" + stamp + ".zip" when stamped.
std::string PlainArchiveName(const std::string& folder);
std::string StampedArchiveName(const std::string& folder, const std::string& stamp);
// The file whose lock lets one job at a time work in the folder.
std::string FolderLockName(const std::string& folder);

}  // namespace vl
