#include "platform/Files.h"

#include <gtest/gtest.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/TempDir.h"

namespace vl::platform {
namespace {
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

size_t EntriesIn(const TempDir& dir) {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++n;
  return n;
}

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
  EXPECT_TRUE(CopyFile(dir / "src", dir / "dst", false));
  EXPECT_EQ(ReadFile(dir / "dst"), "new contents");
  EXPECT_EQ(EntriesIn(dir), 2u);
}

TEST(Files, CopyWithFailIfExistsKeepsTheTarget) {
  TempDir dir;
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  EXPECT_FALSE(CopyFile(dir / "src", dir / "dst", true));
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_TRUE(CopyFile(dir / "src", dir / "fresh", true));
  EXPECT_EQ(ReadFile(dir / "fresh"), "new");
  EXPECT_EQ(EntriesIn(dir), 3u);
}

TEST(Files, FailedCopyLeavesNeitherTargetNorTemporary) {
  TempDir dir;
  EXPECT_FALSE(CopyFile(dir / "missing", dir / "dst", false));
  std::filesystem::create_directory(dir / "folder");
  EXPECT_FALSE(CopyFile(dir / "folder", dir / "dst", false));
  EXPECT_EQ(EntriesIn(dir), 1u);  // only the folder
}

TEST(Files, CopyThatRunsOutOfSpaceLeavesNoPartialFile) {
  TempDir dir;
  WriteFile(dir / "src", std::string(200000, 'x'));
  WriteFile(dir / "dst", "old");
  // A file-size limit in a child process stands in for a full disk.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{50000, 50000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(CopyFile(dir / "src", dir / "dst", false) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the copy must report failure";
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_EQ(EntriesIn(dir), 2u);
}

}  // namespace
}  // namespace vl::platform
