#include "app/job/BackupNames.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

struct NameCase {
  const char* label;
  std::string folderText;
  std::string folder;
  std::string backupFile;
  std::string plainArchive;
  std::string plainBackup;
  std::string stampedBackup;
};

TEST(BackupNames, FolderTextBecomesTheJobsFileNames) {
  const std::string stamp = "050324_1407_09";
  const NameCase cases[] = {
      {"blanks around", "  /srv/Backup/  ", "/srv/Backup", "/srv/Backup/VL.BAK", "/srv/Backup/vl.zip",
       "/srv/Backup/VL.BAK", "/srv/Backup/vl_050324_1407_09.bak"},
      {"controls around", "\t/srv/b\r\n", "/srv/b", "/srv/b/VL.BAK", "/srv/b/vl.zip", "/srv/b/VL.BAK",
       "/srv/b/vl_050324_1407_09.bak"},
      {"root with a blank", "/ ", "", "/VL.BAK", "/vl.zip", "/VL.BAK", "/vl_050324_1407_09.bak"},
      {"doubled separator", "/srv/Backup//", "/srv/Backup/", "/srv/Backup//VL.BAK", "/srv/Backup//vl.zip",
       "/srv/Backup/VL.BAK", "/srv/Backup/vl_050324_1407_09.bak"},
      {"empty", "", "", "/VL.BAK", "/vl.zip", "/VL.BAK", "/vl_050324_1407_09.bak"},
      {"blanks only", " \t ", "", "/VL.BAK", "/vl.zip", "/VL.BAK", "/vl_050324_1407_09.bak"},
      {"inner blank kept", "/data /", "/data ", "/data /VL.BAK", "/data /vl.zip", "/data /VL.BAK",
       "/data /vl_050324_1407_09.bak"},
      {"relative", "backups", "backups", "backups/VL.BAK", "backups/vl.zip", "backups/VL.BAK",
       "backups/vl_050324_1407_09.bak"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string folder = TrimBackupFolder(c.folderText);
    EXPECT_EQ(folder, c.folder);
    EXPECT_EQ(BackupFileName(folder), c.backupFile);
    EXPECT_EQ(PlainArchiveName(folder), c.plainArchive);
    EXPECT_EQ(PlainBackupName(folder), c.plainBackup);
    EXPECT_EQ(StampedBackupName(folder, stamp), c.stampedBackup);
  }
}

TEST(BackupNames, StampedArchiveKeepsTheFolderAsTrimmed) {
  EXPECT_EQ(StampedArchiveName("/srv/b", "010100_0905_03"), "/srv/b/vl_010100_0905_03.zip");
  EXPECT_EQ(StampedArchiveName("", "010100_0905_03"), "/vl_010100_0905_03.zip");
}

TEST(BackupNames, StampIsDayMonthYearHourMinuteSecond) {
  struct StampCase {
    platform::LocalDateTime moment;
    const char* stamp;
  };
  const StampCase cases[] = {
      {{2024, 3, 5, 14, 7, 9}, "050324_1407_09"},
      {{2000, 1, 1, 9, 5, 3}, "010100_0905_03"},
      {{1999, 12, 31, 23, 59, 59}, "311299_2359_59"},
      {{2105, 10, 20, 0, 0, 0}, "201005_0000_00"},
  };
  for (const StampCase& c : cases) {
    EXPECT_EQ(BackupStamp(c.moment), c.stamp);
    EXPECT_EQ(BackupStamp(c.moment).size(), 14u);
  }
}

}  // namespace
}  // namespace vl
