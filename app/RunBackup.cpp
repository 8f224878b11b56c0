// The backup job: an operation of the main window, kept apart from the window's code.
#include <QLineEdit>
#include <optional>
#include <string>

#include "app/BackupNames.h"
#include "app/RunModes.h"
#include "archive/DynaLibZ.h"
#include "connection/UtilityConnect.h"
#include "dzip.h"
#include "platform/Error.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/UserInterface.h"
#include "ui/main.h"

namespace vl {
namespace {

using platform::MessageKind;

constexpr const char* BackupCommand = "BACKUP DATABASE Velloran TO DISK = :path WITH INIT,SKIP";
constexpr const char* DateUpdate = "UPDATE SystemData SET LastBackupUtilityDate=getdate()";
constexpr unsigned SettleMilliseconds = 10000;
constexpr int AddAction = DZ_ACTION_ADD;
// How long a run waits for another run into the same folder to finish.
constexpr unsigned LockPatienceMilliseconds = 5000;
constexpr unsigned LockRetryMilliseconds = 250;

// The job's messages break lines with LF CR and separate paragraphs with two pairs.
constexpr const char* LineBreak = "\n\r";
constexpr const char* Paragraph = "\n\r\n\r";
constexpr const char* ContactUs = "Please contact Corvanta for further assistance.";

// Shows the busy cursor for its lifetime and the plain arrow afterwards (not the
// default cursor, so the arrow also shows over the edit box). A cursor that
// cannot be set must not stop a backup, so errors setting it are ignored.
class BusyCursor {
 public:
  BusyCursor() { Set(platform::AppCursor::Busy); }
  ~BusyCursor() { Set(platform::AppCursor::Arrow); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;

 private:
  static void Set(platform::AppCursor cursor) noexcept {
    try {
      platform::CurrentUserInterface().SetCursor(cursor);
    } catch (...) {
    }
  }
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The engine's own reason (a full disk, an unsafe archive), as a sentence of its own.
std::string DetailSentence(const std::string& detail) {
  if (detail.empty()) return "";
  return " " + detail + (detail.back() == '.' ? "" : ".");
}

std::string FolderText(const TfrmBackup& form) {
  return form.edtpath != nullptr ? form.edtpath->text().toLocal8Bit().toStdString() : std::string();
}

// An empty folder text means the default folder, as a fresh installation has it.
std::string BackupFolder(const TfrmBackup& form) {
  const std::string text = FolderText(form);
  return TrimBackupFolder(Trim(text).empty() ? DefaultBackupFolder() : text);
}

// One call of RunBackup. The success flag starts set; every detected failure
// clears it and nothing sets it again.
class BackupJob {
 public:
  explicit BackupJob(TfrmBackup& form) : form_(form) {}

  void Run() {
    form_.BackupRecorded = false;
    form_.SuppressedMessages.clear();
    {
      BusyCursor cursor;
      if (Connect()) {
        BackUp();
        if (success_) KeepOrPack();
      }
    }
    if (success_) RecordDate();
    if (success_ && !SilentMode) platform::ShowMessage(MessageKind::Information, "Backup completed successfully.");
  }

 private:
  // A box unless the run is silent; a silent run keeps the text for standard error.
  void Report(MessageKind kind, const std::string& text) {
    if (SilentMode) {
      form_.SuppressedMessages.push_back(platform::ConsoleLine(platform::CaptionOf(kind), text));
    } else {
      platform::ShowMessage(kind, text);
    }
  }

  // A failure that shows no box even in an interactive run; a silent run still
  // tells its caller why no backup was made.
  void Note(const std::string& text) {
    if (SilentMode) form_.SuppressedMessages.push_back(platform::ConsoleLine("Error", text));
  }

  bool Connect() {
    std::string connectError;
    if (ConnectDatabase(form_.conVelloran, connectError)) return true;
    success_ = false;
    Report(MessageKind::Error, connectError.empty() ? "Unable to connect to the Velloran database." : connectError);
    return false;
  }

  void BackUp() {
    folder_ = BackupFolder(form_);
    if (!LockFolder()) return;
    const std::string backupFile = BackupFileName(folder_);
    platform::DeleteFile(backupFile);
    form_.qryvl.CommandText = BackupCommand;
    form_.qryvl.SetParameterValue(backupFile);
    try {
      form_.qryvl.Execute();
      if (!platform::FileExists(backupFile)) {
        ReportMissingBackupFile();
        return;
      }
    } catch (const Exception& e) {
      success_ = false;
      Report(MessageKind::Warning, std::string("Error backing up Database.") + Paragraph + e.Message() + LineBreak +
                                       LineBreak + ContactUs);
      return;
    }
    NoteWrittenFile();
  }

  // Held until the job ends: a second run into the folder would delete the
  // backup file under this one, or have it packed half-written.
  bool LockFolder() {
    try {
      lock_.emplace(FolderLockName(folder_));
      for (unsigned waited = 0; !lock_->TryLock(); waited += LockRetryMilliseconds) {
        if (waited >= LockPatienceMilliseconds) {
          success_ = false;
          Report(MessageKind::Error,
                 "Unable to back up into " + Quoted(folder_) + ": another backup into this folder is running.");
          return false;
        }
        form_.Wait(LockRetryMilliseconds);
      }
      return true;
    } catch (const Exception& e) {
      success_ = false;
      Report(MessageKind::Error, "Unable to lock the backup folder " + Quoted(folder_) + Paragraph + e.Message() + ".");
      return false;
    }
  }

  // The file the server has just written is the one to pack or keep: a regular
  // file of its own, not a link to a file elsewhere.
  void NoteWrittenFile() {
    try {
      written_ = platform::SoleRegularFile(BackupFileName(folder_));
    } catch (const Exception& e) {
      RefuseBackupFile("The backup file " + e.Message() + ".");
    }
  }

  // Whether the backup file is still the file the server wrote; takes the
  // snapshot the later checks compare with.
  bool StillTheWrittenFile() {
    try {
      settled_ = platform::SoleRegularFile(BackupFileName(folder_));
      if (settled_.SameFile(written_)) return true;
      RefuseBackupFile("The backup file " + Quoted(BackupFileName(folder_)) + " was replaced after the server wrote it.");
    } catch (const Exception& e) {
      RefuseBackupFile("The backup file " + e.Message() + ".");
    }
    return false;
  }

  // Whether the backup file stayed as it was while it was packed or copied.
  bool Unchanged() const {
    try {
      return platform::SoleRegularFile(BackupFileName(folder_)) == settled_;
    } catch (const Exception&) {
      return false;
    }
  }

  std::string ChangedText() const {
    return "The backup file " + Quoted(BackupFileName(folder_)) + " changed while it was read";
  }

  // Nothing is made from a backup file that is not the server's.
  void RefuseBackupFile(const std::string& reason) {
    if (NoZipMode) {
      success_ = false;
      Note(reason);
    } else {
      ReportPackingFailure(reason);
    }
  }

  void ReportMissingBackupFile() {
    success_ = false;
    Report(MessageKind::Error, "Unable to write backup file to " + Quoted(folder_) + Paragraph +
                                   "Please ensure you have permission to write to the selected folder.");
  }

  // The server may still be flushing the file when the command returns.
  void KeepOrPack() {
    form_.Wait(SettleMilliseconds);
    if (!StillTheWrittenFile()) return;
    if (NoZipMode) {
      Keep();
    } else {
      Pack();
    }
  }

  // Only one name per call carries a stamp, so the clock is read once, here.
  std::string Stamp() const { return BackupStamp(form_.Clock()); }

  void Keep() {
    const std::string source = PlainBackupName(folder_);
    if (!form_.UseDateStamp) {
      resultFile_ = source;
      return;
    }
    const std::string target = StampedBackupName(folder_, Stamp());
    resultFile_ = target;
    std::string failure;
    try {
      platform::CopyFile(source, target, false, &settled_);
      if (!Unchanged()) {
        platform::DeleteFile(target);
        failure = ChangedText();
      }
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {
      failure = "unknown error";
    }
    if (!failure.empty()) {
      success_ = false;
      Note("Unable to copy the backup file to " + Quoted(target) + ": " + failure + ".");
    }
  }

  void Pack() {
    TZipFile& zip = *form_.ZipFile;
    zip.lpszItemList()->SetText(QuotedZipItem(BackupFileName(folder_)).c_str());
    const std::string archive = form_.UseDateStamp ? StampedArchiveName(folder_, Stamp()) : PlainArchiveName(folder_);
    resultFile_ = archive;
    zip.lpszZipFile()->SetText(archive.c_str());
    // The previous archive is the one this name denotes. On Windows "VL.ZIP"
    // reached "vl.zip" because names ignore case there; here names keep their case.
    if (!form_.UseDateStamp) platform::DeleteFile(archive);
    const bool archiveExisted = platform::FileExists(archive);
    zip.Options += LargeZIPFilesFlag;
    try {
      const bool packed = zip.RunAction(AddAction);
      // Neither a false result nor a missing archive may pass for a backup.
      if (!packed) {
        ReportPackingFailure(std::string("The zip engine reported: ") + DzipResultText(zip.ResultCode()) +
                             " (result code " + std::to_string(zip.ResultCode()) + ")." +
                             DetailSentence(zip.ResultDetail()));
      } else if (!platform::FileExists(archive)) {
        ReportPackingFailure("The zip engine wrote no archive " + Quoted(archive) + " (result code " +
                             std::to_string(zip.ResultCode()) + ").");
      }
    } catch (const Exception& e) {
      ReportPackingFailure(e.Message());
    }
    // An archive of a file that changed under the engine is no backup; an
    // archive that was there before keeps its other entries.
    if (success_ && !Unchanged()) {
      if (!archiveExisted) platform::DeleteFile(archive);
      ReportPackingFailure(ChangedText() + ".");
    }
  }

  void ReportPackingFailure(const std::string& reason) {
    success_ = false;
    Report(MessageKind::Warning,
           std::string("Error compressing backup.") + Paragraph + reason + LineBreak + LineBreak + ContactUs);
  }

  // Unguarded: an error here leaves the job and reaches its caller. A result
  // file that has gone since it was made is no backup, so it is not recorded.
  void RecordDate() {
    if (!platform::FileExists(resultFile_)) {
      ReportMissingBackupFile();
      return;
    }
    form_.qryvl.CommandText = DateUpdate;
    form_.qryvl.Execute();
    form_.BackupRecorded = true;
  }

  TfrmBackup& form_;
  bool success_ = true;
  std::string folder_;
  std::string resultFile_;
  std::optional<platform::FileLock> lock_;
  platform::FileSnapshot written_;  // right after the backup command
  platform::FileSnapshot settled_;  // after the wait, before packing or copying
};

}  // namespace

void TfrmBackup::RunBackup() { BackupJob(*this).Run(); }

void TfrmBackup::btnbackupClick(QObject* /*sender*/) { RunBackup(); }

}  // namespace vl
