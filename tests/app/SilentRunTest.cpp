// The real program in silent mode against the stand-in server. Each test is its
// own CTest test, so their ten-second waits overlap.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <thread>
#include <utility>

#include "tests/app/JobFixture.h"

#ifndef VLBACKUP_PROGRAM
#error "needs VLBACKUP_PROGRAM, the built program"
#endif

namespace vl::test {
namespace {

using testing::Each;
using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::MatchesRegex;
using testing::Not;
using testing::StartsWith;
namespace fs = std::filesystem;

constexpr auto TenSeconds = std::chrono::milliseconds(10000);

class SilentRun : public testing::Test {
 protected:
  ProgramRun Run(const std::vector<std::string>& arguments, const std::string& program = VLBACKUP_PROGRAM) {
    return Report(RunProgram(program, arguments, Options()));
  }
  // A run with standard error on a terminal, and what the terminal showed.
  std::pair<ProgramRun, std::string> RunAtTerminal(const std::vector<std::string>& arguments) {
    PseudoTerminal terminal;
    ProgramOptions options = Options();
    options.standardError = terminal.Terminal();
    ProgramRun run = Report(RunProgram(VLBACKUP_PROGRAM, arguments, options));
    return {std::move(run), terminal.Output()};
  }
  std::unique_ptr<RunningProgram> Start(const std::vector<std::string>& arguments) {
    return std::make_unique<RunningProgram>(VLBACKUP_PROGRAM, arguments, Options());
  }
  static ProgramRun Report(ProgramRun run) {
    std::cerr << "exit " << run.exitCode << " after " << run.took.count() << " ms; stderr:\n" << run.err;
    return run;
  }
  ProgramOptions Options() const {
    ProgramOptions options;
    options.set = settings_.Environment();
    // A run under cron: no display server.
    options.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    return options;
  }

  std::string Backups() const { return settings_.Backups(); }

  // The preferences name the backup folder; the data file reaches the server.
  void Prepare(const StandIn& server, bool dateStamp) {
    settings_.PointAt(server.host(), "SA", "secret");
    settings_.WritePreferences(Backups(), dateStamp);
  }

  SettingsFolders settings_;
};

bool IsStampedName(const std::string& name, const std::string& extension) {
  return std::regex_match(name, std::regex("vl_[0-9]{6}_[0-9]{4}_[0-9]{2}\\." + extension));
}

// --- runs that make a backup -------------------------------------------------

TEST_F(SilentRun, ZipPlainReplacesTheArchiveWithTheBackupFileInside) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, false);
  WriteFile(Backups() + "/vl.zip", "an older archive");

  const ProgramRun run = Run({"/S"});

  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_GE(run.took, TenSeconds);
  const ZipView zip = ViewZip(Backups() + "/vl.zip");
  EXPECT_TRUE(zip.intact);
  EXPECT_THAT(zip.names, ElementsAre("VL.BAK"));
  const std::string backup = ReadFile(Backups() + "/VL.BAK");
  EXPECT_EQ(backup.size(), 65536u);
  EXPECT_EQ(ZipEntry(Backups() + "/vl.zip", "VL.BAK"), backup);
  ASSERT_EQ(server.journal("backup").size(), 1u);
  EXPECT_EQ(server.journal("backup")[0].text("path"), Backups() + "/VL.BAK");
  EXPECT_EQ(server.journal("update").size(), 1u);
}

TEST_F(SilentRun, ZipStampedInLowerCaseAddsAStampedArchive) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, true);

  const ProgramRun run = Run({"/s"});

  EXPECT_EQ(run.exitCode, 0);
  const std::vector<std::string> entries = FolderEntries(Backups());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], FolderLock);
  EXPECT_EQ(entries[1], "VL.BAK");
  EXPECT_TRUE(IsStampedName(entries[2], "zip")) << entries[2];
  EXPECT_THAT(ViewZip(Backups() + "/" + entries[2]).names, ElementsAre("VL.BAK"));
  EXPECT_EQ(server.journal("update").size(), 1u);
}

TEST_F(SilentRun, NoZipPlainInMixedCaseBeforeTheSilentSwitchKeepsTheBackupFile) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, false);

  const ProgramRun run = Run({"/NoZip", "/S"});

  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_THAT(FolderEntries(Backups()), ElementsAre(FolderLock, "VL.BAK"));
  EXPECT_EQ(server.journal("update").size(), 1u);
}

TEST_F(SilentRun, NoZipStampedInLowerCaseCopiesToTheStampedName) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, true);

  const ProgramRun run = Run({"/nozip", "/s"});

  EXPECT_EQ(run.exitCode, 0);
  const std::vector<std::string> entries = FolderEntries(Backups());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], FolderLock);
  EXPECT_EQ(entries[1], "VL.BAK");
  EXPECT_TRUE(IsStampedName(entries[2], "bak")) << entries[2];
  EXPECT_EQ(ReadFile(Backups() + "/" + entries[2]), ReadFile(Backups() + "/VL.BAK"));
  EXPECT_EQ(server.journal("update").size(), 1u);
}

TEST_F(SilentRun, KeyValueArgumentsReachTheServer) {
  StandIn server(StandInConfig()
                     .databases({"Velloran", "VelloranTest"})
                     .login("MSSQLSERVER", "backup", "pw-x")
                     .noLogins("VELLORAN"));
  settings_.WriteDataFile({"Data Source=192.0.2.1", "User ID=nobody", "Password=nothing"});
  settings_.WritePreferences(Backups(), false);

  const ProgramRun run = Run({"Data Source=" + server.host(), "/S", "USER ID=backup", "Password=pw-x",
                              "Initial Catalog=VelloranTest", "/NOZIP"});

  EXPECT_EQ(run.exitCode, 0);
  const auto logins = server.journal("login");
  ASSERT_FALSE(logins.empty());
  EXPECT_EQ(logins[0].text("user"), "backup");
  EXPECT_EQ(logins[0].text("database"), "VelloranTest");
  EXPECT_TRUE(logins[0].flag("ok"));
  ASSERT_EQ(server.journal("update").size(), 1u);
  EXPECT_EQ(server.journal("update")[0].text("database"), "VelloranTest");
}

TEST_F(SilentRun, FailedDateUpdateEndsInTheLastResortHandler) {
  StandIn server(ServerWithLogin("SA", "secret").updateError(208, "Invalid object name 'SystemData'."));
  Prepare(server, false);

  const ProgramRun run = Run({"/S"});

  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.err, testing::MatchesRegex("vlbackup: Application Error: Exception [^ ]+ in module vlbackup at "
                                             "0x[0-9a-f]+\\. .*Invalid object name 'SystemData'\\.\n"));
  EXPECT_TRUE(ViewZip(Backups() + "/vl.zip").intact);
}

TEST_F(SilentRun, EngineFailureExitsWithTwoAndTheEnginesReason) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, false);
  fs::create_directories(Backups() + "/vl.zip");  // no archive can be written under this name

  const ProgramRun run = Run({"/S"});

  EXPECT_EQ(run.exitCode, 2);
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_THAT(lines[0], testing::MatchesRegex("vlbackup: Warning: Error compressing backup\\. The zip engine reported: "
                                              ".* \\(result code [0-9]+\\)\\. Please contact Corvanta for further "
                                              "assistance\\. .+"));
  EXPECT_THAT(lines[0], testing::EndsWith(Backups() + "/vl.zip."));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

// A tmpfs of its own as the backup folder, unmounted at the end.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, const std::string& size) : folder_(folder) {
    fs::create_directories(folder);
    const std::string options = "size=" + size + ",mode=0700";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0)
      mounted_ = true;
    else
      refusal_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& Refusal() const { return refusal_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string refusal_;
};

// The stand-in's backup fills the disk to the last page, so the server's file
// fits and not one page of the archive does, however well it compresses.
TEST_F(SilentRun, FullDiskSaysNoSpaceLeftOnDevice) {
  constexpr long long DiskBytes = 1024 * 1024;
  const std::string folder = settings_.Folder("small-disk");
  SmallDisk disk(folder, std::to_string(DiskBytes));
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << disk.Refusal();
  StandIn server(ServerWithLogin("SA", "secret").backupSize(DiskBytes));
  settings_.PointAt(server.host(), "SA", "secret");
  settings_.WritePreferences(folder, false);

  const ProgramRun run = Run({"/S"});

  EXPECT_EQ(run.exitCode, 2);
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_THAT(lines[0], testing::StartsWith("vlbackup: Warning: Error compressing backup. The zip engine reported: "));
  EXPECT_THAT(lines[0], HasSubstr("No space left on device"));
  EXPECT_EQ(fs::file_size(folder + "/VL.BAK"), static_cast<std::uintmax_t>(DiskBytes));
  EXPECT_THAT(FolderEntries(folder), Each(Not(MatchesRegex("\\.vl\\.zip\\..*\\.dztmp"))))
      << "the engine's temporary archive is left behind";
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

// --- a person at a terminal, a scheduler at a pipe ------------------------------

// How a line as wide as text is blanked at the end.
std::string Cleared(const std::string& text) { return "\r" + std::string(text.size(), ' ') + "\r"; }

TEST_F(SilentRun, TerminalShowsEachPhaseOnOneLineAndBlanksItAtTheEnd) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, false);

  const auto [run, shown] = RunAtTerminal({"/S"});

  EXPECT_EQ(run.exitCode, 0);
  EXPECT_THAT(shown, StartsWith("\rvlbackup: connecting\rvlbackup: backing up\r"));
  EXPECT_THAT(shown, HasSubstr("\rvlbackup: packing [0%]"));
  EXPECT_THAT(shown, HasSubstr("\rvlbackup: packing [100%]"));
  EXPECT_THAT(shown, HasSubstr("\rvlbackup: waiting"));
  EXPECT_THAT(shown, HasSubstr("\rvlbackup: recording the date"));
  // Blank to the widest text, so nothing of any text is left on the line.
  EXPECT_THAT(shown, EndsWith(Cleared("vlbackup: recording the date")));
  EXPECT_EQ(shown.find('\n'), std::string::npos);
  std::size_t packingTexts = 0;
  for (std::size_t at = shown.find("packing ["); at != std::string::npos; at = shown.find("packing [", at + 1))
    ++packingTexts;
  EXPECT_LE(packingTexts, 101u) << "one text per whole percent at most";
  EXPECT_TRUE(ViewZip(Backups() + "/vl.zip").intact);
}

TEST_F(SilentRun, PipeGetsNothingOnSuccess) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, false);

  // The program's standard error goes into a pipe; what comes out of it is captured.
  const ProgramRun run = Run({"-c", "set -o pipefail; \"$0\" /S 2>&1 | cat >&2", VLBACKUP_PROGRAM}, "/bin/bash");

  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(server.journal("update").size(), 1u);
}

// --- keeping the newest stamped archives -------------------------------------

struct KeepCase {
  const char* name;
  const char* keepLine;  // the preferences' "KeepBackups" line
  bool olderKept;        // whether the older stamped archives stay
  const char* err;
};

void PrintTo(const KeepCase& c, std::ostream* out) { *out << c.name; }

const KeepCase KeepCases[] = {
    {"KeepOne", "KeepBackups=1", false, ""},
    {"InvalidValueWarnsAndKeepsAll", "KeepBackups=1e3", true,
     "vlbackup: Warning: The preference \"KeepBackups\" is not a whole number from 0 to 10000, so all backups are "
     "kept.\n"},
};

class SilentRunKeeping : public SilentRun, public testing::WithParamInterface<KeepCase> {};

TEST_P(SilentRunKeeping, DeletesOnlyOlderStampedArchives) {
  const KeepCase& c = GetParam();
  StandIn server(ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  settings_.WritePreferences("[Main]\nPath=" + Backups() + "\nDateStamp=1\n" + c.keepLine + "\n");
  const std::vector<std::string> older = {"vl_010324_0000_00.zip", "vl_020324_0000_00.zip"};
  const std::vector<std::string> others = {"vl.zip", "vl_010324_0000_00.bak", "VL_010324_0000_00.ZIP", "notes.txt"};
  for (const auto& names : {older, others})
    for (const std::string& name : names) WriteFile(Backups() + "/" + name, name);

  const ProgramRun run = Run({"/S"});

  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, c.err);
  const std::vector<std::string> entries = FolderEntries(Backups());
  std::vector<std::string> stamped;
  for (const std::string& name : entries)
    if (IsStampedName(name, "zip")) stamped.push_back(name);
  EXPECT_EQ(stamped.size(), c.olderKept ? 3u : 1u) << testing::PrintToString(entries);
  for (const std::string& name : older) EXPECT_EQ(fs::exists(Backups() + "/" + name), c.olderKept) << name;
  for (const std::string& name : others) EXPECT_EQ(ReadFile(Backups() + "/" + name), name);
  EXPECT_EQ(server.journal("update").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SilentRunKeeping, testing::ValuesIn(KeepCases),
                         [](const testing::TestParamInfo<KeepCase>& info) { return std::string(info.param.name); });

// --- a hostile folder and a second run ---------------------------------------

class SilentRunWithSwap : public SilentRun, public testing::WithParamInterface<Swap> {};

TEST_P(SilentRunWithSwap, PacksNothingAndExitsWithTwo) {
  StandIn server(ServerWithLogin("SA", "secret"));
  Prepare(server, false);
  const std::string backupFile = Backups() + "/VL.BAK";
  const std::string outside = settings_.Folder("outside");
  WriteFile(outside, "a file of someone else's");
  // The program says it waits only once it has taken the measure of the file the
  // server wrote; the swap comes during its ten seconds.
  PseudoTerminal terminal;
  std::thread attacker([&] {
    if (terminal.WaitFor("vlbackup: waiting")) GetParam().act(backupFile, outside);
  });
  ProgramOptions options = Options();
  options.standardError = terminal.Terminal();
  const ProgramRun run = Report(RunProgram(VLBACKUP_PROGRAM, {"/S"}, options));
  attacker.join();

  EXPECT_EQ(run.exitCode, 2);
  EXPECT_THAT(terminal.Output(),
              EndsWith("vlbackup: Warning: Error compressing backup. The backup file \"" + backupFile + "\" " +
                       GetParam().why + ". Please contact Corvanta for further assistance.\n"));
  EXPECT_FALSE(fs::exists(Backups() + "/vl.zip"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(DuringTheWait, SilentRunWithSwap, testing::ValuesIn(Swaps),
                         [](const testing::TestParamInfo<Swap>& info) { return std::string(info.param.name); });

// True once some process holds the lock on the folder; a probe that gets the
// lock itself lets it go at once.
bool FolderLockHeld(const std::string& folder) {
  const int fd = ::open((folder + "/" + FolderLock).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

void WaitUntilTheFolderIsLocked(const std::string& folder) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!FolderLockHeld(folder)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the first run never took the folder's lock";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TEST_F(SilentRun, SecondRunIntoTheFolderFailsWhileTheFirstMakesACompleteArchive) {
  StandIn server(ServerWithLogin("SA", "secret").delaySeconds(2));
  Prepare(server, false);

  std::unique_ptr<RunningProgram> first = Start({"/S"});
  WaitUntilTheFolderIsLocked(Backups());
  const ProgramRun second = Run({"/S"});
  const ProgramRun firstRun = Report(first->Finish());

  EXPECT_EQ(second.exitCode, 2);
  EXPECT_EQ(second.err, "vlbackup: Error: Unable to back up into \"" + Backups() +
                            "\": another backup into this folder is running.\n");
  EXPECT_GE(second.took, std::chrono::seconds(5)) << "it waits a few seconds first";
  EXPECT_EQ(firstRun.exitCode, 0);
  EXPECT_EQ(firstRun.err, "");
  const std::string backup = ReadFile(Backups() + "/VL.BAK");
  EXPECT_EQ(backup.size(), 65536u);
  EXPECT_TRUE(ViewZip(Backups() + "/vl.zip").intact);
  EXPECT_EQ(ZipEntry(Backups() + "/vl.zip", "VL.BAK"), backup);
  EXPECT_EQ(server.journal("backup").size(), 1u) << "the second run sent no backup";
  EXPECT_EQ(server.journal("update").size(), 1u);
}

TEST_F(SilentRun, KilledRunLeavesTheFolderFree) {
  StandIn stuck(ServerWithLogin("SA", "secret").delaySeconds(60));
  Prepare(stuck, false);
  std::unique_ptr<RunningProgram> first = Start({"/S"});
  WaitUntilTheFolderIsLocked(Backups());
  ::kill(first->pid(), SIGKILL);
  EXPECT_EQ(first->Finish().exitCode, -1);

  StandIn server(ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  const ProgramRun second = Run({"/S", "/NOZIP"});

  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(server.journal("update").size(), 1u);
}

// --- runs that stop before the wait -------------------------------------------

// Without the ten-second wait; these also run in the sanitizer build.
class SilentRunStops : public SilentRun {};

TEST_F(SilentRunStops, RefusedLoginsExitWithTwoAndTheReasonOnStandardError) {
  StandIn server(ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "wrong");
  settings_.WritePreferences(Backups(), false);
  WriteFile(Backups() + "/vl.zip", "yesterday's archive");

  const ProgramRun run = Run({"/S"});

  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "vlbackup: Error: Unable to connect to the Velloran database 'Velloran' on '" + server.host() +
                         "\\VELLORAN'. Please check your connection properties. The configured connection to '" +
                         server.host() +
                         "' failed: Login failed for user 'SA'. Unable to connect to data source "
                         "(SQLSTATE 42000, native error 18456)\n");
  EXPECT_THAT(FolderEntries(Backups()), ElementsAre("vl.zip"));
  EXPECT_EQ(ReadFile(Backups() + "/vl.zip"), "yesterday's archive");
  EXPECT_THAT(server.journal("statement"), IsEmpty());
  EXPECT_LT(run.took, TenSeconds);
}

TEST_F(SilentRunStops, TerminalLineIsBlankedBeforeTheFailureLine) {
  StandIn server(ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "wrong");
  settings_.WritePreferences(Backups(), false);

  const auto [run, shown] = RunAtTerminal({"/S"});

  EXPECT_EQ(run.exitCode, 2);
  const std::string progress = "\rvlbackup: connecting" + Cleared("vlbackup: connecting");
  EXPECT_THAT(shown, StartsWith(progress + "vlbackup: Error: Unable to connect to the Velloran database"));
  EXPECT_EQ(shown.find('\n'), shown.size() - 1) << "one line, ended";
}

// A failing step of a silent run: exit code 2 and one line on standard error,
// the job's message first and the cause after it.
struct SilentFailure {
  const char* name;
  int backupError;  // the server's error for the backup command, or 0
  bool linkAsLockFile;
  std::string (*start)(const std::string& backups);
  const char* end;
};

void PrintTo(const SilentFailure& failure, std::ostream* out) { *out << failure.name; }

const SilentFailure SilentFailures[] = {
    {"Lock", 0, true,
     [](const std::string& backups) {
       return "vlbackup: Error: Unable to lock the backup folder \"" + backups + "\" \"" + backups + "/" + FolderLock +
              "\"";
     },
     " is a symbolic link."},
    {"BackupCommand", 3201, false,
     [](const std::string& backups) {
       return "vlbackup: Warning: Error backing up Database. Cannot open backup device '" + backups + "/VL.BAK'";
     },
     " Please contact Corvanta for further assistance. SQLSTATE 42000, native error 3201."},
};

class SilentRunStopsAt : public SilentRun, public testing::WithParamInterface<SilentFailure> {};

TEST_P(SilentRunStopsAt, ExitsWithTwoAndOneLineWithTheCause) {
  const SilentFailure& failure = GetParam();
  StandInConfig config = ServerWithLogin("SA", "secret");
  if (failure.backupError != 0) config.backupError(failure.backupError, 3);
  StandIn server(config);
  Prepare(server, false);
  if (failure.linkAsLockFile) fs::create_symlink(settings_.Folder("elsewhere"), Backups() + "/" + FolderLock);

  const ProgramRun run = Run({"/S"});

  EXPECT_EQ(run.exitCode, 2);
  const std::vector<std::string> lines = Lines(run.err);
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_THAT(lines[0], testing::StartsWith(failure.start(Backups())));
  EXPECT_THAT(lines[0], testing::EndsWith(failure.end));
  EXPECT_LT(run.took, TenSeconds);
  EXPECT_FALSE(fs::exists(settings_.Folder("elsewhere")));
  EXPECT_FALSE(fs::exists(Backups() + "/vl.zip"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(EachStep, SilentRunStopsAt, testing::ValuesIn(SilentFailures),
                         [](const testing::TestParamInfo<SilentFailure>& info) {
                           return std::string(info.param.name);
                         });

// Anything but a true "/S" chooses the interactive run, which without a display
// stops at once instead of showing a window nobody could close.
TEST_F(SilentRunStops, ArgumentsThatAreNotTheSilentSwitchChooseTheWindow) {
  settings_.WritePreferences(Backups(), false);
  const std::vector<std::vector<std::string>> commandLines = {{},    {"/NOZIP"}, {"-S"},  {"/Silent"},
                                                              {"S"}, {"/S:"},    {"/S "}, {"Data Source=x"}};
  for (const auto& arguments : commandLines) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    const ProgramRun run = Run(arguments);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err,
              "vlbackup: Error: No display is available for the window. Start vlbackup with /S for a "
              "silent backup.\n");
  }
  EXPECT_THAT(FolderEntries(Backups()), IsEmpty());
}

TEST_F(SilentRunStops, MissingEngineExitsWithOne) {
  TempDir alone;
  const std::string program = alone / "vlbackup";
  fs::copy_file(VLBACKUP_PROGRAM, program);
  settings_.WritePreferences(Backups(), false);

  const ProgramRun run = Run({"/S", "/NOZIP"}, program);

  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.err, HasSubstr("Could not load DZIP32.DLL!"));
  EXPECT_THAT(FolderEntries(Backups()), IsEmpty());
}

}  // namespace
}  // namespace vl::test
