// The backup job against a stand-in server, with the clock and the wait
// injected: directly, with a recording sink, and under the window's button.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "app/job/BackupJob.h"
#include "app/job/RunModes.h"
#include "archive/DynaLibZ.h"
#include "platform/CommandLine.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"
#include "tests/app/JobFixture.h"
#include "tests/support/FileClock.h"
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

// A box as the window's user interface receives it.
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
  void SetCursor(AppCursor cursor) override { cursors.push_back(cursor); }
  void RequestTerminate() override {}

  std::vector<Box> boxes;
  std::vector<AppCursor> cursors;
};

// A box as the job hands it to its sink.
struct Shown {
  MessageKind kind;
  std::string message;
  std::string detail;
  bool operator==(const Shown&) const = default;
};

void PrintTo(const Shown& shown, std::ostream* out) {
  *out << platform::CaptionOf(shown.kind) << ": " << testing::PrintToString(shown.message) << " / "
       << testing::PrintToString(shown.detail);
}

// Every sink call in order ("busy", "arrow", "show Warning", "phase 3", a phase once
// however often its percentage moves); the boxes apart.
class RecordingSink : public BackupSink {
 public:
  void Show(MessageKind kind, const std::string& message, const std::string& detail) override {
    calls.push_back(std::string("show ") + platform::CaptionOf(kind));
    boxes.push_back({kind, message, detail});
  }
  void Busy(bool busy) override {
    calls.push_back(busy ? "busy" : "arrow");
    if (busyFails) throw Exception("no cursor here");
  }
  void Phase(BackupPhase phase, int percent) override {
    const std::string call = "phase " + std::to_string(static_cast<int>(phase));
    if (calls.empty() || calls.back() != call) calls.push_back(call);
    if (phase == BackupPhase::Packing) packingPercents.push_back(percent);
  }

  std::vector<std::string> calls;
  std::vector<Shown> boxes;
  std::vector<int> packingPercents;
  bool busyFails = false;
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

// One job: its request, the window that lends its components, the sink.
class Job {
 public:
  Job() : window_(std::make_unique<TfrmBackup>()) {}

  BackupOutcome RunBackup() {
    sink.calls.clear();
    sink.boxes.clear();
    outcome = RunBackupJob(request, {window_->conVelloran, window_->qryvl, *window_->ZipFile}, sink);
    return outcome;
  }
  bool BackupRecorded() const { return outcome.Succeeded(); }
  TZipFile& Zip() { return *window_->ZipFile; }

  BackupRequest request;
  RecordingSink sink;
  BackupOutcome outcome;

 private:
  std::unique_ptr<TfrmBackup> window_;
};

class RunBackupTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::SetCommandLine({ProgramPath});
    platform::InstallUserInterface(&ui_);
    NoZipMode = false;
    SilentMode = false;
  }
  void TearDown() override {
    job_.reset();
    window_.reset();
    platform::InstallUserInterface(nullptr);
    NoZipMode = false;
    SilentMode = false;
  }

  // The job with the folder text and time-stamp choice, a recording wait and a fixed clock.
  Job& Form(const std::string& folderText, bool stamped) {
    job_ = std::make_unique<Job>();
    job_->request.FolderText = folderText;
    job_->request.UseDateStamp = stamped;
    job_->request.NoZipMode = noZip_;
    job_->request.Wait = RecordingWait();
    job_->request.Clock = [this] {
      ++clockReads_;
      return FifthOfMarch;
    };
    return *job_;
  }

  // The window itself, its folder box filled in, for runs through its button.
  TfrmBackup& Window(const std::string& folderText, bool stamped) {
    window_ = std::make_unique<TfrmBackup>();
    window_->edtpath->setText(QString::fromLocal8Bit(folderText.c_str()));
    window_->UseDateStamp = stamped;
    window_->Wait = RecordingWait();
    window_->Clock = [] { return FifthOfMarch; };
    return *window_;
  }

  std::function<void(unsigned)> RecordingWait() {
    return [this](unsigned milliseconds) {
      waits_.push_back(milliseconds);
      if (milliseconds == 10000 && duringTheWait_) duringTheWait_();
    };
  }

  std::vector<std::string> BackupPaths(const test::StandIn& server) {
    std::vector<std::string> paths;
    for (const auto& record : server.journal("backup")) paths.push_back(record.text("path"));
    return paths;
  }

  std::string Backups() const { return settings_.Backups(); }
  // The boxes of the last job.
  const std::vector<Shown>& Boxes() const { return job_->sink.boxes; }
  const std::vector<std::string>& SinkCalls() const { return job_->sink.calls; }

  test::SettingsFolders settings_;
  RecordingUserInterface ui_;
  std::unique_ptr<Job> job_;
  std::unique_ptr<TfrmBackup> window_;
  bool noZip_ = false;
  std::vector<unsigned> waits_;
  int clockReads_ = 0;
  std::function<void()> duringTheWait_;  // runs inside the ten-second wait
};

// --- successful runs --------------------------------------------------------

TEST_F(RunBackupTest, ZipModeReplacesThePlainArchiveAndRecordsTheDate) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  test::WriteFile(Backups() + "/vl.zip", "an older archive");
  Job& form = Form("  " + Backups() + "/  ", false);

  form.RunBackup();

  EXPECT_THAT(BackupPaths(server), ElementsAre(Backups() + "/VL.BAK"));
  EXPECT_THAT(waits_, ElementsAre(10000u));
  EXPECT_EQ(clockReads_, 0);
  const test::ZipView zip = test::ViewZip(Backups() + "/vl.zip");
  EXPECT_TRUE(zip.intact);
  EXPECT_THAT(zip.names, ElementsAre("VL.BAK"));
  EXPECT_EQ(test::ZipEntry(Backups() + "/vl.zip", "VL.BAK"), test::ReadFile(Backups() + "/VL.BAK"));
  EXPECT_EQ(server.journal("update").size(), 1u);
  EXPECT_TRUE(form.BackupRecorded());
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Information);
  EXPECT_EQ(Boxes()[0].message, "Backup completed successfully.");
  // The arrow comes back before the date is recorded and the success box shows.
  EXPECT_THAT(SinkCalls(),
              ElementsAre("busy", "phase 0", "phase 1", "phase 2", "phase 3", "arrow", "phase 5", "show Information"));
  EXPECT_THAT(form.sink.packingPercents, testing::Contains(100));
  EXPECT_TRUE(std::is_sorted(form.sink.packingPercents.begin(), form.sink.packingPercents.end()));
  EXPECT_EQ(form.outcome.ResultFile, Backups() + "/vl.zip");
  EXPECT_TRUE(form.Zip().Options.Contains(LargeZIPFilesFlag));
}

TEST_F(RunBackupTest, ZipModeWithStampReadsTheClockOnceAndKeepsOlderArchives) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  test::WriteFile(Backups() + "/vl.zip", "an older archive");
  Job& form = Form(Backups(), true);

  form.RunBackup();

  EXPECT_EQ(clockReads_, 1);
  EXPECT_THAT(test::FolderEntries(Backups()),
              ElementsAre(test::FolderLock, "VL.BAK", "vl.zip", "vl_" + FifthOfMarchStamp + ".zip"));
  EXPECT_TRUE(test::ViewZip(Backups() + "/vl_" + FifthOfMarchStamp + ".zip").intact);
  EXPECT_EQ(test::ReadFile(Backups() + "/vl.zip"), "an older archive");
  EXPECT_EQ(server.journal("update").size(), 1u);
  EXPECT_TRUE(form.BackupRecorded());
}

TEST_F(RunBackupTest, NoZipModeKeepsTheBackupFileOrCopiesItToTheStampedName) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  noZip_ = true;

  Job& plain = Form(Backups(), false);
  plain.RunBackup();
  EXPECT_THAT(test::FolderEntries(Backups()), ElementsAre(test::FolderLock, "VL.BAK"));
  EXPECT_TRUE(plain.BackupRecorded());
  EXPECT_EQ(clockReads_, 0);

  // Two stamped runs within one second: the second copy replaces the first.
  Job& stamped = Form(Backups() + "//", true);
  stamped.RunBackup();
  test::WriteFile(Backups() + "/vl_" + FifthOfMarchStamp + ".bak", "the first copy");
  stamped.RunBackup();

  EXPECT_THAT(BackupPaths(server), ElementsAre(Backups() + "/VL.BAK", Backups() + "//VL.BAK", Backups() + "//VL.BAK"));
  EXPECT_THAT(test::FolderEntries(Backups()),
              ElementsAre(test::FolderLock, "VL.BAK", "vl_" + FifthOfMarchStamp + ".bak"));
  EXPECT_EQ(test::ReadFile(Backups() + "/vl_" + FifthOfMarchStamp + ".bak"), test::ReadFile(Backups() + "/VL.BAK"));
  EXPECT_TRUE(stamped.BackupRecorded());
  EXPECT_EQ(server.journal("update").size(), 3u);
  EXPECT_THAT(waits_, ElementsAre(10000u, 10000u, 10000u));
  EXPECT_THAT(SinkCalls(),
              ElementsAre("busy", "phase 0", "phase 1", "phase 2", "phase 4", "arrow", "phase 5", "show Information"));
}

TEST_F(RunBackupTest, FolderWhoseNameHoldsQuotesAndBlanksPacks) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  const std::string folder = Backups() + "/say \"a\" b\"";
  fs::create_directories(folder);
  Job& form = Form(folder, false);

  form.RunBackup();

  EXPECT_TRUE(form.BackupRecorded());
  const test::ZipView zip = test::ViewZip(folder + "/vl.zip");
  EXPECT_TRUE(zip.intact);
  EXPECT_THAT(zip.names, ElementsAre("VL.BAK"));
  EXPECT_EQ(test::ZipEntry(folder + "/vl.zip", "VL.BAK"), test::ReadFile(folder + "/VL.BAK"));
}

TEST_F(RunBackupTest, CursorThatCannotBeSetIsIgnored) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  Job& form = Form(Backups(), false);
  form.sink.busyFails = true;
  form.request.NoZipMode = true;

  form.RunBackup();

  EXPECT_TRUE(form.BackupRecorded());
  EXPECT_THAT(SinkCalls(), testing::IsSupersetOf({"busy", "arrow"}));
}

// --- failures ----------------------------------------------------------------

// A failed job: the outcome names the step, and the box the sink got, if any,
// is the outcome's message and detail, shown while the busy cursor is up.
class FailingRunTest : public RunBackupTest {
 protected:
  void ExpectFailure(const std::function<void()>& run, BackupStep step) {
    run();
    const BackupOutcome& outcome = job_->outcome;
    EXPECT_EQ(outcome.FailedStep, step);
    EXPECT_FALSE(outcome.Message.empty());
    if (outcome.Shown) {
      EXPECT_THAT(Boxes(), ElementsAre(Shown{outcome.Kind, outcome.Message, outcome.Detail}));
      EXPECT_THAT(SinkCalls(), testing::Contains("show " + std::string(platform::CaptionOf(outcome.Kind))));
      EXPECT_EQ(SinkCalls().back(), "arrow");
    } else {
      EXPECT_THAT(Boxes(), IsEmpty());
    }
    EXPECT_EQ(SinkCalls().front(), "busy");
  }
};

TEST_F(FailingRunTest, RefusedLoginsShowTheConnectTextAndLeaveTheFolderAlone) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "wrong");
  test::WriteFile(Backups() + "/VL.BAK", "yesterday");
  test::WriteFile(Backups() + "/vl.zip", "yesterday's archive");

  ExpectFailure([&] { Form(Backups(), false).RunBackup(); }, BackupStep::Connect);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Error);
  // Under the message, what the server said to the configured login.
  EXPECT_EQ(Boxes()[0].message, "Unable to connect to the Velloran database 'Velloran' on '" + server.host() +
                                    "\\VELLORAN'.\n\nPlease check your connection properties.\n\n"
                                    "The configured connection to '" +
                                    server.host() +
                                    "' failed: Login failed for user 'SA'.\nUnable to connect to data source "
                                    "(SQLSTATE 42000, native error 18456)");
  EXPECT_EQ(test::ReadFile(Backups() + "/VL.BAK"), "yesterday");
  EXPECT_EQ(test::ReadFile(Backups() + "/vl.zip"), "yesterday's archive");
  EXPECT_THAT(server.journal("statement"), IsEmpty());
  EXPECT_THAT(waits_, IsEmpty());
  EXPECT_THAT(SinkCalls(), ElementsAre("busy", "phase 0", "show Error", "arrow"));
}

TEST_F(FailingRunTest, BackupCommandErrorIsAWarningWithTheServersText) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").backupError(3201, 5));
  settings_.PointAt(server.host(), "SA", "secret");

  ExpectFailure([&] { Form(Backups(), false).RunBackup(); }, BackupStep::BackupCommand);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Warning);
  EXPECT_THAT(Boxes()[0].message, StartsWith("Error backing up Database.\n\r\n\r"));
  EXPECT_THAT(Boxes()[0].message, HasSubstr("Cannot open backup device '" + Backups() + "/VL.BAK'"));
  EXPECT_THAT(Boxes()[0].message, testing::EndsWith("\n\r\n\r" + Contact));
  EXPECT_THAT(Boxes()[0].detail, testing::MatchesRegex("SQLSTATE [0-9A-Z]{5}, native error 3201\\."));
  EXPECT_THAT(waits_, IsEmpty());
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_THAT(test::FolderEntries(Backups()), ElementsAre(test::FolderLock));
}

TEST_F(FailingRunTest, BackupFileTheProgramCannotSeeIsReportedWithTheTrimmedFolder) {
  // The server resolves a relative folder against its own folder, the program
  // against its working directory: the server writes a file the program cannot see.
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  const std::string relative = "seen-only-by-the-server";
  fs::create_directories(server.folder() / relative);
  test::TempDir programSide;
  fs::create_directories(programSide.path() / relative);
  const WorkingDirectory cwd(programSide.path());

  ExpectFailure([&] { Form(" " + relative + "/ ", false).RunBackup(); }, BackupStep::BackupFile);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Error);
  EXPECT_EQ(Boxes()[0].message, "Unable to write backup file to \"" + relative +
                                    "\"\n\r\n\rPlease ensure you have permission to write to the selected folder.");
  EXPECT_EQ(Boxes()[0].detail, "The file \"" + relative + "/VL.BAK\" cannot be examined: No such file or directory.");
  EXPECT_THAT(waits_, IsEmpty());
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

TEST_F(FailingRunTest, FailedStampedCopyShowsNothingAndRecordsNoDate) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  noZip_ = true;
  const std::string target = Backups() + "/vl_" + FifthOfMarchStamp + ".bak";
  fs::create_directories(target);  // a folder cannot be replaced by the copy

  ExpectFailure([&] { Form(Backups(), true).RunBackup(); }, BackupStep::Copy);

  EXPECT_FALSE(job_->outcome.Shown);
  EXPECT_EQ(job_->outcome.Message, "Unable to copy the backup file to \"" + target + "\".");
  EXPECT_EQ(job_->outcome.Detail, "\"" + target + "\" cannot be replaced: Is a directory.");
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_THAT(test::FolderEntries(Backups()),
              ElementsAre(test::FolderLock, "VL.BAK", "vl_" + FifthOfMarchStamp + ".bak"));
  EXPECT_TRUE(fs::is_directory(target));
}

TEST_F(FailingRunTest, EngineFailureIsAPackingFailureNotASuccess) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  fs::create_directories(Backups() + "/vl.zip");  // no archive can be written under this name

  ExpectFailure([&] { Form(Backups(), false).RunBackup(); }, BackupStep::Pack);

  const std::int32_t code = job_->Zip().ResultCode();
  EXPECT_NE(code, 0);
  // The engine's own reason follows its result, naming what it could not create.
  const std::string detail = job_->Zip().ResultDetail();
  EXPECT_THAT(detail, HasSubstr(Backups() + "/vl.zip"));
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Warning);
  EXPECT_EQ(Boxes()[0].message, std::string("Error compressing backup.\n\r\n\rThe zip engine reported: ") +
                                    DzipResultText(code) + " (result code " + std::to_string(code) + ").\n\r\n\r" +
                                    Contact);
  EXPECT_EQ(Boxes()[0].detail, detail + (detail.back() == '.' ? "" : "."));
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_THAT(waits_, ElementsAre(10000u));
}

TEST_F(FailingRunTest, ArchivePlantedAtTheStampedNameIsRefusedWithTheEngineReason) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  const std::string stamped = Backups() + "/vl_" + FifthOfMarchStamp + ".zip";
  test::WriteFile(Backups() + "/elsewhere", "not a backup");
  fs::create_symlink(Backups() + "/elsewhere", stamped);

  ExpectFailure([&] { Form(Backups(), true).RunBackup(); }, BackupStep::Pack);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Warning);
  EXPECT_THAT(Boxes()[0].message, HasSubstr(std::string("The zip engine reported: ") +
                                            DzipResultText(DZ_ERR_UNSAFE_ARCHIVE) + " (result code 11)."));
  EXPECT_THAT(Boxes()[0].detail, StartsWith(stamped));
  EXPECT_TRUE(fs::is_symlink(stamped));
  EXPECT_EQ(test::ReadFile(Backups() + "/elsewhere"), "not a backup");
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

TEST_F(FailingRunTest, ErrorRaisedWhilePackingIsShownAfterThePreviousArchiveIsGone) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");

  ExpectFailure(
      [&] {
        test::WriteFile(Backups() + "/vl.zip", "an older archive");
        Job& form = Form(Backups(), false);
        form.Zip().OnMajorCallback = [](const char*, std::int32_t, bool&) { throw Exception("Stopped by the test"); };
        form.RunBackup();
      },
      BackupStep::Pack);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Warning);
  EXPECT_EQ(Boxes()[0].message, "Error compressing backup.\n\r\n\rStopped by the test\n\r\n\r" + Contact);
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
  std::string Outside() const { return settings_.Folder("outside"); }
  std::string Reason() const { return "The backup file \"" + Backups() + "/VL.BAK\" " + GetParam().why + "."; }
};

TEST_P(SwappedBackupFile, IsNotPackedAndFailsThePackingStep) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");

  ExpectFailure([&] { Form(Backups(), false).RunBackup(); }, BackupStep::BackupFile);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Warning);
  EXPECT_EQ(Boxes()[0].message, "Error compressing backup.\n\r\n\r" + Reason() + "\n\r\n\r" + Contact);
  EXPECT_FALSE(fs::exists(Backups() + "/vl.zip"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
  EXPECT_EQ(test::ReadFile(Outside()), "someone else's secret");
}

TEST_P(SwappedBackupFile, IsNotCopiedInNoZipMode) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  noZip_ = true;

  for (bool stamped : {false, true}) {
    ExpectFailure([&] { Form(Backups(), stamped).RunBackup(); }, BackupStep::BackupFile);
    EXPECT_FALSE(job_->outcome.Shown);
    EXPECT_EQ(job_->outcome.Message, Reason());
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
  settings_.PointAt(server.host(), "SA", "secret");
  const std::string backupFile = Backups() + "/VL.BAK";
  const std::string outside = settings_.Folder("outside");
  for (const test::Swap& swap : {test::Swaps[0], test::Swaps[1]}) {
    SCOPED_TRACE(swap.name);
    test::WriteFile(backupFile, "yesterday's backup");
    test::WriteFile(outside, "someone else's file");
    // As soon as the job has deleted yesterday's file, during the server's delay.
    std::thread attacker([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (fs::exists(backupFile) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      swap.act(backupFile, outside);
    });
    Form(Backups(), false).RunBackup();
    attacker.join();

    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].message, "Error compressing backup.\n\r\n\rThe backup file \"" + backupFile + "\" " +
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
  settings_.PointAt(server.host(), "SA", "secret");
  const std::string backupFile = Backups() + "/VL.BAK";
  const std::string stamped = Backups() + "/vl_" + FifthOfMarchStamp + ".zip";
  auto moveAwayAndBack = [&](const char*, std::int32_t, bool&) {
    test::AwaitFileClockPastChangeOf(backupFile);
    fs::rename(backupFile, backupFile + ".away");
    fs::rename(backupFile + ".away", backupFile);
  };
  const std::string reason = "The backup file \"" + backupFile + "\" changed while it was read.";

  Job& plain = Form(Backups(), false);
  plain.Zip().OnMajorCallback = moveAwayAndBack;
  plain.RunBackup();
  EXPECT_EQ(plain.outcome.FailedStep, BackupStep::BackupFile);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].message, "Error compressing backup.\n\r\n\r" + reason + "\n\r\n\r" + Contact);
  EXPECT_FALSE(fs::exists(Backups() + "/vl.zip")) << "an archive made by this run goes";

  // An archive that was there before keeps its other entries.
  test::WriteFile(Backups() + "/older.txt", "older entry");
  ASSERT_EQ(test::RunProgram("zip", {"-jq", stamped, Backups() + "/older.txt"}).exitCode, 0);
  Job& form = Form(Backups(), true);
  form.Zip().OnMajorCallback = moveAwayAndBack;
  form.RunBackup();
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].message, "Error compressing backup.\n\r\n\r" + reason + "\n\r\n\r" + Contact);
  EXPECT_THAT(test::ViewZip(stamped).names, testing::Contains("older.txt"));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

// The copy of a backup is no more readable than the backup, whatever the umask.
TEST_F(RunBackupTest, StampedCopyTakesTheBackupFilesModeWhateverTheUmask) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  noZip_ = true;
  duringTheWait_ = [this] { fs::permissions(Backups() + "/VL.BAK", fs::perms::owner_read | fs::perms::owner_write); };
  const std::string copy = Backups() + "/vl_" + FifthOfMarchStamp + ".bak";
  for (mode_t mask : {mode_t{000}, mode_t{077}}) {
    SCOPED_TRACE(testing::Message() << "umask " << std::oct << mask);
    const mode_t old = ::umask(mask);
    Form(Backups(), true).RunBackup();
    ::umask(old);
    EXPECT_TRUE(job_->BackupRecorded());
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
  settings_.PointAt(server.host(), "SA", "secret");
  test::WriteFile(Backups() + "/VL.BAK", "the other run's backup");
  OtherRun other(Backups());

  ExpectFailure([&] { Form(Backups(), false).RunBackup(); }, BackupStep::Lock);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Error);
  EXPECT_EQ(Boxes()[0].message,
            "Unable to back up into \"" + Backups() + "\": another backup into this folder is running.");
  EXPECT_THAT(waits_, testing::Each(250u));
  EXPECT_EQ(waits_.size(), 20u) << "five seconds of patience";
  EXPECT_THAT(BackupPaths(server), IsEmpty());
  EXPECT_EQ(test::ReadFile(Backups() + "/VL.BAK"), "the other run's backup");
}

TEST_F(RunBackupTest, JobWaitsForAnotherRunThatFinishesSoon) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  noZip_ = true;
  OtherRun other(Backups());
  Job& form = Form(Backups(), false);
  form.request.Wait = [&](unsigned milliseconds) {
    waits_.push_back(milliseconds);
    if (waits_.size() == 3) other.Finish();
  };

  form.RunBackup();

  EXPECT_TRUE(form.BackupRecorded());
  EXPECT_THAT(waits_, ElementsAre(250u, 250u, 250u, 10000u));
}

TEST_F(FailingRunTest, LinkPlantedAsTheLockFileIsRefused) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  const std::string lock = Backups() + "/" + test::FolderLock;
  fs::create_symlink(settings_.Folder("elsewhere"), lock);

  ExpectFailure([&] { Form(Backups(), false).RunBackup(); }, BackupStep::Lock);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].kind, MessageKind::Error);
  EXPECT_EQ(Boxes()[0].message, "Unable to lock the backup folder \"" + Backups() + "\"");
  EXPECT_EQ(Boxes()[0].detail, "\"" + lock + "\" is a symbolic link.");
  EXPECT_FALSE(fs::exists(settings_.Folder("elsewhere")));
  EXPECT_THAT(BackupPaths(server), IsEmpty());
}

// --- the folder ------------------------------------------------------------------

TEST_F(RunBackupTest, EmptyFolderTextMeansTheDefaultFolder) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  noZip_ = true;
  Job& form = Form(" \t ", false);

  form.RunBackup();

  EXPECT_THAT(BackupPaths(server), ElementsAre(settings_.Folder("drive") + "/VL.BAK"));
  EXPECT_TRUE(form.BackupRecorded());
}

TEST_F(RunBackupTest, OtherErrorsPassThroughWithTheArrowRestored) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  Job& form = Form(Backups(), false);
  form.Zip().OnMajorCallback = [](const char*, std::int32_t, bool&) { throw std::logic_error("not ours"); };

  EXPECT_THROW(form.RunBackup(), std::logic_error);
  EXPECT_EQ(SinkCalls().back(), "arrow");
  EXPECT_THAT(Boxes(), IsEmpty());
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

TEST_F(RunBackupTest, FailedDateUpdateLeavesTheJobAfterTheArrowWithoutSuccessBox) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").updateError(208, "Invalid object name 'SystemData'."));
  settings_.PointAt(server.host(), "SA", "secret");
  Job& form = Form(Backups(), false);

  try {
    form.RunBackup();
    ADD_FAILURE() << "the date update's error must reach the caller";
  } catch (const Exception& e) {
    EXPECT_THAT(e.Message(), HasSubstr("Invalid object name 'SystemData'."));
  }
  EXPECT_EQ(SinkCalls().back(), "phase 5") << "after the arrow";
  EXPECT_THAT(SinkCalls(), testing::Contains("arrow"));
  EXPECT_THAT(Boxes(), IsEmpty());
  EXPECT_TRUE(test::ViewZip(Backups() + "/vl.zip").intact);
}

// --- under the window's button ---------------------------------------------------

TEST_F(RunBackupTest, BackupButtonRunsTheJobWithTheBusyCursor) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  NoZipMode = true;
  TfrmBackup& window = Window(Backups(), false);

  window.btnbackup->click();

  ASSERT_TRUE(window.LastBackupOutcome().has_value());
  EXPECT_TRUE(window.LastBackupOutcome()->Succeeded());
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Backup completed successfully.");
  EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow));
  EXPECT_THAT(waits_, ElementsAre(10000u));
}

TEST_F(RunBackupTest, DateUpdateErrorUnderTheButtonGoesToTheStandardErrorBox) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").updateError(208, "Invalid object name 'SystemData'"));
  settings_.PointAt(server.host(), "SA", "secret");
  NoZipMode = true;
  TfrmBackup& window = Window(Backups(), false);

  window.btnbackup->click();

  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].kind, MessageKind::Error);
  EXPECT_EQ(ui_.boxes[0].caption, platform::ApplicationTitle);
  EXPECT_THAT(ui_.boxes[0].text, HasSubstr("Invalid object name 'SystemData'"));
  EXPECT_FALSE(window.LastBackupOutcome().has_value());
}

// Each failing step under the button: the window's box shows the job's message
// first and the cause after it, in one box; a step that shows no box shows none.
struct StepFailure {
  const char* name;
  BackupStep step;
  bool shown;
  const char* messageStart;
  bool withDetail;
  const char* password;  // the configured login's; "secret" is the right one
  int backupError;       // the server's error for the backup command, or 0
  bool noZip;
  bool stamped;
  void (*arrange)(const std::string& backups);
};

void PrintTo(const StepFailure& failure, std::ostream* out) { *out << failure.name; }

void Nothing(const std::string&) {}
void LinkAsLockFile(const std::string& backups) {
  fs::create_symlink(backups + "/elsewhere", backups + "/" + test::FolderLock);
}
void FolderAsStampedCopy(const std::string& backups) {
  fs::create_directories(backups + "/vl_" + FifthOfMarchStamp + ".bak");
}
void FolderAsArchive(const std::string& backups) { fs::create_directories(backups + "/vl.zip"); }

const StepFailure StepFailures[] = {
    {"Connect", BackupStep::Connect, true, "Unable to connect to the Velloran database 'Velloran'", false, "wrong", 0,
     false, false, Nothing},
    {"Lock", BackupStep::Lock, true, "Unable to lock the backup folder", true, "secret", 0, false, false,
     LinkAsLockFile},
    {"BackupCommand", BackupStep::BackupCommand, true, "Error backing up Database.\n\r\n\r", true, "secret", 3201,
     false, false, Nothing},
    {"Copy", BackupStep::Copy, false, "Unable to copy the backup file to", true, "secret", 0, true, true,
     FolderAsStampedCopy},
    {"Pack", BackupStep::Pack, true, "Error compressing backup.\n\r\n\rThe zip engine reported: ", true, "secret", 0,
     false, false, FolderAsArchive},
};

class FailingStepUnderTheButton : public RunBackupTest, public testing::WithParamInterface<StepFailure> {};

TEST_P(FailingStepUnderTheButton, ShowsTheMessageThenTheCause) {
  const StepFailure& failure = GetParam();
  test::StandInConfig config = test::ServerWithLogin("SA", "secret");
  if (failure.backupError != 0) config.backupError(failure.backupError, 5);
  test::StandIn server(config);
  settings_.PointAt(server.host(), "SA", failure.password);
  failure.arrange(Backups());
  NoZipMode = failure.noZip;
  TfrmBackup& window = Window(Backups(), failure.stamped);

  window.btnbackup->click();

  ASSERT_TRUE(window.LastBackupOutcome().has_value());
  const BackupOutcome& outcome = *window.LastBackupOutcome();
  EXPECT_EQ(outcome.FailedStep, failure.step);
  EXPECT_THAT(outcome.Message, StartsWith(failure.messageStart));
  EXPECT_EQ(outcome.Detail.empty(), !failure.withDetail) << outcome.Detail;
  EXPECT_EQ(outcome.Shown, failure.shown);
  if (failure.shown) {
    ASSERT_EQ(ui_.boxes.size(), 1u);
    EXPECT_EQ(ui_.boxes[0].kind, outcome.Kind);
    EXPECT_THAT(ui_.boxes[0].text, StartsWith(outcome.Message));
    if (failure.withDetail) {
      EXPECT_EQ(ui_.boxes[0].text, outcome.Message + "\n\r\n\r" + outcome.Detail);
    }
  } else {
    EXPECT_THAT(ui_.boxes, IsEmpty());
  }
  EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow));
  EXPECT_THAT(server.journal("update"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(EachStep, FailingStepUnderTheButton, testing::ValuesIn(StepFailures),
                         [](const testing::TestParamInfo<StepFailure>& info) { return std::string(info.param.name); });

// The window's job in a silent run shows no box, a failure's or the success's,
// yet keeps the cursor and the outcome.
TEST_F(RunBackupTest, SilentModeKeepsEveryBoxOfTheWindowsJobBack) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  SilentMode = true;
  for (const char* password : {"wrong", "secret"}) {
    SCOPED_TRACE(password);
    settings_.PointAt(server.host(), "SA", password);
    ui_.boxes.clear();
    ui_.cursors.clear();
    TfrmBackup& window = Window(Backups(), false);
    window.RunBackup();
    ASSERT_TRUE(window.LastBackupOutcome().has_value());
    EXPECT_EQ(window.LastBackupOutcome()->Succeeded(), std::string(password) == "secret");
    EXPECT_THAT(ui_.boxes, IsEmpty());
    EXPECT_THAT(ui_.cursors, ElementsAre(AppCursor::Busy, AppCursor::Arrow));
  }
}

// --- keeping the newest stamped backups ---------------------------------------

// Older stamped files of both kinds, and names the program's stamp did not make.
const std::vector<std::string> OlderStamped = {"vl_311223_1200_00.zip", "vl_010324_0000_00.zip",
                                               "vl_040324_2359_59.zip", "vl_020324_0000_00.bak",
                                               "vl_030324_0000_00.bak"};
const std::vector<std::string> NotStamped = {
    "vl.zip",   "VL_010124_0000_00.ZIP", "vl_010124_0000_00.zip.old", "vl_320124_0000_00.zip", "vl_010124_000_000.zip",
    "notes.txt"};

struct RetentionCase {
  const char* name;
  const char* keep;  // the "KeepBackups" text
  bool stamped;
  bool noZip;
  bool packFails;
  std::vector<std::string> removed;
  bool warns;
};

void PrintTo(const RetentionCase& c, std::ostream* out) { *out << c.name; }

const RetentionCase RetentionCases[] = {
    {"KeepTwoArchives", "2", true, false, false, {"vl_010324_0000_00.zip", "vl_311223_1200_00.zip"}, false},
    {"KeepOneArchiveWithBlanks",
     " 1 ",
     true,
     false,
     false,
     {"vl_040324_2359_59.zip", "vl_010324_0000_00.zip", "vl_311223_1200_00.zip"},
     false},
    {"KeepTwoCopies", "2", true, true, false, {"vl_020324_0000_00.bak"}, false},
    {"KeepMoreThanThere", "10", true, false, false, {}, false},
    {"ZeroKeepsAll", "0", true, false, false, {}, false},
    {"AbsentKeepsAll", "", true, false, false, {}, false},
    {"InvalidKeepsAllAndWarns", "two", true, false, false, {}, true},
    {"NegativeKeepsAllAndWarns", "-1", true, false, false, {}, true},
    {"PlainRunDeletesNothing", "1", false, false, false, {}, false},
    {"FailedPackingDeletesNothing", "1", true, false, true, {}, false},
};

class KeepingBackups : public RunBackupTest, public testing::WithParamInterface<RetentionCase> {};

TEST_P(KeepingBackups, DeletesOnlyTheOldestStampedFilesOfTheRunsKind) {
  const RetentionCase& c = GetParam();
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  std::set<std::string> expected = {test::FolderLock, "VL.BAK"};
  for (const auto& names : {OlderStamped, NotStamped})
    for (const std::string& name : names) {
      test::WriteFile(Backups() + "/" + name, name);
      expected.insert(name);
    }
  const std::string made = "vl_" + FifthOfMarchStamp + (c.noZip ? ".bak" : ".zip");
  if (c.packFails) fs::create_directories(Backups() + "/" + made);
  if (c.stamped) expected.insert(made);
  std::vector<std::string> removedNames;
  for (const std::string& name : c.removed) {
    expected.erase(name);
    removedNames.push_back(Backups() + "/" + name);
  }
  noZip_ = c.noZip;
  Job& form = Form(Backups(), c.stamped);
  form.request.KeepBackups = c.keep;

  form.RunBackup();

  EXPECT_EQ(form.BackupRecorded(), !c.packFails);
  const std::vector<std::string> entries = test::FolderEntries(Backups());
  EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()), expected);
  EXPECT_THAT(form.outcome.Removed, testing::UnorderedElementsAreArray(removedNames));
  const bool replacesPlainArchive = !c.stamped && !c.noZip;
  for (const std::string& name : NotStamped) {
    if (name == "vl.zip" && replacesPlainArchive) continue;
    EXPECT_EQ(test::ReadFile(Backups() + "/" + name), name);
  }
  if (c.warns) {
    const std::string warning =
        "The preference \"KeepBackups\" is not a whole number from 0 to 10000, so all backups are kept.";
    EXPECT_THAT(form.outcome.Warnings, ElementsAre(warning));
    EXPECT_THAT(Boxes(), ElementsAre(Shown{MessageKind::Information, "Backup completed successfully.", warning}));
  } else {
    EXPECT_THAT(form.outcome.Warnings, IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, KeepingBackups, testing::ValuesIn(RetentionCases),
                         [](const testing::TestParamInfo<RetentionCase>& info) {
                           return std::string(info.param.name);
                         });

// The window reads the value from its preferences at each run.
TEST_F(RunBackupTest, WindowKeepsAsManyAsItsPreferencesSay) {
  test::StandIn server(test::ServerWithLogin("SA", "secret"));
  settings_.PointAt(server.host(), "SA", "secret");
  settings_.WritePreferences("[Main]\nPath=" + Backups() + "\nDateStamp=1\nKeepBackups=2\n");
  for (const std::string& name : OlderStamped) test::WriteFile(Backups() + "/" + name, name);
  TfrmBackup& window = Window(Backups(), true);

  window.btnbackup->click();

  ASSERT_TRUE(window.LastBackupOutcome().has_value());
  EXPECT_TRUE(window.LastBackupOutcome()->Succeeded());
  EXPECT_THAT(test::FolderEntries(Backups()),
              ElementsAre(test::FolderLock, "VL.BAK", "vl_020324_0000_00.bak", "vl_030324_0000_00.bak",
                          "vl_040324_2359_59.zip", "vl_" + FifthOfMarchStamp + ".zip"));
  ASSERT_EQ(ui_.boxes.size(), 1u);
  EXPECT_EQ(ui_.boxes[0].text, "Backup completed successfully.");
}

// The connection settings of the request, not the process's command line, reach the server.
TEST_F(RunBackupTest, ConnectionArgumentsOfTheRequestOverrideTheSettings) {
  test::StandIn server(test::ServerWithLogin("SA", "secret").databases({"Velloran", "VelloranTest"}));
  settings_.PointAt(server.host(), "SA", "wrong");
  noZip_ = true;
  Job& form = Form(Backups(), false);
  form.request.ConnectionArguments = {"Password=secret", "Initial Catalog=VelloranTest"};

  form.RunBackup();

  EXPECT_TRUE(form.BackupRecorded());
  ASSERT_EQ(server.journal("update").size(), 1u);
  EXPECT_EQ(server.journal("update")[0].text("database"), "VelloranTest");
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
