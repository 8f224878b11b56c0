#include "app/job/Retention.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "tests/support/TempDir.h"

namespace vl {
namespace {
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::UnorderedElementsAre;
namespace fs = std::filesystem;

// One entry to put in the backup folder:
//   "name"             a regular file
//   "name->target"     a symbolic link
//   "name/"            a folder
//   "name=other"       a second name (hard link) of the file other made before it
void MakeEntry(const fs::path& folder, const std::string& entry) {
  if (std::size_t arrow = entry.find("->"); arrow != std::string::npos) {
    fs::create_symlink(entry.substr(arrow + 2), folder / entry.substr(0, arrow));
  } else if (entry.back() == '/') {
    fs::create_directory(folder / entry.substr(0, entry.size() - 1));
  } else if (std::size_t equals = entry.find('='); equals != std::string::npos) {
    fs::create_hard_link(folder / entry.substr(equals + 1), folder / entry.substr(0, equals));
  } else {
    WriteFile((folder / entry).string(), entry);
  }
}

void MakeEntries(const fs::path& folder, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) MakeEntry(folder, entry);
}

std::set<std::string> NamesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

// A backup folder with an outside folder next to it that links may point into.
struct Folders {
  TempDir dir;
  fs::path backups = dir.path() / "backups";
  fs::path outside = dir.path() / "outside";
  Folders() {
    fs::create_directory(backups);
    fs::create_directory(outside);
    WriteFile((outside / "vl_010120_0000_00.zip").string(), "not ours");
  }
};

struct PruneCase {
  const char* title;
  std::vector<std::string> entries;
  std::string extension;
  unsigned keep;
  std::string justMade;
  std::set<std::string> removed;  // everything else must remain
};

class Prune : public testing::TestWithParam<PruneCase> {};

TEST_P(Prune, RemovesExactlyTheOldestStampedFiles) {
  const PruneCase& c = GetParam();
  Folders f;
  MakeEntries(f.backups, c.entries);
  std::set<std::string> before = NamesIn(f.backups);

  RetentionResult result = PruneStampedBackups(f.backups.string(), c.extension, c.keep, c.justMade);

  std::set<std::string> expected;
  std::set_difference(before.begin(), before.end(), c.removed.begin(), c.removed.end(),
                      std::inserter(expected, expected.end()));
  EXPECT_EQ(NamesIn(f.backups), expected);
  EXPECT_THAT(result.failures, testing::IsEmpty());
  std::set<std::string> reported;
  for (const std::string& name : result.removed) reported.insert(fs::path(name).filename().string());
  EXPECT_EQ(reported, c.removed);
  EXPECT_EQ(ReadFile((f.outside / "vl_010120_0000_00.zip").string()), "not ours");
}

void PrintTo(const PruneCase& c, std::ostream* os) { *os << c.title; }

const std::string kNew = "vl_150325_0200_00.zip";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Retention, Prune,
    testing::Values(
        PruneCase{"KeepsTheNewestN",
                  {"vl_110325_0200_00.zip", "vl_120325_0200_00.zip", "vl_130325_0200_00.zip",
                   "vl_140325_0200_00.zip", kNew},
                  ".zip", 3, kNew,
                  {"vl_110325_0200_00.zip", "vl_120325_0200_00.zip"}},
        PruneCase{"OrdersByYearMonthDayThenTime",
                  {"vl_311224_2359_59.zip", "vl_010125_0000_00.zip", "vl_010225_0000_00.zip",
                   "vl_150325_0159_59.zip", "vl_150325_0200_01.zip", kNew},
                  ".zip", 4, kNew,
                  {"vl_311224_2359_59.zip", "vl_010125_0000_00.zip"}},
        PruneCase{"OtherExtensionUntouched",
                  {"vl_010120_0000_00.bak", "vl_020120_0000_00.bak", "vl_010120_0000_00.zip", kNew},
                  ".zip", 1, kNew,
                  {"vl_010120_0000_00.zip"}},
        PruneCase{"BakCopies",
                  {"vl_010120_0000_00.bak", "vl_020120_0000_00.bak", "vl_010120_0000_00.zip",
                   "VL.BAK", "vl_030120_0000_00.bak"},
                  ".bak", 2, "vl_030120_0000_00.bak",
                  {"vl_010120_0000_00.bak"}},
        PruneCase{"OnlyNamesTheStampMakes",
                  {"vl.zip", "VL.BAK", ".vlbackup.lock", "VL_010120_0000_00.zip", "vl_010120_0000_00.ZIP",
                   "vl_010120_0000_00.zip.tmp", ".vl_010120_0000_00.zip", "xvl_010120_0000_00.zip",
                   "vl_010120_0000_0.zip", "vl_010120_0000_000.zip", "vl_010120-0000_00.zip", "vl_010120_0000_00.zip~",
                   "vl_01012a_0000_00.zip", "vl_320120_0000_00.zip", "vl_000120_0000_00.zip",
                   "vl_011320_0000_00.zip", "vl_010020_0000_00.zip", "vl_300220_0000_00.zip",
                   "vl_290223_0000_00.zip", "vl_310420_0000_00.zip", "vl_010120_2400_00.zip",
                   "vl_010120_0060_00.zip", "vl_010120_000000_00.zip", "vl_010120_0000_60.zip",
                   "vl_290224_0000_00.zip", kNew},
                  ".zip", 1, kNew,
                  {"vl_290224_0000_00.zip"}},
        PruneCase{"LinksFoldersAndHardLinksUntouched",
                  {"vl_010120_0000_00.bak", "vl_010120_0000_00.zip->vl_010120_0000_00.bak",
                   "vl_020120_0000_00.zip->../outside/vl_010120_0000_00.zip", "vl_030120_0000_00.zip/",
                   "vl_040120_0000_00.zip", "vl_050120_0000_00.zip=vl_040120_0000_00.zip",
                   "vl_060120_0000_00.zip", kNew},
                  ".zip", 1, kNew,
                  {"vl_060120_0000_00.zip"}},
        PruneCase{"KeepZeroKeepsAll",
                  {"vl_010120_0000_00.zip", "vl_020120_0000_00.zip", kNew},
                  ".zip", 0, kNew, {}},
        PruneCase{"KeepMoreThanThereAreKeepsAll",
                  {"vl_010120_0000_00.zip", "vl_020120_0000_00.zip", kNew},
                  ".zip", 3, kNew, {}},
        PruneCase{"KeepOneLeavesOnlyTheNewFile",
                  {"vl_010120_0000_00.zip", "vl_020120_0000_00.zip", kNew},
                  ".zip", 1, kNew,
                  {"vl_010120_0000_00.zip", "vl_020120_0000_00.zip"}},
        PruneCase{"NewFileKeptWhenTheClockWentBack",
                  {"vl_160325_0200_00.zip", "vl_170325_0200_00.zip", "vl_180325_0200_00.zip", kNew},
                  ".zip", 2, kNew,
                  {"vl_160325_0200_00.zip", "vl_170325_0200_00.zip"}},
        PruneCase{"NewFileNamedWithItsFolder",
                  {"vl_010120_0000_00.zip", kNew},
                  ".zip", 1, "/srv/backups/" + kNew,
                  {"vl_010120_0000_00.zip"}}),
    [](const testing::TestParamInfo<PruneCase>& info) { return std::string(info.param.title); });
// clang-format on

TEST(Retention, NothingRemovedWithoutTheNewFile) {
  // The new archive missing, a link or hard-linked: the old backups are all there is.
  for (const std::string& last : {std::string(), kNew + "->vl_010120_0000_00.zip", kNew + "=vl_020120_0000_00.zip"}) {
    SCOPED_TRACE(last);
    Folders f;
    MakeEntries(f.backups, {"vl_010120_0000_00.zip", "vl_020120_0000_00.zip"});
    if (!last.empty()) MakeEntry(f.backups, last);
    std::set<std::string> before = NamesIn(f.backups);
    EXPECT_THAT([&] { PruneStampedBackups(f.backups.string(), ".zip", 1, kNew); },
                testing::ThrowsMessage<Exception>(HasSubstr("no older backup was deleted")));
    EXPECT_EQ(NamesIn(f.backups), before);
  }
}

TEST(Retention, FolderThatIsALinkIsRefused) {
  Folders f;
  MakeEntries(f.backups, {"vl_010120_0000_00.zip", kNew});
  fs::create_directory_symlink(f.backups, f.dir.path() / "link");
  for (const char* suffix : {"", "/", "//"}) {
    EXPECT_THAT([&] { PruneStampedBackups((f.dir.path() / "link").string() + suffix, ".zip", 1, kNew); },
                testing::ThrowsMessage<Exception>(HasSubstr("is a symbolic link")))
        << suffix;
  }
  EXPECT_EQ(NamesIn(f.backups).size(), 2u);
}

TEST(Retention, FolderWithTrailingSeparator) {
  Folders f;
  MakeEntries(f.backups, {"vl_010120_0000_00.zip", kNew});
  RetentionResult result = PruneStampedBackups(f.backups.string() + "/", ".zip", 1, kNew);
  EXPECT_THAT(result.removed, ElementsAre(f.backups.string() + "/vl_010120_0000_00.zip"));
  EXPECT_EQ(NamesIn(f.backups), std::set<std::string>{kNew});
}

TEST(Retention, FilesChangedAfterListingAreReportedAndTheRestRemoved) {
  Folders f;
  MakeEntries(f.backups, {"vl_010120_0000_00.zip", "vl_020120_0000_00.zip", "vl_030120_0000_00.zip",
                          "vl_040120_0000_00.zip", kNew});
  platform::Directory folder(f.backups.string());
  std::vector<platform::DirectoryEntry> entries = folder.RegularFiles();
  std::vector<const platform::DirectoryEntry*> chosen = StampedToRemove(entries, ".zip", 1, kNew);
  ASSERT_EQ(chosen.size(), 4u);

  // Between listing and removal: one file goes, one is replaced, one gains a second name.
  fs::remove(f.backups / "vl_010120_0000_00.zip");
  fs::remove(f.backups / "vl_020120_0000_00.zip");
  WriteFile((f.backups / "vl_020120_0000_00.zip").string(), "someone else's");
  fs::create_hard_link(f.backups / "vl_030120_0000_00.zip", f.outside / "kept");

  RetentionResult result = RemoveEntries(folder, f.backups.string(), chosen);

  EXPECT_THAT(result.removed, ElementsAre(f.backups.string() + "/vl_040120_0000_00.zip"));
  EXPECT_THAT(result.failures,
              UnorderedElementsAre(HasSubstr("vl_010120_0000_00.zip\" cannot be examined: No such file"),
                                   HasSubstr("vl_020120_0000_00.zip\" was replaced"),
                                   HasSubstr("vl_030120_0000_00.zip\" has other names")));
  EXPECT_EQ(NamesIn(f.backups), (std::set<std::string>{"vl_020120_0000_00.zip", "vl_030120_0000_00.zip", kNew}));
}

TEST(Retention, RemovalGoesToTheFolderListedEvenWhenItsNameIsSwapped) {
  // The folder renamed and its name made a link elsewhere after listing: the
  // removal still happens in the folder that was listed.
  Folders f;
  MakeEntries(f.backups, {"vl_010120_0000_00.zip", kNew});
  platform::Directory folder(f.backups.string());
  std::vector<platform::DirectoryEntry> entries = folder.RegularFiles();
  std::vector<const platform::DirectoryEntry*> chosen = StampedToRemove(entries, ".zip", 1, kNew);
  fs::rename(f.backups, f.dir.path() / "moved");
  fs::create_directory_symlink(f.outside, f.backups);

  RetentionResult result = RemoveEntries(folder, f.backups.string(), chosen);

  EXPECT_THAT(result.failures, testing::IsEmpty());
  EXPECT_EQ(NamesIn(f.dir.path() / "moved"), std::set<std::string>{kNew});
  EXPECT_EQ(ReadFile((f.outside / "vl_010120_0000_00.zip").string()), "not ours");
}

TEST(Retention, ParseKeepBackups) {
  // clang-format off
  const std::vector<std::pair<std::string, std::optional<unsigned>>> cases = {
      {"0", 0u},         {"7", 7u},           {" 7 ", 7u},          {"\t12\r\n", 12u},   {"007", 7u},
      {"10000", 10000u}, {"10001", std::nullopt}, {"", std::nullopt}, {"   ", std::nullopt},
      {"-1", std::nullopt}, {"+3", std::nullopt}, {"3x", std::nullopt}, {"0x10", std::nullopt},
      {"1e3", std::nullopt}, {"3 4", std::nullopt}, {"3.0", std::nullopt},
      {"99999999999999999999999", std::nullopt}, {std::string("5\0", 2), 5u}};
  // clang-format on
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseKeepBackups(text), expected) << '"' << text << '"';
}

}  // namespace
}  // namespace vl
