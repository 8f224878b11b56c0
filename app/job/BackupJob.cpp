// The backup job: one call, start to end, on the caller's thread.
#include "app/job/BackupJob.h"

#include <optional>
#include <string>
#include <utility>

#include "app/job/BackupNames.h"
#include "app/job/Retention.h"
#include "archive/DynaLibZ.h"
#include "connection/UtilityConnect.h"
#include "connection/odbc/DatabaseError.h"
#include "dzip.h"
#include "platform/Error.h"
#include "platform/Files.h"
#include "platform/Text.h"

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

// The preference's name, as a warning about its value quotes it.
constexpr const char* KeepBackupsKey = "KeepBackups";

// The job's messages break lines with LF CR and separate paragraphs with two pairs.
constexpr const char* LineBreak = "\n\r";
constexpr const char* Paragraph = "\n\r\n\r";
constexpr const char* ContactUs = "Please contact Corvanta for further assistance.";

// Busy for its lifetime; the arrow afterwards, also when an error leaves the job.
// A sink that fails to show the cursor must not stop a backup.
class BusyState {
 public:
  explicit BusyState(BackupSink& sink) : sink_(sink) { Set(true); }
  ~BusyState() { Set(false); }
  BusyState(const BusyState&) = delete;
  BusyState& operator=(const BusyState&) = delete;

 private:
  void Set(bool busy) noexcept {
    try {
      sink_.Busy(busy);
    } catch (...) {
    }
  }

  BackupSink& sink_;
};

// Forwards the engine's progress on the one file as the packing percentage,
// for the length of one packing; the component's own handler keeps its calls.
class PackingProgress {
 public:
  PackingProgress(TZipFile& zip, BackupSink& sink) : zip_(zip), previous_(zip.OnMinorCallback) {
    zip_.OnMinorCallback = [this, &sink](const char* item, std::int32_t percent, bool& cancel) {
      if (previous_) previous_(item, percent, cancel);
      sink.Phase(BackupPhase::Packing, percent);
    };
  }
  ~PackingProgress() { zip_.OnMinorCallback = std::move(previous_); }
  PackingProgress(const PackingProgress&) = delete;
  PackingProgress& operator=(const PackingProgress&) = delete;

 private:
  TZipFile& zip_;
  TStatusCallback previous_;
};

std::string Sentence(const std::string& text) {
  if (text.empty()) return text;
  return text.back() == '.' ? text : text + ".";
}

// What the server added to its text: the SQLSTATE and its own error number.
std::string DatabaseDetail(const Exception& e) {
  const auto* database = dynamic_cast<const EDatabaseError*>(&e);
  if (database == nullptr || database->SqlState.empty()) return "";
  return "SQLSTATE " + database->SqlState + ", native error " + std::to_string(database->NativeError) + ".";
}

// An empty folder text means the default folder, as a fresh installation has it.
std::string BackupFolder(const std::string& text) {
  return TrimBackupFolder(Trim(text).empty() ? DefaultBackupFolder() : text);
}

// Why a file the job needs is not there, in the system's words.
std::string AbsenceReason(const std::string& file) {
  try {
    platform::SoleRegularFile(file);
    return "";
  } catch (const Exception& e) {
    return "The file " + Sentence(e.Message());
  }
}

// One call. The outcome starts as a success; the first detected failure is
// recorded and nothing sets success again.
class BackupJob {
 public:
  BackupJob(const BackupRequest& request, BackupComponents components, BackupSink& sink)
      : request_(request), components_(components), sink_(sink) {}

  BackupOutcome Run() {
    {
      BusyState busy(sink_);
      if (Connect()) {
        BackUp();
        if (Succeeded()) KeepOrPack();
      }
    }
    if (Succeeded()) RecordDate();
    if (Succeeded()) KeepNewest();
    if (Succeeded()) sink_.Show(MessageKind::Information, "Backup completed successfully.", WarningsText());
    return std::move(outcome_);
  }

 private:
  bool Succeeded() const { return outcome_.Succeeded(); }

  // A failure shown as a box at this step.
  void Fail(BackupStep step, MessageKind kind, const std::string& message, const std::string& detail) {
    Record(step, kind, message, detail);
    outcome_.Shown = true;
    sink_.Show(kind, message, detail);
  }

  // A failure that shows no box; the outcome still says why no backup was made.
  void Record(BackupStep step, MessageKind kind, const std::string& message, const std::string& detail) {
    outcome_.FailedStep = step;
    outcome_.Kind = kind;
    outcome_.Message = message;
    outcome_.Detail = detail;
    outcome_.ResultFile.clear();
  }

  bool Connect() {
    sink_.Phase(BackupPhase::Connecting, 0);
    std::string connectError;
    if (ConnectDatabase(components_.conVelloran, connectError, request_.ConnectionArguments)) return true;
    // The connect text already names the server and quotes what it said.
    Fail(BackupStep::Connect, MessageKind::Error,
         connectError.empty() ? "Unable to connect to the Velloran database." : connectError, "");
    return false;
  }

  void BackUp() {
    folder_ = BackupFolder(request_.FolderText);
    if (!LockFolder()) return;
    sink_.Phase(BackupPhase::BackingUp, 0);
    const std::string backupFile = BackupFileName(folder_);
    platform::DeleteFile(backupFile);
    components_.qryvl.CommandText = BackupCommand;
    components_.qryvl.SetParameterValue(backupFile);
    try {
      components_.qryvl.Execute();
      if (!platform::FileExists(backupFile)) {
        FailMissingFile(BackupStep::BackupFile, backupFile);
        return;
      }
    } catch (const Exception& e) {
      Fail(BackupStep::BackupCommand, MessageKind::Warning,
           std::string("Error backing up Database.") + Paragraph + e.Message() + LineBreak + LineBreak + ContactUs,
           DatabaseDetail(e));
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
          Fail(BackupStep::Lock, MessageKind::Error,
               "Unable to back up into " + Quoted(folder_) + ": another backup into this folder is running.", "");
          return false;
        }
        request_.Wait(LockRetryMilliseconds);
      }
      return true;
    } catch (const Exception& e) {
      Fail(BackupStep::Lock, MessageKind::Error, "Unable to lock the backup folder " + Quoted(folder_),
           Sentence(e.Message()));
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
      RefuseBackupFile("The backup file " + Quoted(BackupFileName(folder_)) +
                       " was replaced after the server wrote it.");
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

  // Nothing is made from a backup file that is not the server's. Packing
  // reports it as its own failure; keeping the file shows no box for it.
  void RefuseBackupFile(const std::string& reason) {
    if (request_.NoZipMode)
      Record(BackupStep::BackupFile, MessageKind::Error, reason, "");
    else
      FailPacking(BackupStep::BackupFile, reason, "");
  }

  void FailMissingFile(BackupStep step, const std::string& file) {
    Fail(step, MessageKind::Error,
         "Unable to write backup file to " + Quoted(folder_) + Paragraph +
             "Please ensure you have permission to write to the selected folder.",
         AbsenceReason(file));
  }

  // The server may still be flushing the file when the command returns.
  void KeepOrPack() {
    sink_.Phase(BackupPhase::Waiting, 0);
    request_.Wait(SettleMilliseconds);
    if (!StillTheWrittenFile()) return;
    if (request_.NoZipMode)
      Keep();
    else
      Pack();
  }

  // Only one name per call carries a stamp, so the clock is read once, here.
  std::string Stamp() const { return BackupStamp(request_.Clock()); }

  void Keep() {
    const std::string source = PlainBackupName(folder_);
    if (!request_.UseDateStamp) {
      outcome_.ResultFile = source;
      return;
    }
    sink_.Phase(BackupPhase::Copying, 0);
    const std::string target = StampedBackupName(folder_, Stamp());
    outcome_.ResultFile = target;
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
    if (!failure.empty())
      Record(BackupStep::Copy, MessageKind::Error, "Unable to copy the backup file to " + Quoted(target) + ".",
             Sentence(failure));
  }

  void Pack() {
    sink_.Phase(BackupPhase::Packing, 0);
    TZipFile& zip = components_.ZipFile;
    zip.lpszItemList()->SetText(QuotedZipItem(BackupFileName(folder_)).c_str());
    const std::string archive =
        request_.UseDateStamp ? StampedArchiveName(folder_, Stamp()) : PlainArchiveName(folder_);
    outcome_.ResultFile = archive;
    zip.lpszZipFile()->SetText(archive.c_str());
    // The previous archive is the one this name denotes. On Windows "VL.ZIP"
    // reached "vl.zip" because names ignore case there; here names keep their case.
    if (!request_.UseDateStamp) platform::DeleteFile(archive);
    const bool archiveExisted = platform::FileExists(archive);
    zip.Options += LargeZIPFilesFlag;
    try {
      const PackingProgress progress(zip, sink_);
      const bool packed = zip.RunAction(AddAction);
      // Neither a false result nor a missing archive may pass for a backup.
      if (!packed) {
        FailPacking(BackupStep::Pack,
                    std::string("The zip engine reported: ") + DzipResultText(zip.ResultCode()) + " (result code " +
                        std::to_string(zip.ResultCode()) + ").",
                    Sentence(zip.ResultDetail()));
      } else if (!platform::FileExists(archive)) {
        FailPacking(BackupStep::Pack,
                    "The zip engine wrote no archive " + Quoted(archive) + " (result code " +
                        std::to_string(zip.ResultCode()) + ").",
                    "");
      }
    } catch (const Exception& e) {
      FailPacking(BackupStep::Pack, e.Message(), "");
    }
    // An archive of a file that changed under the engine is no backup; an
    // archive that was there before keeps its other entries.
    if (Succeeded() && !Unchanged()) {
      if (!archiveExisted) platform::DeleteFile(archive);
      FailPacking(BackupStep::BackupFile, ChangedText() + ".", "");
    }
  }

  void FailPacking(BackupStep step, const std::string& reason, const std::string& detail) {
    Fail(step, MessageKind::Warning,
         std::string("Error compressing backup.") + Paragraph + reason + LineBreak + LineBreak + ContactUs, detail);
  }

  // Unguarded: an error here leaves the job and reaches its caller. A result
  // file that has gone since it was made is no backup, so it is not recorded.
  void RecordDate() {
    if (!platform::FileExists(outcome_.ResultFile)) {
      FailMissingFile(BackupStep::RecordDate, outcome_.ResultFile);
      return;
    }
    sink_.Phase(BackupPhase::RecordingDate, 0);
    components_.qryvl.CommandText = DateUpdate;
    components_.qryvl.Execute();
  }

  // Runs only once the new file is complete and recorded, under the folder's
  // lock. A plain run makes no stamped file and so deletes none. Nothing here
  // turns the good backup into a failure.
  void KeepNewest() {
    if (Trim(request_.KeepBackups).empty()) return;
    const std::optional<unsigned> keep = ParseKeepBackups(request_.KeepBackups);
    if (!keep) {
      // The value itself is not repeated: it may hold anything, terminal controls included.
      outcome_.Warnings.push_back(std::string("The preference \"") + KeepBackupsKey +
                                  "\" is not a whole number from 0 to 10000, so all backups are kept.");
      return;
    }
    if (*keep == 0 || !request_.UseDateStamp) return;
    try {
      RetentionResult result =
          PruneStampedBackups(folder_, request_.NoZipMode ? ".bak" : ".zip", *keep, outcome_.ResultFile);
      outcome_.Removed = std::move(result.removed);
      for (const std::string& failure : result.failures)
        outcome_.Warnings.push_back("An older backup was not deleted: " + Sentence(failure));
    } catch (const Exception& e) {
      outcome_.Warnings.push_back("No older backup was deleted: " + Sentence(e.Message()));
    }
  }

  std::string WarningsText() const {
    std::string text;
    for (const std::string& warning : outcome_.Warnings) text += (text.empty() ? "" : Paragraph) + warning;
    return text;
  }

  const BackupRequest& request_;
  BackupComponents components_;
  BackupSink& sink_;
  BackupOutcome outcome_;
  std::string folder_;
  std::optional<platform::FileLock> lock_;
  platform::FileSnapshot written_;  // right after the backup command
  platform::FileSnapshot settled_;  // after the wait, before packing or copying
};

}  // namespace

BackupOutcome RunBackupJob(const BackupRequest& request, BackupComponents components, BackupSink& sink) {
  return BackupJob(request, components, sink).Run();
}

const char* PhaseName(BackupPhase phase) {
  switch (phase) {
    case BackupPhase::Connecting: return "Connecting";
    case BackupPhase::BackingUp: return "Backing up";
    case BackupPhase::Waiting: return "Waiting";
    case BackupPhase::Packing: return "Packing";
    case BackupPhase::Copying: return "Copying";
    case BackupPhase::RecordingDate: return "Recording the date";
  }
  return "Working";
}

std::string MessageWithDetail(const std::string& message, const std::string& detail) {
  return detail.empty() ? message : message + Paragraph + detail;
}

}  // namespace vl
