#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <semaphore>

#include "UiTest.h"
#include "archive/DynaLibZ.h"
#include "platform/Error.h"
#include "ui/ModernFonts.h"
#include "ui/StoredSettings.h"
#include "ui/main.h"

namespace vl::test {
namespace {
void MakeReadOnly(const std::string& file) {
  std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
}

std::unique_ptr<TfrmBackup> OpenWindow() { return std::make_unique<TfrmBackup>(); }

// A job that stands still until released, so a test can look at the window
// while it runs. Each step runs on the job's thread, as the real job does.
class HeldJob {
 public:
  using Step = std::function<void(BackupSink&)>;
  explicit HeldJob(std::vector<Step> before, std::vector<Step> after = {})
      : before_(std::move(before)), after_(std::move(after)) {}

  BackupOutcome operator()(const BackupRequest&, BackupComponents, BackupSink& sink) {
    ++runs;
    for (const Step& step : before_) step(sink);
    released_.acquire();
    for (const Step& step : after_) step(sink);
    return BackupOutcome{};
  }
  void Release() { released_.release(); }

  std::atomic<int> runs = 0;

 private:
  std::vector<Step> before_;
  std::vector<Step> after_;
  std::binary_semaphore released_{0};
};

// What the window looked like while the job was held.
struct MidJob {
  bool running = false;
  QString caption;
  QString phaseLine;
  bool phaseLineVisible = false;
  bool closeAccepted = true;
  bool checkBoxToggled = false;
  QString folderText;
};

// Looks at the window once the job has reported its phase, tries the user's
// ways of getting in, then lets the job go on.
MidJob LookWhileHeld(TfrmBackup& window, HeldJob& job) {
  MidJob seen;
  seen.phaseLineVisible = QTest::qWaitFor([&] { return window.PhaseLine()->isVisible(); }, 5000);
  seen.running = window.JobRunning();
  seen.caption = window.windowTitle();
  seen.phaseLine = window.PhaseLine()->text();
  const bool checked = window.cbAutoFileName->isChecked();
  QTest::mouseClick(window.btnbackup, Qt::LeftButton);
  QTest::mouseClick(window.cbAutoFileName, Qt::LeftButton, {}, QPoint(5, 8));
  QTest::keyClick(window.cbAutoFileName, Qt::Key_Space);
  QTest::keyClicks(window.edtpath, "typed");
  seen.checkBoxToggled = window.cbAutoFileName->isChecked() != checked;
  seen.folderText = window.edtpath->text();
  seen.closeAccepted = window.close();
  job.Release();
  return seen;
}
}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void noPreferencesFile() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    QCOMPARE(window->FolderText(), sandbox.Folder("drive") + "/");
    QVERIFY(!window->cbAutoFileName->isChecked());
    QVERIFY(!window->UseDateStamp);
    QVERIFY(!sandbox.PreferencesExist());
  }

  // clang-format off
  void storedDateStamp_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("checked");
    QTest::newRow("1") << "DateStamp=1" << true;
    QTest::newRow("0") << "DateStamp=0" << false;
    QTest::newRow("true") << "DateStamp=true" << false;
    QTest::newRow("-1") << "DateStamp=-1" << true;
    QTest::newRow("2") << "DateStamp=2" << true;
    QTest::newRow("0x1") << "DateStamp=0x1" << true;
    QTest::newRow("empty") << "DateStamp=" << false;
    QTest::newRow("missing") << "Other=1" << false;
  }
  // clang-format on

  // A checked box at creation is written back as "1"; an unchecked one writes nothing.
  void storedDateStamp() {
    QFETCH(QString, stored);
    QFETCH(bool, checked);
    SettingsFolders sandbox({}, ProgramPath());
    const std::string content = "[Main]\nPath=/srv/backup\n" + stored.toStdString() + "\n";
    sandbox.WritePreferences(content);

    auto window = OpenWindow();

    QCOMPARE(window->cbAutoFileName->isChecked(), checked);
    QCOMPARE(window->UseDateStamp, checked);
    QCOMPARE(window->FolderText(), std::string("/srv/backup"));
    const std::string expected = checked ? "[Main]\nPath=/srv/backup\nDateStamp=1\n" : content;
    QCOMPARE(sandbox.Preferences(), expected);
  }

  void emptyPathGivesAnEmptyFolderBox() {
    SettingsFolders sandbox({}, ProgramPath());
    sandbox.WritePreferences("[Main]\nPath=\n");
    auto window = OpenWindow();
    QCOMPARE(window->FolderText(), std::string());
  }

  // The backup takes what is typed; only a browsed folder is remembered.
  void typedFolderIsUsedButNeverSaved() {
    SettingsFolders sandbox({}, ProgramPath());
    sandbox.WritePreferences("[Main]\nPath=/srv/stored\n");
    {
      auto window = OpenWindow();
      window->edtpath->clear();
      QTest::keyClicks(window->edtpath, "/srv/typed");
      QCOMPARE(window->FolderText(), std::string("/srv/typed"));
    }
    QCOMPARE(sandbox.Preferences(), std::string("[Main]\nPath=/srv/stored\n"));
    auto reopened = OpenWindow();
    QCOMPARE(reopened->FolderText(), std::string("/srv/stored"));
  }

  // clang-format off
  void browse_data() {
    QTest::addColumn<bool>("confirmed");
    QTest::addColumn<QString>("folder");
    QTest::newRow("cancelled") << false << "";
    QTest::newRow("root") << true << "/";
    QTest::newRow("folder") << true << "/srv/backups";
  }
  // clang-format on

  void browse() {
    QFETCH(bool, confirmed);
    QFETCH(QString, folder);
    SettingsFolders sandbox({}, ProgramPath());
    sandbox.WritePreferences("[Main]\nPath=/srv/old\n");
    auto window = OpenWindow();
    std::optional<std::string> answer;
    if (confirmed) answer = folder.toStdString();
    window->directoryb = std::make_unique<ScriptedChooser>(std::deque{answer});

    QTest::mouseClick(window->SpeedButton1, Qt::LeftButton);

    const std::string expected = confirmed ? folder.toStdString() : "/srv/old";
    QCOMPARE(window->FolderText(), expected);
    QCOMPARE(sandbox.Preferences(), "[Main]\nPath=" + expected + "\n");
  }

  // The window hands the chooser nothing of the folder box: what it preselects
  // is its own memory of the last confirmed folder.
  void browseAgainIgnoresTheFolderBox() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    auto chooser = std::make_unique<ScriptedChooser>(std::deque<std::optional<std::string>>{"/srv/a", "/srv/b"});
    ScriptedChooser* script = chooser.get();
    window->directoryb = std::move(chooser);
    QTest::mouseClick(window->SpeedButton1, Qt::LeftButton);
    window->edtpath->setText("/srv/edited");
    QTest::mouseClick(window->SpeedButton1, Qt::LeftButton);
    QCOMPARE(script->calls, 2);
    QCOMPARE(window->FolderText(), std::string("/srv/b"));
    QCOMPARE(sandbox.Preferences(), std::string("[Main]\nPath=/srv/b\n"));
  }

  void checkBoxToggledTwice() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    QTest::mouseClick(window->cbAutoFileName, Qt::LeftButton, {}, QPoint(5, 8));
    QVERIFY(window->UseDateStamp);
    QCOMPARE(sandbox.Preferences(), std::string("[Main]\nDateStamp=1\n"));
    window->cbAutoFileName->setFocus();
    QTest::keyClick(window->cbAutoFileName, Qt::Key_Space);
    QVERIFY(!window->UseDateStamp);
    QCOMPARE(sandbox.Preferences(), std::string("[Main]\nDateStamp=0\n"));
  }

  void readOnlyPreferencesAfterAToggle() {
    SettingsFolders sandbox({}, ProgramPath());
    sandbox.WritePreferences("[Main]\nPath=/srv/old\nDateStamp=0\n");
    MakeReadOnly(sandbox.PreferencesFile());
    RecordingUserInterface boxes;
    auto window = OpenWindow();
    QVERIFY(boxes.messages.empty());

    window->cbAutoFileName->click();

    QCOMPARE(boxes.messages.size(), std::size_t(1));
    QCOMPARE(boxes.messages[0].kind, platform::MessageKind::Error);
    QCOMPARE(boxes.messages[0].caption, std::string("Velloran Backup Utility"));
    QCOMPARE(boxes.messages[0].text, "Unable to write to " + sandbox.PreferencesFile() + "\n\n\"" +
                                         sandbox.PreferencesFile() + "\" is read-only.");
    QVERIFY(window->cbAutoFileName->isChecked());
    QVERIFY(!window->UseDateStamp);
    QCOMPARE(sandbox.Preferences(), std::string("[Main]\nPath=/srv/old\nDateStamp=0\n"));
  }

  void readOnlyPreferencesAfterABrowse() {
    SettingsFolders sandbox({}, ProgramPath());
    sandbox.WritePreferences("[Main]\nPath=/srv/old\n");
    MakeReadOnly(sandbox.PreferencesFile());
    RecordingUserInterface boxes;
    auto window = OpenWindow();
    window->directoryb = std::make_unique<ScriptedChooser>(std::deque<std::optional<std::string>>{"/srv/new"});

    window->SpeedButton1->click();

    QCOMPARE(boxes.messages.size(), std::size_t(1));
    QCOMPARE(boxes.messages[0].text, "Unable to write to " + sandbox.PreferencesFile() + "\n\n\"" +
                                         sandbox.PreferencesFile() + "\" is read-only.");
    QCOMPARE(window->FolderText(), std::string("/srv/new"));
    QCOMPARE(sandbox.Preferences(), std::string("[Main]\nPath=/srv/old\n"));
  }

  // The data folder may be writable by others: a link planted at the
  // preferences file's name must not carry the write to another file.
  void linkPlantedAtThePreferencesName() {
    SettingsFolders sandbox({}, ProgramPath());
    sandbox.WritePreferences("");
    const std::string victim = sandbox.DataFolder() + "/victim";
    WriteFile(victim, "[Main]\nPath=/srv/victim\n");
    std::filesystem::remove(sandbox.PreferencesFile());
    std::filesystem::create_symlink(victim, sandbox.PreferencesFile());
    RecordingUserInterface boxes;
    auto window = OpenWindow();
    QCOMPARE(window->FolderText(), std::string("/srv/victim"));

    window->cbAutoFileName->click();

    QCOMPARE(boxes.messages.size(), std::size_t(1));
    QCOMPARE(boxes.messages[0].text, "Unable to write to " + sandbox.PreferencesFile() + "\n\n\"" +
                                         sandbox.PreferencesFile() + "\" is a symbolic link.");
    QCOMPARE(ReadFile(victim), std::string("[Main]\nPath=/srv/victim\n"));
    QVERIFY(std::filesystem::is_symlink(sandbox.PreferencesFile()));
  }

  // A stored "1" that cannot be written back: the box appears during creation
  // and the fonts stay as designed.
  void readOnlyPreferencesDuringCreation() {
    SettingsFolders sandbox({}, ProgramPath());
    sandbox.WritePreferences("[Main]\nDateStamp=1\n");
    MakeReadOnly(sandbox.PreferencesFile());
    RecordingUserInterface boxes;

    auto window = OpenWindow();

    QCOMPARE(boxes.messages.size(), std::size_t(1));
    QCOMPARE(boxes.messages[0].caption, std::string("Velloran Backup Utility"));
    QCOMPARE(boxes.messages[0].text, "Unable to write to " + sandbox.PreferencesFile() + "\n\n\"" +
                                         sandbox.PreferencesFile() + "\" is read-only.");
    QVERIFY(window->cbAutoFileName->isChecked());
    QVERIFY(window->UseDateStamp);
    QCOMPARE(window->font().family(), QString("MS Sans Serif"));
  }

  // Without a data folder (here: it cannot be created) the preferences live in
  // the root of the current drive.
  void emptyDataFolder() {
    SettingsFolders sandbox({}, ProgramPath());
    WriteFile(sandbox.Folder("blocker"), "a file where a folder should be");
    sandbox.Override("VLBACKUP_COMMON_APPDATA", sandbox.Folder("blocker"));
    auto window = OpenWindow();
    QCOMPARE(window->PreferencesFileName(), sandbox.Folder("drive") + "/vlbackup.ini");
    window->cbAutoFileName->click();
    QCOMPARE(ReadFile(sandbox.Folder("drive") + "/vlbackup.ini"), std::string("[Main]\nDateStamp=1\n"));
  }

  // clang-format off
  void standardErrorText_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "Unable to write to /x" << "Unable to write to /x.";
    QTest::newRow("full stop") << "Done." << "Done.";
    QTest::newRow("exclamation mark sorts before") << "Done!" << "Done!";
    QTest::newRow("separator sorts after") << "in /srv/" << "in /srv/.";
    QTest::newRow("empty") << "" << "";
  }
  // clang-format on

  void standardErrorText() {
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(QString::fromStdString(StandardErrorText(message.toStdString())), shown);
    QCOMPARE(StandardErrorText("caf\xe9"), std::string("caf\xe9."));
  }

  void windowAsDesigned() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    QCOMPARE(window->windowTitle(), QString("Velloran Backup Utility"));
    QCOMPARE(window->size(), QSize(428, 81));
    const Qt::WindowFlags flags = window->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Window);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!window->isVisible());
    QCOMPARE(window->Bevel1->geometry(), QRect(10, 11, 326, 59));
    QCOMPARE(window->SpeedButton1->geometry(), QRect(308, 20, 23, 22));
    QCOMPARE(window->edtpath->geometry(), QRect(17, 21, 286, 21));
    QCOMPARE(window->btnbackup->geometry(), QRect(342, 11, 75, 25));
    QCOMPARE(window->cbAutoFileName->geometry(), QRect(17, 46, 159, 17));
    QCOMPARE(window->SpeedButton1->text(), QString("...."));
    QCOMPARE(window->btnbackup->text(), QString("Backup"));
    QCOMPARE(window->cbAutoFileName->text(), QString("Generate unique filename"));
    QCOMPARE(window->Bevel1->frameShadow(), QFrame::Sunken);
    QVERIFY(!window->btnbackup->isDefault());
    QVERIFY(!window->btnbackup->autoDefault());
    QCOMPARE(window->SpeedButton1->focusPolicy(), Qt::NoFocus);
  }

  void storedComponentSettings() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    QCOMPARE(window->qryvl.CommandTimeout, 4000);
    QVERIFY(!window->conVelloran.LoginPrompt);
    const TZipFile& zip = *window->ZipFile;
    QCOMPARE(zip.CompFactor, 7);
    QVERIFY(zip.ZipFormats.Empty());
    QCOMPARE(zip.wZipSubOptions.ToBits(), std::uint16_t((1 << ZSO_MINORCANCEL) | (1 << ZSO_EXTPROGCANCEL)));
    QCOMPARE(zip.Options.ToBits(), std::uint32_t(0x8080));
    QVERIFY(zip.wMultiVolControl.Empty());
    QCOMPARE(std::string(zip.lpszZipFile()->TextPtr()), std::string("a:\\vl.zip"));
    QCOMPARE(zip.lpszItemList()->TextPtr(), nullptr);
  }

  // A damaged stored description is refused with the line at fault, and a
  // value cut short leaves the archive name as it was.
  // clang-format off
  void storedSettingsErrors_data() {
    QTest::addColumn<QString>("line");
    QTest::newRow("no equals sign") << "ZipFile.CompFactor 7";
    QTest::newRow("no property") << "ZipFile = 7";
    QTest::newRow("unknown component") << "ThemeManager1.Style = 1";
    QTest::newRow("unknown property") << "ZipFile.Colour = 1";
    QTest::newRow("not a number") << "ZipFile.CompFactor = seven";
    QTest::newRow("not a Boolean") << "conVelloran.LoginPrompt = no";
    QTest::newRow("unknown set member") << "ZipFile.Options = [NoSuchFlag]";
    QTest::newRow("not a set") << "ZipFile.Options = NoDirectoryNamesFlag";
    QTest::newRow("odd digits") << "ZipFile.lpszZipFile.PChar = {0A0}";
    QTest::newRow("not hexadecimal") << "ZipFile.lpszZipFile.PChar = {0G}";
    QTest::newRow("value cut short") << "ZipFile.lpszZipFile.PChar = {0A 0A000000 613A5C}";
  }
  // clang-format on

  void storedSettingsErrors() {
    QFETCH(QString, line);
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    const std::string text = "# comment\n\nZipFile.CompFactor = 5\n" + line.toStdString() + "\n";
    try {
      ApplyStoredSettings(ParseStoredSettings(text), {window->qryvl, window->conVelloran, *window->ZipFile});
      QFAIL("accepted");
    } catch (const Exception& error) {
      QVERIFY2(std::string(error.what()).find("line 4") != std::string::npos, error.what());
    }
    QCOMPARE(std::string(window->ZipFile->lpszZipFile()->TextPtr()), std::string("a:\\vl.zip"));
  }

  void modernFontsOnTheWindow() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    QCOMPARE(window->font().family(), QString("Segoe UI"));
    QCOMPARE(window->font().pointSize(), 9);
    for (QWidget* control : std::initializer_list<QWidget*>{window->SpeedButton1, window->edtpath, window->btnbackup,
                                                            window->cbAutoFileName}) {
      QVERIFY(!control->testAttribute(Qt::WA_SetFont));
      QCOMPARE(control->font().family(), QString("Segoe UI"));
      QCOMPARE(control->font().pointSize(), 9);
    }
  }

  void focusAndTabOrder() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    window->show();
    QApplication::setActiveWindow(window.get());
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window->btnbackup));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window->edtpath));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window->cbAutoFileName));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(window->btnbackup));
    // Enter on the folder box does not press Backup.
    bool pressed = false;
    connect(window->btnbackup, &QPushButton::clicked, [&pressed] { pressed = true; });
    window->edtpath->setFocus();
    QTest::keyClick(window->edtpath, Qt::Key_Return);
    QVERIFY(!pressed);
  }

  void windowIsCentredOnTheScreen() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    const QPoint offset = window->geometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    QVERIFY(offset.manhattanLength() <= 2);
  }

  // The job runs off the window's thread: the window shows the phase, drops
  // input and refuses to close meanwhile, and looks as before afterwards.
  void windowWhileTheJobRuns() {
    SettingsFolders sandbox({}, ProgramPath());
    RecordingUserInterface ui;
    auto window = OpenWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QString folder = window->edtpath->text();
    auto job = std::make_shared<HeldJob>(
        std::vector<HeldJob::Step>{[](BackupSink& sink) { sink.Busy(true); },
                                   [](BackupSink& sink) { sink.Phase(BackupPhase::Packing, 0); },
                                   [](BackupSink& sink) { sink.Phase(BackupPhase::Packing, 42); }},
        std::vector<HeldJob::Step>{[](BackupSink& sink) { sink.Busy(false); }});
    window->Job = [job](const BackupRequest& r, BackupComponents c, BackupSink& s) { return (*job)(r, c, s); };
    MidJob seen;
    QTimer::singleShot(0, window.get(), [&] { seen = LookWhileHeld(*window, *job); });

    QTest::mouseClick(window->btnbackup, Qt::LeftButton);

    QVERIFY(seen.running);
    QCOMPARE(seen.caption, QString("Velloran Backup Utility - Packing 42%"));
    QCOMPARE(seen.phaseLine, QString("Packing 42%"));
    QVERIFY(seen.phaseLineVisible);
    QCOMPARE(job->runs.load(), 1);
    QVERIFY(!seen.checkBoxToggled);
    QCOMPARE(seen.folderText, folder);
    QVERIFY(!seen.closeAccepted);
    QVERIFY(window->isVisible());
    QVERIFY(!window->JobRunning());
    QCOMPARE(window->windowTitle(), QString("Velloran Backup Utility"));
    QVERIFY(!window->PhaseLine()->isVisible());
    QCOMPARE(ui.cursors, (std::vector<platform::AppCursor>{platform::AppCursor::Busy, platform::AppCursor::Arrow}));
    QVERIFY(window->LastBackupOutcome().has_value());
    QVERIFY(window->close());
  }

  // Each box is shown on the window's thread before the job's next step, in
  // the job's order, with the detail under the message.
  void boxesKeepTheJobsOrder() {
    SettingsFolders sandbox({}, ProgramPath());
    RecordingUserInterface ui;
    auto window = OpenWindow();
    std::vector<std::size_t> shownWhenTheJobWentOn;
    QThread* windowThread = window->thread();
    bool jobOffTheWindowsThread = false;
    window->Job = [&](const BackupRequest&, BackupComponents, BackupSink& sink) {
      jobOffTheWindowsThread = QThread::currentThread() != windowThread;
      sink.Show(platform::MessageKind::Warning, "Error backing up Database.", "disk full");
      shownWhenTheJobWentOn.push_back(ui.messages.size());
      sink.Phase(BackupPhase::RecordingDate, 0);
      sink.Show(platform::MessageKind::Information, "Backup completed successfully.", "");
      shownWhenTheJobWentOn.push_back(ui.messages.size());
      return BackupOutcome{};
    };

    window->RunBackup();

    QVERIFY(jobOffTheWindowsThread);
    QCOMPARE(shownWhenTheJobWentOn, (std::vector<std::size_t>{1, 2}));
    QCOMPARE(ui.messages.size(), std::size_t(2));
    QCOMPARE(ui.messages[0].kind, platform::MessageKind::Warning);
    QCOMPARE(ui.messages[0].caption, std::string("Warning"));
    QCOMPARE(ui.messages[0].text, std::string("Error backing up Database.\n\r\n\rdisk full"));
    QCOMPARE(ui.messages[1].text, std::string("Backup completed successfully."));
    QVERIFY(ui.onWindowThread);
  }

  // An error that leaves the job (the date update's) is shown by the standard
  // error box on the window's thread, and the window is idle again.
  void errorLeavingTheJob() {
    SettingsFolders sandbox({}, ProgramPath());
    RecordingUserInterface ui;
    auto window = OpenWindow();
    window->Job = [](const BackupRequest&, BackupComponents, BackupSink& sink) -> BackupOutcome {
      sink.Phase(BackupPhase::RecordingDate, 0);
      throw Exception("Invalid object name SystemData");
    };

    window->btnbackup->click();

    QCOMPARE(ui.messages.size(), std::size_t(1));
    QCOMPARE(ui.messages[0].caption, std::string("Velloran Backup Utility"));
    QCOMPARE(ui.messages[0].text, std::string("Invalid object name SystemData."));
    QVERIFY(!window->LastBackupOutcome().has_value());
    QVERIFY(!window->JobRunning());
    QCOMPARE(window->windowTitle(), QString("Velloran Backup Utility"));
  }

  // The application told to quit during a job (a session ending): the job still
  // runs to its end, its boxes included, before RunBackup returns.
  void quitDuringTheJob() {
    SettingsFolders sandbox({}, ProgramPath());
    RecordingUserInterface ui;
    auto window = OpenWindow();
    const HeldJob::Step showBox = [](BackupSink& sink) { sink.Show(platform::MessageKind::Information, "Done.", ""); };
    auto job = std::make_shared<HeldJob>(std::vector<HeldJob::Step>{}, std::vector<HeldJob::Step>{showBox});
    window->Job = [job](const BackupRequest& r, BackupComponents c, BackupSink& s) { return (*job)(r, c, s); };
    QTimer::singleShot(0, window.get(), [] { QCoreApplication::exit(0); });
    QTimer::singleShot(100, window.get(), [job] { job->Release(); });

    window->RunBackup();

    QVERIFY(window->LastBackupOutcome().has_value());
    QCOMPARE(ui.messages.size(), std::size_t(1));
    // Event loops refuse to start until the application's own loop runs again.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QApplication::exec();
  }

  // The check box's caption fits its designed width, in the design font (drawn
  // with a substitute) and in the modern one.
  // clang-format off
  void captionsFit_data() {
    QTest::addColumn<bool>("modernised");
    QTest::newRow("design font") << false;
    QTest::newRow("modern font") << true;
  }
  // clang-format on

  void captionsFit() {
    QFETCH(bool, modernised);
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    if (!modernised) window->setFont(QFont(DesignFace, 8));
    QCOMPARE(window->logicalDpiY(), 96);
    if (!modernised) QCOMPARE(QFontInfo(window->cbAutoFileName->font()).family(), QString("Liberation Sans"));
    const QCheckBox* box = window->cbAutoFileName;
    QVERIFY2(box->sizeHint().width() <= box->width(),
             qPrintable(QString("needs %1 of %2").arg(box->sizeHint().width()).arg(box->width())));
    QVERIFY(window->btnbackup->fontMetrics().horizontalAdvance(window->btnbackup->text()) <
            window->btnbackup->width() - 8);
  }

  void closingTheWindowEndsTheProgram() {
    SettingsFolders sandbox({}, ProgramPath());
    auto window = OpenWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTimer::singleShot(0, window.get(), &QWidget::close);
    QTimer safety;
    safety.setSingleShot(true);
    connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(7); });
    safety.start(10000);
    QCOMPARE(QApplication::exec(), 0);
  }
};

std::unique_ptr<QObject> MakeMainWindowTest() { return std::make_unique<MainWindowTest>(); }

}  // namespace vl::test

#include "MainWindowTest.moc"
