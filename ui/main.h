#pragma once
// The main window: the folder box, the time-stamp choice, the Backup button, and
// the components the backup job works with.
#include <QWidget>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/job/BackupJob.h"
#include "connection/odbc/Ado.h"
#include "platform/System.h"
#include "ui/FolderBrowser.h"

class QCheckBox;
class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace Ui {
class frmBackup;
}

namespace vl {

class TZipFile;

class TfrmBackup : public QWidget {
  Q_OBJECT

 public:
  // Builds the components (loading the zip engine; the program ends with exit
  // code 1 when that fails), then runs FormCreate. The window is not shown.
  explicit TfrmBackup(QWidget* parent = nullptr);
  ~TfrmBackup() override;

  // Controls.
  QFrame* Bevel1 = nullptr;
  QToolButton* SpeedButton1 = nullptr;
  QLineEdit* edtpath = nullptr;
  QPushButton* btnbackup = nullptr;
  QCheckBox* cbAutoFileName = nullptr;

  // Non-visual components, owned by the window for the whole run.
  TADOConnection conVelloran;
  TADOCommand qryvl{conVelloran};
  // The folder chooser; tests put a scripted one in its place.
  std::unique_ptr<FolderChooser> directoryb;
  std::unique_ptr<TZipFile> ZipFile;

  bool UseDateStamp = false;

  // Runs the backup job on the folder box's text, UseDateStamp and the run
  // flags, showing its boxes and the busy cursor. The job runs on a thread of its
  // own while the window keeps painting, shows the phase and takes no input; the
  // call returns when the job has ended. A call while a job runs does nothing.
  void RunBackup();
  // The request a backup now would run with: the folder box's text,
  // UseDateStamp, NoZipMode, the preference "KeepBackups", the command line's
  // Key=Value arguments, Clock and Wait. The silent run takes it as it is.
  BackupRequest MakeBackupRequest() const;
  // The clock and the 10-second wait handed to the job; tests replace them.
  std::function<platform::LocalDateTime()> Clock = platform::Now;
  std::function<void(unsigned milliseconds)> Wait = platform::Sleep;
  // The job RunBackup runs; tests replace it.
  std::function<BackupOutcome(const BackupRequest&, BackupComponents, BackupSink&)> Job = RunBackupJob;
  // The outcome of the last RunBackup; empty when an error left it.
  const std::optional<BackupOutcome>& LastBackupOutcome() const { return lastOutcome_; }
  bool JobRunning() const { return jobRunning_; }
  // The line that shows the job's phase over the check box's row, hidden when idle.
  QLabel* PhaseLine() const { return phaseLine_; }
  // Shows the phase in the caption and the phase line.
  void ShowPhase(BackupPhase phase, int percent);

  void btnbackupClick(QObject* sender);
  void SpeedButton1Click(QObject* sender);
  void cbAutoFileNameClick(QObject* sender);
  void FormCreate(QObject* sender);

  // The folder box's text as it stands now, typed or browsed: the folder the
  // backup job uses.
  std::string FolderText() const;

  // The preferences file: DataFolder + "vlbackup.ini".
  std::string PreferencesFileName() const;
  // The "Path" text; sets UseDateStamp from "DateStamp".
  std::string LoadPreferences();
  void SavePath(const std::string& path);

 protected:
  // Ignored while a job runs.
  void closeEvent(QCloseEvent* event) override;

 private:
  class RunningJob;
  void CreatePhaseLine();
  void ApplyStoredComponentSettings();
  void ConnectEvents();
  // Runs an event handler the way the window framework does: an error that
  // escapes it is shown in the standard error box and the program goes on.
  // While FormCreate runs, the error is kept instead and FormCreate rethrows it,
  // so the rest of creation is skipped as it would be had the error unwound it.
  void HandleEvent(const std::function<void()>& handler);

  std::unique_ptr<Ui::frmBackup> form_;
  std::optional<BackupOutcome> lastOutcome_;
  QLabel* phaseLine_ = nullptr;
  bool jobRunning_ = false;
  bool creating_ = false;
  std::exception_ptr creationError_;
};

// The window framework's box for an error that escaped an event handler: the
// message (with a full stop added when its last character sorts after one),
// captioned with the application's title, with the error icon.
void ShowStandardErrorBox(const std::string& message);
// The text that box shows.
std::string StandardErrorText(const std::string& message);

}  // namespace vl
