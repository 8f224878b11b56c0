// The program entry: sets up the application, creates the main window and runs
// either the interactive window or one silent backup ("/S").
#include <QApplication>
#include <exception>
#include <memory>
#include <string>

#include "app/LastResort.h"
#include "app/ProgressLine.h"
#include "app/job/BackupJob.h"
#include "app/job/RunModes.h"
#include "archive/DynaLibZ.h"
#include "platform/CommandLine.h"
#include "platform/Console.h"
#include "platform/System.h"
#include "platform/UserInterface.h"
#include "ui/QtUserInterface.h"
#include "ui/main.h"

namespace {

// How the program may show itself.
struct Screen {
  bool headless = false;        // boxes go to standard error; Qt draws offscreen
  bool canShowWindow = false;   // the interactive window can be seen and closed
  bool forceOffscreen = false;  // QT_QPA_PLATFORM must be set to offscreen
};

// Runs under cron, systemd or SSH have no display server; there Qt draws
// offscreen and every box goes to standard error. A platform the caller chose
// with QT_QPA_PLATFORM is kept; offscreen or minimal then also count as headless.
Screen ChooseScreen() {
  Screen screen;
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (!platform.isEmpty()) {
    screen.headless = platform.startsWith("offscreen") || platform.startsWith("minimal");
    screen.canShowWindow = true;
    return screen;
  }
  const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  screen.headless = !display;
  // A window nobody can see could never be closed.
  screen.canShowWindow = display;
  screen.forceOffscreen = !display;
  return screen;
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

void PrintLine(vl::platform::MessageKind kind, const std::string& text) {
  vl::platform::WriteStandardError(vl::platform::ConsoleLine(vl::platform::CaptionOf(kind), text) + "\n");
}

// A silent run shows no box; a failure still tells the scheduler why no backup
// was made, and a warning what was left undone after a good one.
void PrintOutcome(const vl::BackupOutcome& outcome) {
  if (!outcome.Succeeded()) PrintLine(outcome.Kind, vl::MessageWithDetail(outcome.Message, outcome.Detail));
  for (const std::string& warning : outcome.Warnings) PrintLine(vl::platform::MessageKind::Warning, warning);
}

// Progress for a person watching; nothing at all for a scheduler.
std::unique_ptr<vl::BackupSink> SilentRunSink() {
  if (!vl::platform::StandardErrorIsTerminal()) return std::make_unique<vl::SilentSink>();
  return std::make_unique<vl::ProgressLine>(vl::platform::WriteStandardError);
}

int RunSilently(vl::TfrmBackup& form) {
  vl::SilentMode = true;
  vl::NoZipMode = vl::HasSwitch(vl::NoZipSwitch);
  // The folder and time-stamp choice the window loaded from the preferences.
  const vl::BackupRequest request = form.MakeBackupRequest();
  vl::BackupOutcome outcome;
  {
    // Gone, and its line cleared, before any other line is written.
    const std::unique_ptr<vl::BackupSink> sink = SilentRunSink();
    outcome = vl::RunBackupJob(request, {form.conVelloran, form.qryvl, *form.ZipFile}, *sink);
  }
  vl::platform::CurrentUserInterface().RequestTerminate();
  PrintOutcome(outcome);
  return outcome.Succeeded() ? vl::ExitSuccess : vl::ExitJobFailed;
}

int RunInteractively(vl::TfrmBackup& form, bool canShowWindow) {
  if (!canShowWindow) {
    vl::platform::ShowMessage(vl::platform::MessageKind::Error,
                              "No display is available for the window. Start vlbackup with /S for a silent backup.");
    return vl::ExitStopped;
  }
  form.show();
  QApplication::exec();
  return vl::ExitSuccess;
}

int Run(const Screen& screen) {
  std::unique_ptr<vl::platform::UserInterface> qtInterface;
  if (!screen.headless) qtInterface = std::make_unique<vl::QtUserInterface>();
  InstalledUserInterface installed(std::move(qtInterface));
  try {
    // Before any setting, the password among them, is read.
    vl::platform::MarkProcessNotDumpable();
    // Built before the mode is chosen: a missing zip engine ends every run here.
    vl::TfrmBackup form;
    return vl::IsSilentRun() ? RunSilently(form) : RunInteractively(form, screen.canShowWindow);
  } catch (...) {
    return vl::HandleEscapedError(std::current_exception());
  }
}

}  // namespace

int main(int argc, char** argv) {
  vl::platform::InitCommandLine(argc, argv);
  const Screen screen = ChooseScreen();
  if (screen.forceOffscreen) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (screen.headless) QtDefaultHandler = qInstallMessageHandler(KeepOnlyQtErrors);
  QApplication app(argc, argv);
  // The title shows as the main window's caption and as the caption of the
  // standard error box; it is not made Qt's display name, which Qt would append
  // to every box's caption ("Warning" must stay "Warning").
  QApplication::setApplicationName("vlbackup");
  return Run(screen);
}
