#include "ui/main.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <memory>
#include <mutex>

#include "app/job/BackupNames.h"
#include "app/job/RunModes.h"
#include "archive/DynaLibZ.h"
#include "connection/UtilityConnect.h"
#include "platform/Error.h"
#include "platform/SpecialFolders.h"
#include "platform/UserInterface.h"
#include "ui/ModernFonts.h"
#include "ui/Preferences.h"
#include "ui/StoredSettings.h"
#include "ui/WindowThread.h"
#include "ui_frmBackup.h"

// The resource initialiser is a global name; a static library only links it in
// when it is called.
static void InitialiseWindowResources() { Q_INIT_RESOURCE(frmBackup); }

namespace vl {
namespace {
constexpr const char* PreferencesSection = "Main";
constexpr const char* PathKey = "Path";
constexpr const char* DateStampKey = "DateStamp";
constexpr const char* KeepBackupsKey = "KeepBackups";
constexpr int CommandTimeoutSeconds = 4000;
constexpr const char* StoredSettingsResource = ":/frmBackup/frmBackup.components";

std::string ToStdString(const QString& text) { return text.toLocal8Bit().toStdString(); }
QString ToQString(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

std::string ReadResource(const char* name) {
  QFile file(QString::fromLatin1(name));
  if (!file.open(QIODevice::ReadOnly)) throw Exception(std::string("Missing resource ") + name);
  return file.readAll().toStdString();
}

// The phase the job reported last and whether the window has yet to show it:
// the engine reports its percentage far more often than the window can paint.
struct LatestPhase {
  std::mutex lock;
  BackupPhase phase = BackupPhase::Connecting;
  int percent = 0;
  bool posted = false;
};

// The window's side of the job, called on the job's thread. Boxes and the cursor
// are handed to the window's thread and waited for, so the job's order of steps
// and boxes holds; phases are posted.
class WindowSink : public BackupSink {
 public:
  explicit WindowSink(TfrmBackup& window) : window_(window) {}

  void Show(platform::MessageKind kind, const std::string& message, const std::string& detail) override {
    // A silent run shows no box of the job; its outcome still says what happened.
    if (SilentMode) return;
    CallOnThreadOf(&window_, [&] { platform::ShowMessage(kind, MessageWithDetail(message, detail)); });
  }
  void Busy(bool busy) override {
    CallOnThreadOf(&window_, [busy] {
      platform::CurrentUserInterface().SetCursor(busy ? platform::AppCursor::Busy : platform::AppCursor::Arrow);
    });
  }
  void Phase(BackupPhase phase, int percent) override {
    {
      const std::lock_guard<std::mutex> hold(latest_->lock);
      latest_->phase = phase;
      latest_->percent = percent;
      if (std::exchange(latest_->posted, true)) return;
    }
    QMetaObject::invokeMethod(
        &window_,
        [latest = latest_, window = &window_] {
          std::unique_lock<std::mutex> hold(latest->lock);
          latest->posted = false;
          const BackupPhase phase = latest->phase;
          const int percent = latest->percent;
          hold.unlock();
          window->ShowPhase(phase, percent);
        },
        Qt::QueuedConnection);
  }

 private:
  TfrmBackup& window_;
  std::shared_ptr<LatestPhase> latest_ = std::make_shared<LatestPhase>();
};

// The program's icon in every size drawn for it; the window manager picks one.
QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/icons/vlbackup-%1.png").arg(size), QSize(size, size));
  return icon;
}

void CentreOnScreen(QWidget& window) {
  if (QScreen* screen = QGuiApplication::primaryScreen())
    window.setGeometry(
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.size(), screen->availableGeometry()));
}
}  // namespace

// The window's state while a job runs: input dropped, close refused, the phase
// shown; the idle look back afterwards, also when an error leaves the job.
class TfrmBackup::RunningJob {
 public:
  explicit RunningJob(TfrmBackup& window) : window_(window), caption_(window.windowTitle()), blocker_(window) {
    window_.jobRunning_ = true;
  }
  ~RunningJob() {
    window_.jobRunning_ = false;
    window_.phaseLine_->hide();
    window_.setWindowTitle(caption_);
  }
  RunningJob(const RunningJob&) = delete;
  RunningJob& operator=(const RunningJob&) = delete;

 private:
  TfrmBackup& window_;
  QString caption_;
  InputBlocker blocker_;
};

std::string StandardErrorText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
    return message + ".";
  return message;
}

void ShowStandardErrorBox(const std::string& message) {
  platform::CurrentUserInterface().ShowMessage(platform::MessageKind::Error, platform::ApplicationTitle,
                                               StandardErrorText(message));
}

TfrmBackup::TfrmBackup(QWidget* parent)
    : QWidget(parent), directoryb(std::make_unique<TFolderBrowseDialog>()), form_(std::make_unique<Ui::frmBackup>()) {
  InitialiseWindowResources();
  // Before any text is measured, and the icon before any box can show.
  InstallFaceSubstitutes();
  QGuiApplication::setWindowIcon(ApplicationIcon());
  form_->setupUi(this);
  setWindowIcon(QGuiApplication::windowIcon());
  Bevel1 = form_->Bevel1;
  SpeedButton1 = form_->SpeedButton1;
  edtpath = form_->edtpath;
  btnbackup = form_->btnbackup;
  cbAutoFileName = form_->cbAutoFileName;
  // A close button and no minimise or maximise button. An ordinary window, not
  // Qt::Tool: X11 window managers treat a utility window as a palette belonging
  // to another window (no taskbar entry), and this is the program's only one.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  CreatePhaseLine();
  ZipFile = std::make_unique<TZipFile>();
  ApplyStoredComponentSettings();
  ConnectEvents();
  CentreOnScreen(*this);
  btnbackup->setFocus();
  HandleEvent([this] { FormCreate(this); });
}

TfrmBackup::~TfrmBackup() = default;

// Over the empty right part of the check box's row, inside the bevel, so the
// layout stays as it is whether a job runs or not.
void TfrmBackup::CreatePhaseLine() {
  phaseLine_ = new QLabel(this);
  phaseLine_->setObjectName(QStringLiteral("lblPhase"));
  phaseLine_->setGeometry(180, 46, 151, 17);
  phaseLine_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  phaseLine_->hide();
}

void TfrmBackup::ShowPhase(BackupPhase phase, int percent) {
  if (!jobRunning_) return;
  const QString text = ToQString(PhaseText(phase, percent));
  phaseLine_->setText(text);
  phaseLine_->show();
  setWindowTitle(QString::fromLatin1(platform::ApplicationTitle) + QStringLiteral(" - ") + text);
}

void TfrmBackup::closeEvent(QCloseEvent* event) {
  if (jobRunning_) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void TfrmBackup::ApplyStoredComponentSettings() {
  ApplyStoredSettings(ParseStoredSettings(ReadResource(StoredSettingsResource)), {qryvl, conVelloran, *ZipFile});
}

void TfrmBackup::ConnectEvents() {
  connect(btnbackup, &QPushButton::clicked, this, [this] { HandleEvent([this] { btnbackupClick(btnbackup); }); });
  connect(SpeedButton1, &QToolButton::clicked, this,
          [this] { HandleEvent([this] { SpeedButton1Click(SpeedButton1); }); });
  // Every change of state, whether from the user or from code, is a click.
  connect(cbAutoFileName, &QCheckBox::toggled, this,
          [this] { HandleEvent([this] { cbAutoFileNameClick(cbAutoFileName); }); });
}

void TfrmBackup::HandleEvent(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    if (creating_)
      creationError_ = std::current_exception();
    else
      ShowStandardErrorBox(error.what());
  }
}

void TfrmBackup::FormCreate(QObject*) {
  LocateSettingsFiles();
  qryvl.CommandTimeout = CommandTimeoutSeconds;
  const std::string path = LoadPreferences();
  edtpath->setText(ToQString(path));
  // The check box's handler runs from inside setChecked; an error it raises
  // ends creation here.
  creating_ = true;
  creationError_ = nullptr;
  cbAutoFileName->setChecked(UseDateStamp);
  creating_ = false;
  if (creationError_) std::rethrow_exception(std::exchange(creationError_, nullptr));
  ModerniseFonts(this);
}

std::string TfrmBackup::FolderText() const { return ToStdString(edtpath->text()); }

std::string TfrmBackup::PreferencesFileName() const {
  if (DataFolder.empty()) return platform::CurrentDriveRoot() + "vlbackup.ini";
  if (DataFolder.back() == platform::PathDelim) return DataFolder + "vlbackup.ini";
  return DataFolder + platform::PathDelim + "vlbackup.ini";
}

std::string TfrmBackup::LoadPreferences() {
  const std::string file = PreferencesFileName();
  std::string path = ReadSettingText(file, PreferencesSection, PathKey, DefaultBackupFolder());
  UseDateStamp = ReadSettingBool(file, PreferencesSection, DateStampKey, false);
  return path;
}

void TfrmBackup::SavePath(const std::string& path) {
  WriteSettingText(PreferencesFileName(), PreferencesSection, PathKey, path);
}

BackupRequest TfrmBackup::MakeBackupRequest() const {
  BackupRequest request;
  request.FolderText = FolderText();
  request.NoZipMode = NoZipMode;
  request.UseDateStamp = UseDateStamp;
  // Read at each run, as stored: the job judges the value.
  request.KeepBackups = ReadSettingText(PreferencesFileName(), PreferencesSection, KeepBackupsKey, "");
  request.ConnectionArguments = KeyValueArguments();
  request.Clock = Clock;
  request.Wait = Wait;
  return request;
}

void TfrmBackup::RunBackup() {
  // Only code can get here while a job runs (the window drops input meanwhile).
  if (jobRunning_) return;
  const BackupRequest request = MakeBackupRequest();
  const BackupComponents components{conVelloran, qryvl, *ZipFile};
  lastOutcome_.reset();
  const RunningJob running(*this);
  WindowSink sink(*this);
  std::optional<BackupOutcome> outcome;
  RunOffThisThread([&] { outcome = Job(request, components, sink); });
  lastOutcome_ = std::move(outcome);
}

void TfrmBackup::btnbackupClick(QObject* /*sender*/) { RunBackup(); }

void TfrmBackup::SpeedButton1Click(QObject*) {
  std::optional<std::string> folder = directoryb->Execute(this);
  if (!folder) return;
  edtpath->setText(ToQString(*folder));
  SavePath(FolderText());
}

void TfrmBackup::cbAutoFileNameClick(QObject*) {
  const bool checked = cbAutoFileName->isChecked();
  WriteSettingBool(PreferencesFileName(), PreferencesSection, DateStampKey, checked);
  UseDateStamp = checked;
}

}  // namespace vl
