// The backup job against a stand-in server, with the clock and the wait injected.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

#include "app/RunModes.h"
#include "archive/DynaLibZ.h"
#include "platform/CommandLine.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"
#include "tests/app/JobFixture.h"
#include "ui/main.h"

namespace vl {
namespace {

using platform::AppCursor;
using platform::MessageKind;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;
namespace fs = std::filesystem;

std::string ProgramPath;  // this test program, beside the zip engine

struct Box {
  MessageKind kind;
  std::string caption;
  std::string text;
};

class RecordingUserInterface : public platform::UserInterface {
 public:
  void ShowMessage(MessageKind kind, const std::string& caption, const std::string& text) override {
    boxes.push_back({kind, caption, text});
  }
  void SetCursor(AppCursor cursor) override {
    cursors.push_back(cursor);
    if (cursorFails) throw Exception("no cursor here");
  }
  void RequestTerminate() override {}

  std::vector<Box> boxes;
  std::vector<AppCursor> cursors;
  bool cursorFails = false;
};

const platform::LocalDateTime FifthOfMarch{2024, 3, 5, 14, 7, 9};
const std::string FifthOfMarchStamp = "050324_1407_09";
const std::string Contact = "Please contact Corvanta for further assistance.";

// Moves the process into a folder for one test.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& folder) : old_(fs::current_path()) { fs::current_path(folder); }
  ~WorkingDirectory() { fs::current_path(old_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path old_;
};

class RunBackupTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, value] : settings_.Environment()) ::setenv(name.c_str(), value.c_str(), 1);
    platform::SetCommandLine({ProgramPath});
    platform::InstallUserInterface(&ui_);
    SilentMode = false;
    NoZipMode = false;
  }
  void TearDown() override {
    form_.reset();
    platform::InstallUserInterface(nullptr);
    SilentMode = false;
    NoZipMode = false;
  }

  // The window as the job finds it: folder text and time-stamp choice, with a
  // recording wait and a fixed clock.
  TfrmBackup& Form(const std::string& folderText, bool stamped) {
    form_ = std::make_unique<TfrmBackup>();
    form_->edtpath->setText(QString::fromLocal8Bit(folderText.c_str()));
    form_->UseDateStamp = stamped;
    form_->Wait = [this](unsigned milliseconds) {
      waits_.push_back(milliseconds);
      if (milliseconds == 10000 && duringTheWait_) duringTheWait_();
    };
    form_->Clock = [this] {
      ++clockReads_;
      return FifthOfMarch;
    };
    return *form_;
  }

  std::vector<std::string> BackupPaths(const test::StandIn& server) {
    std::vector<std::string> paths;
    for (const auto& record : server.journal("backup")) paths.push_back(record.text("path"));
    return paths;
  }

  std::string Backups() const { return settings_.Backups(); }

  test::SettingsFolders settings_;
  RecordingUserInterface ui_;
  std::unique_ptr<TfrmBackup> form_;
  std::vector<unsigned> waits_;
  int clockReads_ = 0;
  std::function<void()> duringTheWait_;  // runs inside the ten-second wait
};

// --- successful runs --------------------------------------------------------

TEST_F(RunBackupTest, ZipModeReplacesThePlainArchiveAndRecordsTheDate) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  test::WriteFile(Backups() + "/vl.zip", "an older archive");
  TfrmBackup& form = Form("  " + Backups() + "/  ", false);

  form.RunBackup();

  EXPECT_THAT(BackupPaths(server), ElementsAre(Backups() + "/VL.BAK"));
  EXPECT_THAT(waits_, ElementsAre(10000u));
  EXPECT_EQ(clockReads_, 0);
  const test::ZipView zip = test::ViewZip(Backups() + "/vl.zip");
  EXPECT_TRUE(zip.intact);
  EXPECT_THAT(zip.names, ElementsAre("VL.BAK"));
  EXPECT_EQ(test::ZipEntry(Backups() + "/vl.zip", "VL.BAK"), test::ReadFile(Backups() + "/VL.BAK"));
  EXPECT_EQ(server.journal("update").size(), 1u);
  EXPECT_TRUE(form.BackupRecorded);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Information);
  EXPECT_EQ(ui_.boxes[0].text, "Backup completed successfully.");
  EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow));
  EXPECT_TRUE(form.ZipFile->Options.Contains(LargeZIPFilesFlag));
}

TEST_F(RunBackupTest, ZipModeWithStampReadsTheClockOnceAndKeepsOlderArchives) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  test::WriteFile(Backups() + "/vl.zip", "an older archive");
  TfrmBackup& form = Form(Backups(), true);

  form.RunBackup();

  EXPECT_EQ(clockReads_, 1);
  EXPECT_THAT(test::FolderEntries(Backups()), ElementsAre(test::FolderLock, "VL.BAK", "vl.zip", "vl_" + FifthOfMarchStamp + ".zip"));
  EXPECT_TRUE(test::ViewZip(Backups() + "/vl_" + FifthOfMarchStamp + ".zip").intact);
  EXPECT_EQ(test::ReadFile(Backups() + "/vl.zip"), "an older archive");
  EXPECT_EQ(server.journal("update").size(), 1u);
  EXPECT_TRUE(form.BackupRecorded);
}

TEST_F(RunBackupTest, NoZipModeKeepsTheBackupFileOrCopiesItToTheStampedName) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;

  TfrmBackup& plain = Form(Backups(), false);
  plain.RunBackup();
  EXPECT_THAT(test::FolderEntries(Backups()), ElementsAre(test::FolderLock, "VL.BAK"));
  EXPECT_TRUE(plain.BackupRecorded);
  EXPECT_EQ(clockReads_, 0);

  // Two stamped runs within one second: the second copy replaces the first.
  TfrmBackup& stamped = Form(Backups() + "//", true);
  stamped.RunBackup();
  test::WriteFile(Backups() + "/vl_" + FifthOfMarchStamp + ".bak", "the first copy");
  stamped.RunBackup();

  EXPECT_THAT(BackupPaths(server), ElementsAre(Backups() + "/VL.BAK", Backups() + "//VL.BAK", Backups() + "//VL.BAK"));
  EXPECT_THAT(test::FolderEntries(Backups()),
              ElementsAre(test::FolderLock, "VL.BAK", "vl_" + FifthOfMarchStamp + ".bak"));
  EXPECT_EQ(test::ReadFile(Backups() + "/vl_" + FifthOfMarchStamp + ".bak"), test::ReadFile(Backups() + "/VL.BAK"));
  EXPECT_TRUE(stamped.BackupRecorded);
  EXPECT_EQ(server.journal("update").size(), 3u);
  EXPECT_THAT(waits_, ElementsAre(10000u, 10000u, 10000u));
  EXPECT_EQ(ui_.boxes.size(), 3u);
}

TEST_F(RunBackupTest, FolderWhoseNameHoldsQuotesAndBlanksPacks) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  const std::string folder = Backups() + "/say \"a\" b\"";
  fs::create_directories(folder);
  TfrmBackup& form = Form(folder, false);

  form.RunBackup();

  EXPECT_TRUE(form.BackupRecorded);
  const test::ZipView zip = test::ViewZip(folder + "/vl.zip");
  EXPECT_TRUE(zip.intact);
  EXPECT_THAT(zip.names, ElementsAre("VL.BAK"));
  EXPECT_EQ(test::ZipEntry(folder + "/vl.zip", "VL.BAK"), test::ReadFile(folder + "/VL.BAK"));
}

TEST_F(RunBackupTest, CursorThatCannotBeSetIsIgnored) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  ui_.cursorFails = true;
  NoZipMode = true;
  TfrmBackup& form = Form(Backups(), false);

  form.RunBackup();

  EXPECT_TRUE(form.BackupRecorded);
  EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow));
}

// --- failures ----------------------------------------------------------------

struct Outcome {
  std::vector<Box> boxes;
  std::vector<std::string> heldBack;
  bool recorded;
};

// Runs the job once shown and once silent; both must fail alike, the silent run
// holding back exactly the boxes the shown run showed.
class FailingRunTest : public RunBackupTest {
 protected:
  void ExpectSameFailureSilently(const std::function<void()>& run) {
    SilentMode = false;
    run();
    const std::vector<Box> shown = ui_.boxes;
    ui_.boxes.clear();
    SilentMode = true;
    run();
    EXPECT_THAT(ui_.boxes, IsEmpty());
    EXPECT_FALSE(form_->BackupRecorded);
    std::vector<std::string> expected;
    for (const Box& box : shown) expected.push_back(platform::ConsoleLine(platform::CaptionOf(box.kind), box.text));
    EXPECT_EQ(form_->SuppressedMessages, expected);
    ui_.boxes = shown;
  }
};

TEST_F(FailingRunTest, RefusedLoginsShowTheConnectTextAndLeaveTheFolderAlone) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "wrong");
  test::WriteFile(Backups() + "/VL.BAK", "yesterday");
  test::WriteFile(Backups() + "/vl.zip", "yesterday's archive");

  ExpectSameFailureSilently([&] { Form(Backups(), false).RunBackup(); });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Error);
  // Under the message, what the server said to the configured login.
  EXPECT_EQ(ui_.boxes[0].text, "Unable to connect to the Velloran database 'Velloran' on '" + server.host() +
                                   "\\VELLORAN'.\n\nPlease check your connection properties.\n\n"
                                   "The configured connection to '" + server.host() +
                                   "' failed: Login failed for user 'SA'.\nUnable to connect to data source "
                                   "(SQLSTATE 42000, native error 18456)");
  EXPECT_EQ(test::ReadFile(Backups() + "/VL.BAK"), "yesterday");
  EXPECT_EQ(test::ReadFile(Backups() + "/vl.zip"), "yesterday's archive");
  EXPECT_THAT(server.journal("statement"), IsEmpty());
  EXPECT_THAT(waits_, IsEmpty());
  EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow, AppCursor::Busy, AppCursor::Arrow));
}

TEST_F(FailingRunTest, BackupCommandErrorIsAWarningWithTheServersText) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").backupError(3201, 5));
  settings_.PointAt(server, "SA", "secret");

  ExpectSameFailureSilently([&] { Form(Backups(), false).RunBackup(); });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Warning);
  EXPECT_THAT(ui_.boxes[0].text, StartsWith("Error backing up Database.\n\r\n\r"));
  EXPECT_THAT(ui_.boxes[0].text, HasSubstr("Cannot open backup device '" + Backups() + "/VL.BAK'"));
  EXPECT_THAT(ui_.boxes[0].text, testing::EndsWith("\n\r\n\r" + Contact));
  EXPECT_THAT(waits_, IsEmpty());
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_THAT(test::FolderEntries(Backups()), ElementsAre(test::FolderLock));
}

TEST_F(FailingRunTest, BackupFileTheProgramCannotSeeIsReportedWithTheTrimmedFolder) {
  // The server resolves a relative folder against its own folder, the program
  // against its working directory: the server writes a file the program cannot see.
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  const std::string relative = "seen-only-by-the-server";
  fs::create_directories(server.folder() / relative);
  test::TempDir programSide;
  fs::create_directories(programSide.path() / relative);
  const WorkingDirectory cwd(programSide.path());

  ExpectSameFailureSilently([&] { Form(" " + relative + "/ ", false).RunBackup(); });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Error);
  EXPECT_EQ(ui_.boxes[0].text, "Unable to write backup file to \"" + relative +
                                   "\"\n\r\n\rPlease ensure you have permission to write to the selected folder.");
  EXPECT_THAT(waits_, IsEmpty());
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

TEST_F(FailingRunTest, FailedStampedCopyShowsNothingAndRecordsNoDate) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;
  const std::string target = Backups() + "/vl_" + FifthOfMarchStamp + ".bak";
  fs::create_directories(target);  // a folder cannot be replaced by the copy

  SilentMode = false;
  Form(Backups(), true).RunBackup();
  EXPECT_THAT(ui_.boxes, IsEmpty());
  EXPECT_FALSE(form_->BackupRecorded);

  SilentMode = true;
  Form(Backups(), true).RunBackup();
  EXPECT_THAT(form_->SuppressedMessages,
              ElementsAre("vlbackup: Error: Unable to copy the backup file to \"" + target + "\": \"" + target +
                          "\" cannot be replaced: Is a directory."));
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_THAT(test::FolderEntries(Backups()),
              ElementsAre(test::FolderLock, "VL.BAK", "vl_" + FifthOfMarchStamp + ".bak"));
  EXPECT_TRUE(fs::is_directory(target));
}

TEST_F(FailingRunTest, EngineFailureIsAPackingFailureNotASuccess) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  fs::create_directories(Backups() + "/vl.zip");  // no archive can be written under this name

  ExpectSameFailureSilently([&] { Form(Backups(), false).RunBackup(); });

  const std::int32_t code = form_->ZipFile->ResultCode();
  EXPECT_NE(code, 0);
  // The engine's own reason follows its result, naming what it could not create.
  const std::string detail = form_->ZipFile->ResultDetail();
  EXPECT_THAT(detail, HasSubstr(Backups() + "/vl.zip"));
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Warning);
  EXPECT_EQ(ui_.boxes[0].text, std::string("Error compressing backup.\n\r\n\rThe zip engine reported: ") +
                                   DzipResultText(code) + " (result code " + std::to_string(code) + "). " +
                                   detail + (detail.back() == '.' ? "" : ".") + "\n\r\n\r" + Contact);
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_THAT(waits_, ElementsAre(10000u, 10000u));
}

TEST_F(FailingRunTest, ArchivePlantedAtTheStampedNameIsRefusedWithTheEngineReason) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  const std::string stamped = Backups() + "/vl_" + FifthOfMarchStamp + ".zip";
  test::WriteFile(Backups() + "/elsewhere", "not a backup");
  fs::create_symlink(Backups() + "/elsewhere", stamped);

  ExpectSameFailureSilently([&] { Form(Backups(), true).RunBackup(); });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Warning);
  EXPECT_THAT(ui_.boxes[0].text, HasSubstr(std::string("The zip engine reported: ") +
                                           DzipResultText(DZ_ERR_UNSAFE_ARCHIVE) + " (result code 11). " + stamped));
  EXPECT_TRUE(fs::is_symlink(stamped));
  EXPECT_EQ(test::ReadFile(Backups() + "/elsewhere"), "not a backup");
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

TEST_F(FailingRunTest, ErrorRaisedWhilePackingIsShownAfterThePreviousArchiveIsGone) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");

  ExpectSameFailureSilently([&] {
    test::WriteFile(Backups() + "/vl.zip", "an older archive");
    TfrmBackup& form = Form(Backups(), false);
    form.ZipFile->OnMajorCallback = [](const char*, std::int32_t, bool&) { throw Exception("Stopped by the test"); };
    form.RunBackup();
  });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Warning);
  EXPECT_EQ(ui_.boxes[0].text, "Error compressing backup.\n\r\n\rStopped by the test\n\r\n\r" + Contact);
  EXPECT_FALSE(fs::exists(Backups() + "/vl.zip"));
  EXPECT_TRUE(fs::exists(Backups() + "/VL.BAK"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

// --- the file packed is the file the server wrote ---------------------------

class SwappedBackupFile : public FailingRunTest, public testing::WithParamInterface<test::Swap> {
 protected:
  void SetUp() override {
    FailingRunTest::SetUp();
    test::WriteFile(Outside(), "someone else's secret");
    duringTheWait_ = [this] { GetParam().act(Backups() + "/VL.BAK", Outside()); };
  }
  std::string Outside() const { return settings_.Path("outside"); }
  std::string Reason() const {
    return "The backup file \"" + Backups() + "/VL.BAK\" " + GetParam().why + ".";
  }
};

TEST_P(SwappedBackupFile, IsNotPackedAndFailsThePackingStep) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");

  ExpectSameFailureSilently([&] { Form(Backups(), false).RunBackup(); });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Warning);
  EXPECT_EQ(ui_.boxes[0].text, "Error compressing backup.\n\r\n\r" + Reason() + "\n\r\n\r" + Contact);
  EXPECT_FALSE(fs::exists(Backups() + "/vl.zip"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_EQ(test::ReadFile(Outside()), "someone else's secret");
}

TEST_P(SwappedBackupFile, IsNotCopiedInNoZipMode) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;
  SilentMode = true;

  for (bool stamped : {false, true}) {
    Form(Backups(), stamped).RunBackup();
    EXPECT_THAT(form_->SuppressedMessages, ElementsAre("vlbackup: Error: " + Reason()));
    EXPECT_FALSE(form_->BackupRecorded);
  }
  EXPECT_FALSE(fs::exists(Backups() + "/vl_" + FifthOfMarchStamp + ".bak"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(DuringTheWait, SwappedBackupFile, testing::ValuesIn(test::Swaps),
                         [](const testing::TestParamInfo<test::Swap>& info) { return std::string(info.param.name); });

// A link planted while the server writes: the server writes through it, and
// the file it leaves under the name is not a file of its own.
TEST_F(FailingRunTest, LinkPlantedBeforeTheServerWritesIsRefused) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").delaySeconds(2));
  settings_.PointAt(server, "SA", "secret");
  const std::string backupFile = Backups() + "/VL.BAK";
  const std::string outside = settings_.Path("outside");
  for (const test::Swap& swap : {test::Swaps[0], test::Swaps[1]}) {
    SCOPED_TRACE(swap.name);
    test::WriteFile(backupFile, "yesterday's backup");
    test::WriteFile(outside, "someone else's file");
    ui_.boxes.clear();
    // As soon as the job has deleted yesterday's file, during the server's delay.
    std::thread attacker([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (fs::exists(backupFile) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      swap.act(backupFile, outside);
    });
    Form(Backups(), false).RunBackup();
    attacker.join();

    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].text, "Error compressing backup.\n\r\n\rThe backup file \"" + backupFile + "\" " +
                                     swap.why + ".\n\r\n\r" + Contact);
    EXPECT_THAT(waits_, IsEmpty()) << "refused before the wait";
    EXPECT_FALSE(fs::exists(Backups() + "/vl.zip"));
    fs::remove(backupFile);
  }
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

// The engine's progress callback stands in for a writer that changes the file
// while it is packed; moving it away and back keeps its inode but not its snapshot.
TEST_F(FailingRunTest, BackupFileChangedWhilePackedLeavesNoArchiveOfIt) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  const std::string backupFile = Backups() + "/VL.BAK";
  const std::string stamped = Backups() + "/vl_" + FifthOfMarchStamp + ".zip";
  auto moveAwayAndBack = [&](const char*, std::int32_t, bool&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // past the clock's granularity
    fs::rename(backupFile, backupFile + ".away");
    fs::rename(backupFile + ".away", backupFile);
  };
  const std::string reason = "The backup file \"" + backupFile + "\" changed while it was read.";

  TfrmBackup& plain = Form(Backups(), false);
  plain.ZipFile->OnMajorCallback = moveAwayAndBack;
  plain.RunBackup();
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Error compressing backup.\n\r\n\r" + reason + "\n\r\n\r" + Contact);
  EXPECT_FALSE(fs::exists(Backups() + "/vl.zip")) << "an archive made by this run goes";

  // An archive that was there before keeps its other entries.
  ui_.boxes.clear();
  test::WriteFile(Backups() + "/older.txt", "older entry");
  ASSERT_EQ(test::RunProgram("zip", {"-jq", stamped, Backups() + "/older.txt"}).exitCode, 0);
  TfrmBackup& form = Form(Backups(), true);
  form.ZipFile->OnMajorCallback = moveAwayAndBack;
  form.RunBackup();
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Error compressing backup.\n\r\n\r" + reason + "\n\r\n\r" + Contact);
  EXPECT_THAT(test::ViewZip(stamped).names, testing::Contains("older.txt"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

// The copy of a backup is no more readable than the backup, whatever the umask.
TEST_F(RunBackupTest, StampedCopyTakesTheBackupFilesModeWhateverTheUmask) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;
  duringTheWait_ = [this] { fs::permissions(Backups() + "/VL.BAK", fs::perms::owner_read | fs::perms::owner_write); };
  const std::string copy = Backups() + "/vl_" + FifthOfMarchStamp + ".bak";
  for (mode_t mask : {mode_t{000}, mode_t{077}}) {
    SCOPED_TRACE(testing::Message() << "umask " << std::oct << mask);
    const mode_t old = ::umask(mask);
    Form(Backups(), true).RunBackup();
    ::umask(old);
    EXPECT_TRUE(form_->BackupRecorded);
    EXPECT_EQ(fs::status(copy).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    fs::remove(copy);
  }
}

// --- one backup per folder at a time ------------------------------------------

// Holds the folder's lock the way another run would, from its own open file.
class OtherRun {
 public:
  explicit OtherRun(const std::string& folder)
      : fd_(::open((folder + "/" + test::FolderLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0) throw std::runtime_error("cannot take the lock");
  }
  ~OtherRun() { Finish(); }
  void Finish() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

TEST_F(FailingRunTest, AnotherRunIntoTheFolderMakesTheJobWaitAndFailWithoutTouchingIt) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  test::WriteFile(Backups() + "/VL.BAK", "the other run's backup");
  OtherRun other(Backups());

  ExpectSameFailureSilently([&] {
    waits_.clear();
    Form(Backups(), false).RunBackup();
  });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Error);
  EXPECT_EQ(ui_.boxes[0].text,
            "Unable to back up into \"" + Backups() + "\": another backup into this folder is running.");
  EXPECT_THAT(waits_, testing::Each(250u));
  EXPECT_EQ(waits_.size(), 20u) << "five seconds of patience";
  EXPECT_THAT(BackupPaths(server), IsEmpty());
  EXPECT_EQ(test::ReadFile(Backups() + "/VL.BAK"), "the other run's backup");
}

TEST_F(RunBackupTest, JobWaitsForAnotherRunThatFinishesSoon) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;
  OtherRun other(Backups());
  TfrmBackup& form = Form(Backups(), false);
  form.Wait = [&](unsigned milliseconds) {
    waits_.push_back(milliseconds);
    if (waits_.size() == 3) other.Finish();
  };

  form.RunBackup();

  EXPECT_TRUE(form.BackupRecorded);
  EXPECT_THAT(waits_, ElementsAre(250u, 250u, 250u, 10000u));
}

TEST_F(FailingRunTest, LinkPlantedAsTheLockFileIsRefused) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  const std::string lock = Backups() + "/" + test::FolderLock;
  fs::create_symlink(settings_.Path("elsewhere"), lock);

  ExpectSameFailureSilently([&] { Form(Backups(), false).RunBackup(); });

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Error);
  EXPECT_EQ(ui_.boxes[0].text,
            "Unable to lock the backup folder \"" + Backups() + "\"\n\r\n\r\"" + lock + "\" is a symbolic link.");
  EXPECT_FALSE(fs::exists(settings_.Path("elsewhere")));
  EXPECT_THAT(BackupPaths(server), IsEmpty());
}

// --- the folder ------------------------------------------------------------------

TEST_F(RunBackupTest, EmptyFolderTextMeansTheDefaultFolder) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;
  TfrmBackup& form = Form(" \t ", false);

  form.RunBackup();

  EXPECT_THAT(BackupPaths(server), ElementsAre(settings_.Path("drive") + "/VL.BAK"));
  EXPECT_TRUE(form.BackupRecorded);
}

TEST_F(RunBackupTest, OtherErrorsPassThroughWithTheArrowRestored) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  TfrmBackup& form = Form(Backups(), false);
  form.ZipFile->OnMajorCallback = [](const char*, std::int32_t, bool&) { throw std::logic_error("not ours"); };

  EXPECT_THROW(form.RunBackup(), std::logic_error);
  EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow));
  EXPECT_THAT(ui_.boxes, IsEmpty());
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

TEST_F(RunBackupTest, FailedDateUpdateLeavesTheJobAfterTheArrowWithoutSuccessBox) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").updateError(208, "Invalid object name 'SystemData'."));
  settings_.PointAt(server, "SA", "secret");
  TfrmBackup& form = Form(Backups(), false);

  try {
    form.RunBackup();
    ADD_FAILURE() << "the date update's error must reach the caller";
  } catch (const Exception& e) {
    EXPECT_THAT(e.Message(), HasSubstr("Invalid object name 'SystemData'."));
  }
  EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow));
  EXPECT_THAT(ui_.boxes, IsEmpty());
  EXPECT_FALSE(form.BackupRecorded);
  EXPECT_TRUE(test::ViewZip(Backups() + "/vl.zip").intact);
}

TEST_F(RunBackupTest, BackupButtonRunsTheJob) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;
  TfrmBackup& form = Form(Backups(), false);

  form.btnbackup->click();

  EXPECT_TRUE(form.BackupRecorded);
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Backup completed successfully.");
}

TEST_F(RunBackupTest, DateUpdateErrorUnderTheButtonGoesToTheStandardErrorBox) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").updateError(208, "Invalid object name 'SystemData'"));
  settings_.PointAt(server, "SA", "secret");
  NoZipMode = true;
  TfrmBackup& form = Form(Backups(), false);

  form.btnbackup->click();

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Error);
  EXPECT_EQ(ui_.boxes[0].caption, platform::ApplicationTitle);
  EXPECT_THAT(ui_.boxes[0].text, HasSubstr("Invalid object name 'SystemData'"));
  EXPECT_FALSE(form.BackupRecorded);
}

}  // namespace
}  // namespace vl

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  vl::platform::InitCommandLine(argc, argv);
  vl::ProgramPath = vl::platform::ParamStr(0);
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
