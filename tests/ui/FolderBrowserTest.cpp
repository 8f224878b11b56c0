#include <QApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "UiTest.h"

namespace vl::test {
namespace {
// Runs step on the folder dialog once it is open (the chooser's exec blocks).
void OnOpenDialog(std::function<void(FolderDialog&)> step) {
  QTimer::singleShot(0, [step = std::move(step)] {
    auto* dialog = qobject_cast<FolderDialog*>(QApplication::activeModalWidget());
    QVERIFY(dialog != nullptr);
    step(*dialog);
    // A step that failed half-way must not leave the test waiting on the dialog.
    if (dialog->isVisible()) dialog->reject();
  });
}

// Goes to the folder's parent and selects it there, as a user picking it would.
void Pick(FolderDialog& dialog, const std::string& folder) {
  const QFileInfo info(QString::fromStdString(folder));
  dialog.setDirectory(info.absolutePath());
  dialog.selectFile(QString::fromStdString(folder));
}
}  // namespace

class FolderBrowserTest : public QObject {
  Q_OBJECT

 private slots:
  void confirmNeedsASelectedFolder() {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "target");
    WriteFile(dir / "file.txt", "x");
    TFolderBrowseDialog chooser;
    bool disabledAtFirst = false, enabledForFolder = false, disabledForFile = false;
    bool disabledForMissing = false, fileRefused = false;
    OnOpenDialog([&](FolderDialog& dialog) {
      disabledAtFirst = !dialog.ConfirmButton()->isEnabled();
      Pick(dialog, dir / "file.txt");
      disabledForFile = !dialog.ConfirmButton()->isEnabled();
      dialog.accept();
      fileRefused = dialog.isVisible();
      Pick(dialog, dir / "missing");
      disabledForMissing = !dialog.ConfirmButton()->isEnabled();
      Pick(dialog, dir / "target");
      enabledForFolder = dialog.ConfirmButton()->isEnabled();
      dialog.reject();
    });
    QCOMPARE(chooser.Execute(nullptr), std::optional<std::string>());
    QVERIFY(disabledAtFirst);
    QVERIFY(disabledForFile);
    QVERIFY(fileRefused);
    QVERIFY(disabledForMissing);
    QVERIFY(enabledForFolder);
  }

  void cancelKeepsNothing() {
    TempDir dir;
    TFolderBrowseDialog chooser;
    OnOpenDialog([&](FolderDialog& dialog) {
      Pick(dialog, dir.str());
      dialog.reject();
    });
    QCOMPARE(chooser.Execute(nullptr), std::optional<std::string>());
    QCOMPARE(chooser.LastConfirmed(), std::string());
  }

  // clang-format off
  void confirmedFolderHasNoTrailingSeparator_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("result");
    QTest::newRow("root") << "/" << "/";
    QTest::newRow("nested") << "@/target/inner" << "@/target/inner";
    QTest::newRow("plain") << "@/target" << "@/target";
  }
  // clang-format on

  void confirmedFolderHasNoTrailingSeparator() {
    QFETCH(QString, typed);
    QFETCH(QString, result);
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "target" / "inner");
    const QString base = QString::fromStdString(dir.str());
    TFolderBrowseDialog chooser;
    OnOpenDialog([&](FolderDialog& dialog) {
      Pick(dialog, QString(typed).replace("@", base).toStdString());
      QTest::mouseClick(dialog.ConfirmButton(), Qt::LeftButton);
    });
    const std::string expected = QString(result).replace("@", base).toStdString();
    QCOMPARE(chooser.Execute(nullptr), std::optional<std::string>(expected));
    QCOMPARE(chooser.LastConfirmed(), expected);
  }

  // The second opening starts on the folder confirmed the first time; a
  // cancelled opening in between changes nothing.
  void lastConfirmedFolderIsPreselected() {
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "first");
    TFolderBrowseDialog chooser;
    OnOpenDialog([&](FolderDialog& dialog) {
      Pick(dialog, dir / "first");
      dialog.accept();
    });
    QCOMPARE(chooser.Execute(nullptr), std::optional<std::string>(dir / "first"));

    for (int opening = 0; opening < 2; ++opening) {
      std::optional<std::string> preselected;
      bool confirmable = false;
      OnOpenDialog([&](FolderDialog& dialog) {
        preselected = dialog.SelectedFolder();
        confirmable = dialog.ConfirmButton()->isEnabled();
        dialog.reject();
      });
      QCOMPARE(chooser.Execute(nullptr), std::optional<std::string>());
      QCOMPARE(preselected, std::optional<std::string>(dir / "first"));
      QVERIFY(confirmable);
    }
  }

  void dialogIsModalAndCentredOverItsOwner() {
    QWidget owner;
    owner.setGeometry(200, 150, 428, 81);
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));
    TFolderBrowseDialog chooser;
    bool modal = false;
    QPoint offset;
    OnOpenDialog([&](FolderDialog& dialog) {
      modal = dialog.isModal() && dialog.parentWidget() == &owner;
      offset = dialog.frameGeometry().center() - owner.frameGeometry().center();
      dialog.reject();
    });
    chooser.Execute(&owner);
    QVERIFY(modal);
    QVERIFY2(offset.manhattanLength() <= 40, qPrintable(QString("%1,%2").arg(offset.x()).arg(offset.y())));
  }
};

std::unique_ptr<QObject> MakeFolderBrowserTest() { return std::make_unique<FolderBrowserTest>(); }

}  // namespace vl::test

#include "FolderBrowserTest.moc"
