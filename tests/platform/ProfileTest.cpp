#include "platform/Profile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>

#include <filesystem>
#include <optional>
#include <random>

#include "tests/support/FileSizeLimit.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace vl::platform {
namespace {
using test::ReadFile;
using test::ScopedEnv;
using test::TempDir;
using test::WriteFile;
using testing::HasSubstr;
namespace fs = std::filesystem;

struct ReadCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  const char* expected;  // with the default "<default>"
};

class ProfileRead : public testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, FindsTheEntryAsWindowsWould) {
  const ReadCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "s.ini", c.content);
  EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "<default>", dir / "s.ini"), c.expected);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRead,
    testing::Values(ReadCase{"Plain", "[Misc]\nLogin=1\n", "Misc", "Login", "1"},
                    ReadCase{"SectionAndKeyIgnoreCase", "[mIsC]\nlogIN=1\n", "Misc", "LOGIN", "1"},
                    ReadCase{"FirstEntryWins", "[S]\nk=a\nk=b\n", "S", "k", "a"},
                    ReadCase{"RepeatedSectionIsSearchedOn", "[S]\nx=1\n[T]\nk=t\n[s]\nk=b\n", "S", "k", "b"},
                    ReadCase{"KeyOfOtherSectionIgnored", "[T]\nk=t\n[S]\nj=1\n", "S", "k", "<default>"},
                    ReadCase{"EntryBeforeAnySectionIgnored", "k=x\n[S]\n", "S", "k", "<default>"},
                    ReadCase{"MissingSection", "[T]\nk=t\n", "S", "k", "<default>"},
                    ReadCase{"BlanksAroundKeyAndValue", "  [ S ]  \n\t k \t=  v a \t\n", "S", "k", "v a"},
                    ReadCase{"DoubleQuotesRemoved", "[S]\nk= \" a b \" \n", "S", "k", " a b "},
                    ReadCase{"SingleQuotesRemoved", "[S]\nk='x'\n", "S", "k", "x"},
                    ReadCase{"UnmatchedQuotesKept", "[S]\nk=\"x'\n", "S", "k", "\"x'"},
                    ReadCase{"LoneQuoteKept", "[S]\nk=\"\n", "S", "k", "\""},
                    ReadCase{"EmptyValueIsNotTheDefault", "[S]\nk=\n", "S", "k", ""},
                    ReadCase{"BlankValueIsEmpty", "[S]\nk=   \n", "S", "k", ""},
                    ReadCase{"ValueKeepsLaterEquals", "[S]\nk=a=b;c\n", "S", "k", "a=b;c"},
                    ReadCase{"LineWithoutEqualsIsNoEntry", "[S]\nk\nk=v\n", "S", "k", "v"},
                    ReadCase{"OnlyLineWithoutEquals", "[S]\nk\n", "S", "k", "<default>"},
                    ReadCase{"CrLfEndings", "[S]\r\nk=v\r\nz=1\r\n", "S", "k", "v"},
                    ReadCase{"LoneCrEndings", "[S]\rk=v\r", "S", "k", "v"},
                    ReadCase{"NoFinalLineBreak", "[S]\nk=v", "S", "k", "v"},
                    ReadCase{"HeaderWithoutBracketIsNoSection", "[S\nk=v\n", "S", "k", "<default>"},
                    ReadCase{"CommentLineIsNoEntry", "[S]\n;k=c\nk=v\n", "S", "k", "v"},
                    ReadCase{"NulEndsTheValue", "[S]\nk=ab\0cd\n"s, "S", "k", "ab"},
                    ReadCase{"EmptyFile", "", "S", "k", "<default>"}),
    [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(Profile, LongValuesAreCutAt2047Characters) {
  TempDir dir;
  WriteFile(dir / "s.ini", "[S]\nk=" + std::string(3000, 'v') + "\n");
  EXPECT_EQ(GetPrivateProfileString("S", "k", "", dir / "s.ini"), std::string(2047, 'v'));
  // The default is cut the same way and loses trailing blanks, as the buffer would.
  EXPECT_EQ(GetPrivateProfileString("S", "none", std::string(3000, 'd'), dir / "s.ini"), std::string(2047, 'd'));
  EXPECT_EQ(GetPrivateProfileString("S", "none", "d  ", dir / "s.ini"), "d");
}

TEST(Profile, UnreadableNamesGiveTheDefault) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);  // would block a naive reader
  fs::create_symlink(dir / "gone", dir / "dangling");
  for (const std::string& name :
       {dir / "missing.ini", dir / "folder", dir / "fifo", dir / "dangling", std::string("/dev/zero")}) {
    EXPECT_EQ(GetPrivateProfileString("S", "k", "d", name), "d") << name;
  }
}

TEST(Profile, FileWithoutReadPermissionGivesTheDefault) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
  TempDir dir;
  WriteFile(dir / "s.ini", "[S]\nk=v\n");
  fs::permissions(dir / "s.ini", fs::perms::none);
  EXPECT_EQ(GetPrivateProfileString("S", "k", "d", dir / "s.ini"), "d");
}

TEST(Profile, BinaryGarbageNeverHidesOrBreaksAnEntry) {
  TempDir dir;
  std::mt19937 random(7);
  std::string garbage(256 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  WriteFile(dir / "garbage.ini", garbage);
  EXPECT_EQ(GetPrivateProfileString("S", "k", "d", dir / "garbage.ini"), "d");
  WriteFile(dir / "tail.ini", garbage + "\n[S]\nk=v\n");
  EXPECT_EQ(GetPrivateProfileString("S", "k", "d", dir / "tail.ini"), "v");
}

TEST(Profile, TenMegabyteFileIsReadWhole) {
  TempDir dir;
  std::string big;
  big.reserve(10u << 20);
  big += "[Other]\n";
  while (big.size() < (10u << 20)) big += "filler line without any equals sign at all\n";
  WriteFile(dir / "big.ini", big + "[S]\nk=v");
  EXPECT_EQ(GetPrivateProfileString("S", "k", "d", dir / "big.ini"), "v");
}

TEST(Profile, BareNamesLiveInTheSystemSettingsDirectory) {
  TempDir dir;
  ScopedEnv sysconf("VLBACKUP_SYSCONFDIR", dir.str());
  EXPECT_EQ(ResolveProfileFileName("VL2000.INI"), dir / "VL2000.INI");
  EXPECT_EQ(ResolveProfileFileName("sub/x.ini"), "sub/x.ini");
  EXPECT_EQ(ResolveProfileFileName("/abs/x.ini"), "/abs/x.ini");
  WriteFile(dir / "VL2000.INI", "[Misc]\nLogin=1\n");
  EXPECT_EQ(GetPrivateProfileString("Misc", "Login", "0", "VL2000.INI"), "1");
  EXPECT_TRUE(WritePrivateProfileString("Misc", "Other", "2", "VL2000.INI"));
  EXPECT_EQ(ReadFile(dir / "VL2000.INI"), "[Misc]\nLogin=1\nOther=2\n");
}

struct WriteCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

class ProfileWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWrite, ChangesOnlyTheEntry) {
  const WriteCase& c = GetParam();
  TempDir dir;
  WriteFile(dir / "p.ini", c.before);
  ASSERT_TRUE(WritePrivateProfileString(c.section, c.key, c.value, dir / "p.ini"));
  EXPECT_EQ(ReadFile(dir / "p.ini"), c.after);
  EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "<default>", dir / "p.ini"), c.value);
  EXPECT_EQ(dir.Entries().size(), 1u) << "no temporary file may stay behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileWrite,
    testing::Values(
        WriteCase{
            "UpdateInPlaceKeepsEverythingElse",
            "; made by hand\r\n[Main]\r\nPath=/old\r\n  unknown line\r\nDateStamp=1\r\n\r\n[Other]\r\nPath=x", "Main",
            "Path", "/new/place",
            "; made by hand\r\n[Main]\r\nPath=/new/place\r\n  unknown line\r\nDateStamp=1\r\n\r\n[Other]\r\nPath=x"},
        WriteCase{"UpdateIgnoresCaseAndKeepsTheFileSpelling", "[MAIN]\n  path = a \n", "Main", "Path", "b",
                  "[MAIN]\npath=b\n"},
        WriteCase{"UpdatesOnlyTheFirstMatch", "[Main]\nk=1\nk=2\n", "Main", "k", "3", "[Main]\nk=3\nk=2\n"},
        WriteCase{"AppendsKeyAtEndOfItsSection", "[Main]\nPath=a\n\n[Other]\nx=1\n", "Main", "DateStamp", "1",
                  "[Main]\nPath=a\nDateStamp=1\n\n[Other]\nx=1\n"},
        WriteCase{"AppendsKeyAfterHeaderWithoutLineBreak", "[Main]", "Main", "k", "v", "[Main]\nk=v\n"},
        WriteCase{"AppendsKeyInCrLfFile", "[Main]\r\na=1\r\n", "Main", "k", "v", "[Main]\r\na=1\r\nk=v\r\n"},
        WriteCase{"AppendsSection", "[Other]\nx=1\n", "Main", "k", "v", "[Other]\nx=1\n\n[Main]\nk=v\n"},
        WriteCase{"AppendsSectionAfterMissingLineBreak", "[Other]\r\nx=1", "Main", "k", "v",
                  "[Other]\r\nx=1\r\n\r\n[Main]\r\nk=v\r\n"},
        WriteCase{"AppendsSectionAfterBlankLine", "x\n\n", "Main", "k", "v", "x\n\n[Main]\nk=v\n"},
        WriteCase{"EmptyFile", "", "Main", "k", "v", "[Main]\nk=v\n"},
        WriteCase{"ValueStoredVerbatim", "[Main]\nk=1\n", "Main", "k", "a;b=c \\x", "[Main]\nk=a;b=c \\x\n"},
        WriteCase{"EmptyValue", "[Main]\nk=1\n", "Main", "k", "", "[Main]\nk=\n"},
        // Written and read back under the same padded names.
        WriteCase{"PaddedNamesAreTrimmed", "[Main]\nPath=a\n", " Main\t", "\tPath ", "b", "[Main]\nPath=b\n"}),
    [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST(Profile, WriteCreatesAMissingFileButNotItsFolder) {
  TempDir dir;
  EXPECT_TRUE(WritePrivateProfileString("Main", "Path", "/x", dir / "new.ini"));
  EXPECT_EQ(ReadFile(dir / "new.ini"), "[Main]\nPath=/x\n");
  std::string why;
  EXPECT_FALSE(WritePrivateProfileString("Main", "Path", "/x", dir / "nofolder/new.ini", &why));
  EXPECT_THAT(why, HasSubstr("No such file or directory"));
  EXPECT_FALSE(fs::exists(dir / "nofolder"));
}

TEST(Profile, WriteRefusesAReadOnlyFileEvenForRoot) {
  TempDir dir;
  WriteFile(dir / "p.ini", "[Main]\nPath=/old\n");
  fs::permissions(dir / "p.ini", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::string why;
  EXPECT_FALSE(WritePrivateProfileString("Main", "Path", "/new", dir / "p.ini", &why));
  EXPECT_EQ(why, "\"" + (dir / "p.ini") + "\" is read-only");
  EXPECT_EQ(ReadFile(dir / "p.ini"), "[Main]\nPath=/old\n");
  EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST(Profile, WriteKeepsPermissions) {
  TempDir dir;
  WriteFile(dir / "p.ini", "[Main]\n");
  fs::permissions(dir / "p.ini", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(WritePrivateProfileString("Main", "k", "v", dir / "p.ini"));
  EXPECT_EQ(ReadFile(dir / "p.ini"), "[Main]\nk=v\n");
  EXPECT_EQ(fs::status(dir / "p.ini").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// In a folder others can write to, a link planted at the file's name must not
// point the write at another file, existing or not.
TEST(Profile, WriteRefusesASymbolicLinkUnderTheName) {
  TempDir dir;
  WriteFile(dir / "victim", "[Main]\nuntouched=1\n");
  fs::create_symlink(dir / "victim", dir / "link.ini");
  fs::create_symlink(dir / "created-elsewhere", dir / "dangling.ini");
  EXPECT_FALSE(WritePrivateProfileString("Main", "k", "v", dir / "link.ini"));
  EXPECT_FALSE(WritePrivateProfileString("Main", "k", "v", dir / "dangling.ini"));
  EXPECT_EQ(ReadFile(dir / "victim"), "[Main]\nuntouched=1\n");
  EXPECT_FALSE(fs::exists(dir / "created-elsewhere"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.ini"));
  EXPECT_EQ(dir.Entries().size(), 3u);
}

TEST(Profile, WriteRefusesWhatCannotBeStoredAsOneLine) {
  TempDir dir;
  const std::string before = "[Main]\nPath=/old\n";
  WriteFile(dir / "p.ini", before);
  struct Bad {
    std::string section, key, value;
  };
  for (const Bad& bad : {Bad{"Main", "Path", "/a\n[Evil]\nx=1"}, Bad{"Main", "Path", "a\rb"},
                         Bad{"Main", "Path", "a\0b"s}, Bad{"Main", "Pa=th", "v"}, Bad{"Ma]in", "Path", "v"},
                         Bad{"Main", "", "v"}, Bad{"", "Path", "v"}, Bad{"Main", "[Path", "v"}}) {
    EXPECT_FALSE(WritePrivateProfileString(bad.section, bad.key, bad.value, dir / "p.ini"))
        << bad.section << "/" << bad.key;
  }
  EXPECT_EQ(ReadFile(dir / "p.ini"), before);
  EXPECT_FALSE(WritePrivateProfileString("Main", "Path", "v", dir.str())) << "a folder is no file";
}

TEST(Profile, WriteThatRunsOutOfSpaceKeepsTheOldFile) {
  TempDir dir;
  const std::string before = "[Main]\nPath=/old\n" + std::string(100000, ';') + "\n";
  WriteFile(dir / "p.ini", before);
  const int result = test::UnderFileSizeLimit(
      50000, [&] { return WritePrivateProfileString("Main", "Path", "/new", dir / "p.ini") ? 1 : 0; });
  EXPECT_EQ(result, 0) << "the write must report failure";
  EXPECT_EQ(ReadFile(dir / "p.ini"), before);
  EXPECT_EQ(dir.Entries().size(), 1u);
}

}  // namespace
}  // namespace vl::platform
