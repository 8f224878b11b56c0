#pragma once
// The backup job as one unit: an explicit request in, the window's components
// borrowed, progress and boxes out through a sink, an outcome back. It touches
// no widget and shows nothing itself, so it may run on any one thread.
#include <functional>
#include <string>
#include <vector>

#include "connection/odbc/Ado.h"
#include "platform/System.h"
#include "platform/UserInterface.h"

namespace vl {

class TZipFile;

struct BackupRequest {
  std::string FolderText;  // as typed or stored; trimmed by the job, empty means the default folder
  bool NoZipMode = false;  // keep VL.BAK instead of packing it
  bool UseDateStamp = false;
  // The "KeepBackups" preference as stored: how many time-stamped backups a
  // stamped run leaves in the folder. Empty or "0" keeps all.
  std::string KeepBackups;
  // Key=Value connection settings, overriding the settings files.
  std::vector<std::string> ConnectionArguments;
  std::function<platform::LocalDateTime()> Clock = platform::Now;
  std::function<void(unsigned milliseconds)> Wait = platform::Sleep;
};

// Borrowed for the length of one call.
struct BackupComponents {
  TADOConnection& conVelloran;
  TADOCommand& qryvl;
  TZipFile& ZipFile;
};

enum class BackupPhase { Connecting, BackingUp, Waiting, Packing, Copying, RecordingDate };

// The phase in words, as the window and the terminal show it: "Backing up".
const char* PhaseName(BackupPhase phase);

// What the job reports while it runs. Called on the job's thread; an
// implementation that shows anything hands it to its own thread.
class BackupSink {
 public:
  virtual ~BackupSink() = default;
  // A box the job shows, at the step that shows it. The detail (the cause, when
  // known) belongs under the message; it may be empty.
  virtual void Show(platform::MessageKind kind, const std::string& message, const std::string& detail) = 0;
  // True at the start; false where the job gives the arrow back, also when an error leaves it.
  virtual void Busy(bool busy) = 0;
  // Each phase as it begins, with 0; packing again with the engine's percentage.
  virtual void Phase(BackupPhase phase, int percent) = 0;
};

// A sink for a run that shows nothing.
class SilentSink : public BackupSink {
 public:
  void Show(platform::MessageKind, const std::string&, const std::string&) override {}
  void Busy(bool) override {}
  void Phase(BackupPhase, int) override {}
};

// The step at which a job stopped.
enum class BackupStep { None, Connect, Lock, BackupCommand, BackupFile, Copy, Pack, RecordDate };

struct BackupOutcome {
  BackupStep FailedStep = BackupStep::None;
  platform::MessageKind Kind = platform::MessageKind::Error;
  std::string Message;     // the job's text for the failure; empty after a success
  std::string Detail;      // the cause: the system's, the engine's or the server's words; may be empty
  bool Shown = false;      // whether the failure was shown as a box
  std::string ResultFile;  // the backup file or archive whose date was recorded
  // What went wrong after a good backup, removing older ones; never a failure.
  std::vector<std::string> Warnings;
  std::vector<std::string> Removed;  // older backups deleted after this one, full names

  bool Succeeded() const { return FailedStep == BackupStep::None; }
};

// One backup. After a stamped backup whose date was recorded, the oldest
// stamped files of its kind beyond the newest KeepBackups are deleted; what
// fails there becomes a warning, shown under the success message. An error
// raised by the date update, or one not of the general error type, leaves the
// call after Busy(false).
BackupOutcome RunBackupJob(const BackupRequest& request, BackupComponents components, BackupSink& sink);

// A failure as one text: the message, then the detail as a paragraph of its own.
std::string MessageWithDetail(const std::string& message, const std::string& detail);

}  // namespace vl
