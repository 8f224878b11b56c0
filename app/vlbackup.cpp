// The program entry: sets up the application, creates the main window and runs
// either the interactive window or one silent backup ("/S").
#include <QApplication>
#include <cstdio>
#include <exception>
#include <memory>

#include "app/LastResort.h"
#include "app/RunModes.h"
#include "platform/CommandLine.h"
#include "platform/UserInterface.h"
#include "ui/QtUserInterface.h"
#include "ui/main.h"

namespace {

// Runs under cron, systemd or SSH have no display server; there the window
// system is replaced by Qt's offscreen one and every box goes to standard error.
bool HasDisplay() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform.startsWith("offscreen") || platform.startsWith("minimal")) return false;
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Without a display Qt's own notices (such as a missing XDG_RUNTIME_DIR) would
// reach a scheduler's mail beside the program's lines; only its errors are kept.
QtMessageHandler QtDefaultHandler = nullptr;

void KeepOnlyQtErrors(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) QtDefaultHandler(type, context, message);
}

// Installs a user interface for its lifetime and restores the console stand-in after.
class InstalledUserInterface {
 public:
  explicit InstalledUserInterface(std::unique_ptr<vl::platform::UserInterface> ui) : ui_(std::move(ui)) {
    vl::platform::InstallUserInterface(ui_.get());
  }
  ~InstalledUserInterface() { vl::platform::InstallUserInterface(nullptr); }
  InstalledUserInterface(const InstalledUserInterface&) = delete;
  InstalledUserInterface& operator=(const InstalledUserInterface&) = delete;

 private:
  std::unique_ptr<vl::platform::UserInterface> ui_;
};

void PrintHeldBackMessages(const vl::TfrmBackup& form) {
  for (const std::string& line : form.SuppressedMessages) std::fputs((line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

int RunSilently(vl::TfrmBackup& form) {
  vl::SilentMode = true;
  vl::NoZipMode = vl::HasSwitch(vl::NoZipSwitch);
  form.RunBackup();
  vl::platform::CurrentUserInterface().RequestTerminate();
  PrintHeldBackMessages(form);
  return form.BackupRecorded ? vl::ExitSuccess : vl::ExitJobFailed;
}

int RunInteractively(vl::TfrmBackup& form) {
  form.show();
  QApplication::exec();
  return vl::ExitSuccess;
}

int Run(bool withDisplay) {
  std::unique_ptr<vl::platform::UserInterface> qtInterface;
  if (withDisplay) qtInterface = std::make_unique<vl::QtUserInterface>();
  InstalledUserInterface installed(std::move(qtInterface));
  try {
    // Built before the mode is chosen: a missing zip engine ends every run here.
    vl::TfrmBackup form;
    return vl::IsSilentRun() ? RunSilently(form) : RunInteractively(form);
  } catch (...) {
    return vl::HandleEscapedError(std::current_exception());
  }
}

}  // namespace

int main(int argc, char** argv) {
  vl::platform::InitCommandLine(argc, argv);
  const bool withDisplay = HasDisplay();
  if (!withDisplay) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QtDefaultHandler = qInstallMessageHandler(KeepOnlyQtErrors);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("vlbackup");
  QApplication::setApplicationDisplayName(vl::platform::ApplicationTitle);
  return Run(withDisplay);
}
