#pragma once
// The main window: the folder box, the time-stamp choice, the Backup button, and
// the components the backup job works with.
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "connection/Ado.h"
#include "platform/System.h"

class QCheckBox;
class QFrame;
class QLineEdit;
class QPushButton;
class QToolButton;

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
  std::unique_ptr<TZipFile> ZipFile;

  bool UseDateStamp = false;

  // --- Backup job (app/RunBackup.cpp) ---------------------------------------
  void RunBackup();
  // The clock and the 10-second wait; tests replace them.
  std::function<platform::LocalDateTime()> Clock = platform::Now;
  std::function<void(unsigned milliseconds)> Wait = platform::Sleep;
  // The outcome of the last RunBackup: true only when the backup file or archive
  // exists and its date was recorded.
  bool BackupRecorded = false;
  // The messages SilentMode held back in the last RunBackup, one console line
  // ("vlbackup: <caption>: <text>") each, for the silent run to print.
  std::vector<std::string> SuppressedMessages;
  // ---------------------------------------------------------------------------

  void btnbackupClick(QObject* sender);
  void SpeedButton1Click(QObject* sender);
  void cbAutoFileNameClick(QObject* sender);
};

}  // namespace vl
