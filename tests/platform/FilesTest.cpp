#include "platform/Files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Profile.h"
#include "tests/support/FileClock.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempDir.h"

namespace vl::platform {
namespace {
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using testing::HasSubstr;
using testing::StrEq;
using testing::ThrowsMessage;
namespace fs = std::filesystem;

TEST(Files, ExistenceTellsFilesFromFolders) {
  TempDir dir;
  WriteFile(dir / "a.ini", "x");
  EXPECT_TRUE(FileExists(dir / "a.ini"));
  EXPECT_FALSE(FileExists(dir.str()));
  EXPECT_TRUE(FolderExists(dir.str()));
  EXPECT_FALSE(FolderExists(dir / "a.ini"));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(dir / "missing"));
}

TEST(Files, ForceFoldersCreatesParentsAndReportsFailure) {
  TempDir dir;
  EXPECT_TRUE(ForceFolders(dir / "a/b/c"));
  EXPECT_TRUE(FolderExists(dir / "a/b/c"));
  EXPECT_TRUE(ForceFolders(dir / "a/b/c"));  // already there
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(ForceFolders(dir / "file/sub"));
}

TEST(Files, DeleteReportsWhetherSomethingWent) {
  TempDir dir;
  WriteFile(dir / "x", "1");
  EXPECT_TRUE(DeleteFile(dir / "x"));
  EXPECT_FALSE(DeleteFile(dir / "x"));
  EXPECT_FALSE(DeleteFile(dir.str()));
}

TEST(Files, CopyReplacesAnExistingTarget) {
  TempDir dir;
  WriteFile(dir / "src", "new contents");
  WriteFile(dir / "dst", "old");
  CopyFile(dir / "src", dir / "dst", false);
  EXPECT_EQ(ReadFile(dir / "dst"), "new contents");
  EXPECT_EQ(dir.Entries().size(), 2u);
}

TEST(Files, CopyWithFailIfExistsKeepsTheTarget) {
  TempDir dir;
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  EXPECT_THAT([&] { CopyFile(dir / "src", dir / "dst", true); },
              ThrowsMessage<Exception>(HasSubstr("\"" + (dir / "dst") + "\" exists")));
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  CopyFile(dir / "src", dir / "fresh", true);
  EXPECT_EQ(ReadFile(dir / "fresh"), "new");
  EXPECT_EQ(dir.Entries().size(), 3u);
}

// Each refused source names itself and the reason; neither the target nor a
// temporary file is left behind, and nothing is read through a link.
TEST(Files, CopyRefusesWhatIsNotARegularFileOfItsOwn) {
  TempDir dir;
  WriteFile(dir / "secret", "elsewhere");
  fs::create_directory(dir / "folder");
  fs::create_symlink(dir / "secret", dir / "link");
  struct Case {
    std::string source, reason;
  };
  for (const Case& c : {Case{"missing", "cannot be opened: No such file or directory"},
                        Case{"folder", "is not a regular file"}, Case{"link", "is a symbolic link"}}) {
    SCOPED_TRACE(c.source);
    EXPECT_THAT([&] { CopyFile(dir / c.source, dir / "dst", false); },
                ThrowsMessage<Exception>(StrEq("\"" + (dir / c.source) + "\" " + c.reason)));
  }
  EXPECT_EQ(dir.Entries().size(), 3u);
}

TEST(Files, CopyReplacesALinkAtTheTargetWithoutFollowingIt) {
  TempDir dir;
  WriteFile(dir / "src", "backup");
  WriteFile(dir / "victim", "someone else's");
  fs::create_symlink(dir / "victim", dir / "dst");
  CopyFile(dir / "src", dir / "dst", false);
  EXPECT_FALSE(fs::is_symlink(dir / "dst"));
  EXPECT_EQ(ReadFile(dir / "dst"), "backup");
  EXPECT_EQ(ReadFile(dir / "victim"), "someone else's");
}

TEST(Files, CopyRefusesASourceThatIsNotTheExpectedFile) {
  TempDir dir;
  WriteFile(dir / "src", "the server's");
  const FileSnapshot expected = SoleRegularFile(dir / "src");
  CopyFile(dir / "src", dir / "dst", false, &expected);
  EXPECT_EQ(ReadFile(dir / "dst"), "the server's");

  WriteFile(dir / "other", "planted");
  fs::rename(dir / "other", dir / "src");
  EXPECT_THAT([&] { CopyFile(dir / "src", dir / "dst", false, &expected); },
              ThrowsMessage<Exception>(HasSubstr("is not the file it was")));
  EXPECT_EQ(ReadFile(dir / "dst"), "the server's");
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

mode_t ModeOf(const std::string& name) {
  struct stat st {};
  EXPECT_EQ(::lstat(name.c_str(), &st), 0) << name;
  return st.st_mode & 07777;
}

// Each failing call gives the quoted name, what failed and the system's reason;
// all of these fail for root too.
TEST(Files, FailuresSayWhyInTheSystemsWords) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  fs::create_directory(dir / "folder");
  using Call = bool (*)(const std::string&, std::string*);
  struct Case {
    const char* call;
    Call function;
    std::string name, reason;
  };
  const Case cases[] = {
      {"FileExists", FileExists, "missing", "cannot be examined: No such file or directory"},
      {"FileExists", FileExists, "folder", "is no file: Is a directory"},
      {"FileExists", FileExists, "file/sub", "cannot be examined: Not a directory"},
      {"FolderExists", FolderExists, "file", "is no folder: Not a directory"},
      {"FolderExists", FolderExists, "missing/sub", "cannot be examined: No such file or directory"},
      {"ForceFolders", ForceFolders, "file/sub", "cannot be created: Not a directory"},
      {"ForceFolders", ForceFolders, "file/sub/deeper", "cannot be created: Not a directory"},
      {"DeleteFile", DeleteFile, "missing", "cannot be deleted: No such file or directory"},
      {"DeleteFile", DeleteFile, "folder", "cannot be deleted: Is a directory"},
      {"DeleteFile", DeleteFile, "file/sub", "cannot be deleted: Not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + c.name);
    std::string why = "untouched";
    EXPECT_FALSE(c.function(dir / c.name, &why));
    EXPECT_EQ(why, "\"" + (dir / c.name) + "\" " + c.reason);
  }
  std::string why = "untouched";
  EXPECT_TRUE(FileExists(dir / "file", &why));
  EXPECT_TRUE(ForceFolders(dir / "folder/new", &why));
  EXPECT_TRUE(DeleteFile(dir / "file", &why));
  EXPECT_EQ(why, "untouched") << "a success leaves the reason alone";
}

TEST(Files, JoinPathAddsOneSeparator) {
  EXPECT_EQ(JoinPath("/a", "b.ini"), "/a/b.ini");
  EXPECT_EQ(JoinPath("/a/", "b.ini"), "/a/b.ini");
  EXPECT_EQ(JoinPath("", "b.ini"), "b.ini");
}

TEST(Files, PrivateTemporaryFolderIsOwnersOnlyAndGoesWhole) {
  TempDir outside;
  WriteFile(outside / "kept", "x");
  const std::string folder = MakePrivateTemporaryFolder("vltest-private-");
  EXPECT_EQ(fs::path(folder).filename().string().rfind("vltest-private-", 0), 0u) << folder;
  EXPECT_EQ(ModeOf(folder), 0700u);
  fs::create_directory(folder + "/sub");
  WriteFile(folder + "/sub/file", "x");
  fs::create_directory_symlink(outside.path(), folder + "/link");
  EXPECT_TRUE(RemoveFolderTree(folder));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(ReadFile(outside / "kept"), "x") << "the link inside must not be followed";
}

// Whatever goes wrong after the temporary file exists, it is removed and the
// target keeps its old content.
TEST(Files, ReplaceFileLeavesNothingBehindOnFailure) {
  TempDir dir;
  WriteFile(dir / "target", "old");
  EXPECT_THAT([&] { ReplaceFile(dir / "target", 0600, [](int) { throw Exception("writer gave up"); }); },
              ThrowsMessage<Exception>(StrEq("writer gave up")));
  EXPECT_THAT(
      [&] {
        ReplaceFile(
            dir / "target", 0600, [](int fd) { WriteAll(fd, "new"); }, true);
      },
      ThrowsMessage<Exception>(StrEq("\"" + (dir / "target") + "\" cannot be made: File exists")));
  fs::create_directory(dir / "folder");
  EXPECT_THAT([&] { ReplaceFile(dir / "folder", 0600, [](int fd) { WriteAll(fd, "new"); }); },
              ThrowsMessage<Exception>(StrEq("\"" + (dir / "folder") + "\" cannot be replaced: Is a directory")));
  EXPECT_THAT([&] { ReplaceFile(dir / "missing/target", 0600, [](int) {}); },
              ThrowsMessage<Exception>(StrEq("No temporary file can be made beside \"" + (dir / "missing/target") +
                                             "\": No such file or directory")));
  EXPECT_EQ(ReadFile(dir / "target"), "old");
  EXPECT_EQ(dir.Entries().size(), 2u);
}

TEST(Files, ReplaceFileGivesTheWantedModeWhateverTheUmask) {
  TempDir dir;
  ScopedUmask umask(077);
  ReplaceFile(dir / "exact", 0640, [](int fd) { WriteAll(fd, "x"); });
  ReplaceFile(dir / "default", std::nullopt, [](int fd) { WriteAll(fd, "x"); });
  EXPECT_EQ(ModeOf(dir / "exact"), 0640u);
  EXPECT_EQ(ModeOf(dir / "default"), 0600u) << "0666 less the umask";
  EXPECT_EQ(ReadFile(dir / "exact"), "x");
}

// A small tmpfs runs out of space for real; only root may mount one.
class FullDevice {
 public:
  explicit FullDevice(const std::string& folder) : folder_(folder) {
    fs::create_directory(folder_);
    const std::string mount = "mount -t tmpfs -o size=64k tmpfs '" + folder_ + "' 2>/dev/null";
    mounted_ = ::geteuid() == 0 && std::system(mount.c_str()) == 0;
  }
  ~FullDevice() {
    if (mounted_) [[maybe_unused]]
      int ignored = std::system(("umount '" + folder_ + "'").c_str());
  }
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

TEST(Files, FullDeviceIsReportedAndLeavesTheOldFiles) {
  TempDir dir;
  FullDevice device(dir / "small");
  if (!device.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
  const std::string small = dir / "small";
  WriteFile(small + "/dst", "old");
  WriteFile(small + "/p.ini", "[Main]\nPath=/old\n");
  WriteFile(dir / "big", std::string(256 * 1024, 'x'));
  EXPECT_THAT([&] { CopyFile(dir / "big", small + "/dst", false); },
              ThrowsMessage<Exception>(HasSubstr("cannot be written: No space left on device")));
  EXPECT_EQ(ReadFile(small + "/dst"), "old");
  std::string why;
  EXPECT_FALSE(WritePrivateProfileString("Main", "Path", std::string(128 * 1024, 'v'), small + "/p.ini", &why));
  EXPECT_THAT(why, HasSubstr("No space left on device"));
  EXPECT_EQ(ReadFile(small + "/p.ini"), "[Main]\nPath=/old\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 2);
}

// The copy of a secret is no more readable than the secret, whatever the umask,
// and never carries set-id or sticky bits.
TEST(Files, CopyTakesTheSourcesPermissionBitsWhateverTheUmask) {
  for (mode_t mask : {mode_t{000}, mode_t{077}}) {
    ScopedUmask umask(mask);
    for (mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0644}, mode_t{06750}, mode_t{01604}}) {
      SCOPED_TRACE(testing::Message() << "umask " << std::oct << mask << ", source " << mode);
      TempDir dir;
      WriteFile(dir / "src", "secret");
      ASSERT_EQ(::chmod((dir / "src").c_str(), mode), 0);
      WriteFile(dir / "dst", "old");
      ASSERT_EQ(::chmod((dir / "dst").c_str(), 0666), 0);
      CopyFile(dir / "src", dir / "dst", false);
      EXPECT_EQ(ModeOf(dir / "dst"), mode & 0777);
      CopyFile(dir / "src", dir / "fresh", true);
      EXPECT_EQ(ModeOf(dir / "fresh"), mode & 0777);
    }
  }
}

TEST(Files, CopyThatRunsOutOfSpaceLeavesNoPartialFile) {
  TempDir dir;
  WriteFile(dir / "src", std::string(200000, 'x'));
  WriteFile(dir / "dst", "old");
  const int result = test::UnderFileSizeLimit(50000, [&] {
    try {
      CopyFile(dir / "src", dir / "dst", false);
    } catch (const Exception& e) {
      return std::string(e.what()).find("File too large") != std::string::npos ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(result, 0) << "the copy must report failure with the system's reason";
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_EQ(dir.Entries().size(), 2u);
}

TEST(Files, SoleRegularFileRefusesLinksAndOtherKinds) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  WriteFile(dir / "secret", "elsewhere");
  fs::create_symlink(dir / "secret", dir / "symlink");
  fs::create_hard_link(dir / "secret", dir / "hardlink");
  fs::create_directory(dir / "folder");
  EXPECT_EQ(SoleRegularFile(dir / "file").links, 1u);
  struct Case {
    std::string name, reason;
  };
  for (const Case& c :
       {Case{"symlink", "is a symbolic link"}, Case{"hardlink", "has other names (2 hard links)"},
        Case{"folder", "is not a regular file"}, Case{"missing", "cannot be examined: No such file or directory"}}) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT([&] { SoleRegularFile(dir / c.name); },
                ThrowsMessage<Exception>(StrEq("\"" + (dir / c.name) + "\" " + c.reason)));
  }
}

// A file moved away and back keeps its identity but not its snapshot, so a
// swap that puts the original back after packing is still seen.
TEST(Files, SnapshotTellsAFileThatWasMovedOrWritten) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  const FileSnapshot before = SoleRegularFile(dir / "file");
  EXPECT_EQ(SoleRegularFile(dir / "file"), before);

  test::AwaitFileClockPast(before.changedNs);
  fs::rename(dir / "file", dir / "away");
  fs::rename(dir / "away", dir / "file");
  const FileSnapshot moved = SoleRegularFile(dir / "file");
  EXPECT_TRUE(moved.SameFile(before));
  EXPECT_NE(moved, before);

  std::ofstream(dir / "file", std::ios::app) << "y";  // a new size, whatever the clock says
  EXPECT_NE(SoleRegularFile(dir / "file"), moved);
}

TEST(Files, LockIsExclusiveUntilItsHolderGoes) {
  TempDir dir;
  ScopedUmask umask(000);
  const std::string name = dir / "lock";
  {
    FileLock first(name);
    EXPECT_TRUE(first.TryLock());
    EXPECT_TRUE(first.TryLock()) << "a holder keeps its lock";
    FileLock second(name);
    EXPECT_FALSE(second.TryLock());
  }
  FileLock third(name);
  EXPECT_TRUE(third.TryLock());
  EXPECT_EQ(ModeOf(name), 0600u);
}

TEST(Files, LockRefusesALinkOrFolderUnderItsName) {
  TempDir dir;
  fs::create_symlink(dir / "target", dir / "link");
  fs::create_directory(dir / "folder");
  EXPECT_THAT([&] { FileLock lock(dir / "link"); }, ThrowsMessage<Exception>(HasSubstr("is a symbolic link")));
  EXPECT_FALSE(fs::exists(dir / "target")) << "the link must not be followed";
  EXPECT_THAT([&] { FileLock lock(dir / "folder"); }, ThrowsMessage<Exception>(HasSubstr("folder\" cannot be opened")));
}

}  // namespace
}  // namespace vl::platform
