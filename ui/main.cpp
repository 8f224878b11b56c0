#include "ui/main.h"

#include <QCheckBox>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>

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
#include "ui_frmBackup.h"

// The resource initialiser is a global name; a static library only links it in
// when it is called.
static void InitialiseWindowResources() { Q_INIT_RESOURCE(frmBackup); }

namespace vl {
namespace {
constexpr const char* PreferencesSection = "Main";
constexpr const char* PathKey = "Path";
constexpr const char* DateStampKey = "DateStamp";
constexpr int CommandTimeoutSeconds = 4000;
constexpr const char* StoredSettingsResource = ":/frmBackup/frmBackup.components";

std::string ToStdString(const QString& text) { return text.toLocal8Bit().toStdString(); }
QString ToQString(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

std::string ReadResource(const char* name) {
  QFile file(QString::fromLatin1(name));
  if (!file.open(QIODevice::ReadOnly)) throw Exception(std::string("Missing resource ") + name);
  return file.readAll().toStdString();
}

// The window's side of the job: boxes with the detail under the message, and
// the application-wide cursor.
class WindowSink : public BackupSink {
 public:
  void Show(platform::MessageKind kind, const std::string& message, const std::string& detail) override {
    platform::ShowMessage(kind, MessageWithDetail(message, detail));
  }
  void Busy(bool busy) override {
    platform::CurrentUserInterface().SetCursor(busy ? platform::AppCursor::Busy : platform::AppCursor::Arrow);
  }
  void Phase(BackupPhase, int) override {}
};

void CentreOnScreen(QWidget& window) {
  if (QScreen* screen = QGuiApplication::primaryScreen())
    window.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.size(), screen->availableGeometry()));
}
}  // namespace

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
  form_->setupUi(this);
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
  ZipFile = std::make_unique<TZipFile>();
  ApplyStoredComponentSettings();
  ConnectEvents();
  CentreOnScreen(*this);
  btnbackup->setFocus();
  InstallFaceSubstitutes();
  HandleEvent([this] { FormCreate(this); });
}

TfrmBackup::~TfrmBackup() = default;

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

void TfrmBackup::RunBackup() {
  BackupRequest request;
  request.FolderText = FolderText();
  request.NoZipMode = NoZipMode;
  request.UseDateStamp = UseDateStamp;
  request.KeepBackups = ReadKeepBackups(PreferencesFileName());
  request.ConnectionArguments = KeyValueArguments();
  request.Clock = Clock;
  request.Wait = Wait;
  WindowSink sink;
  lastOutcome_.reset();
  lastOutcome_ = RunBackupJob(request, {conVelloran, qryvl, *ZipFile}, sink);
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
