#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include "UiTest.h"
#include "ui/QtUserInterface.h"

Q_DECLARE_METATYPE(vl::platform::MessageKind)

namespace vl::test {
namespace {
using platform::MessageKind;

// Presses key on the box that is open once the event loop runs again; records its caption.
void PressOnNextBox(int key, QString* caption) {
  QTimer::singleShot(0, [key, caption] {
    auto* box = qobject_cast<MessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    *caption = box->windowTitle();
    QTest::keyClick(box, static_cast<Qt::Key>(key));
  });
}

Qt::CursorShape OverrideShape() {
  const QCursor* cursor = QGuiApplication::overrideCursor();
  return cursor != nullptr ? cursor->shape() : Qt::BitmapCursor;
}
}  // namespace

class QtUserInterfaceTest : public QObject {
  Q_OBJECT

 private slots:
  // clang-format off
  void boxShowsKindCaptionAndOneButton_data() {
    QTest::addColumn<MessageKind>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("icon");
    QTest::newRow("warning") << MessageKind::Warning << "Warning" << int(QStyle::SP_MessageBoxWarning);
    QTest::newRow("error") << MessageKind::Error << "Error" << int(QStyle::SP_MessageBoxCritical);
    QTest::newRow("information") << MessageKind::Information << "Information"
                                 << int(QStyle::SP_MessageBoxInformation);
    QTest::newRow("standard error box") << MessageKind::Error << "Velloran Backup Utility"
                                        << int(QStyle::SP_MessageBoxCritical);
    QTest::newRow("last-resort box") << MessageKind::Error << "Application Error"
                                     << int(QStyle::SP_MessageBoxCritical);
  }
  // clang-format on

  void boxShowsKindCaptionAndOneButton() {
    QFETCH(MessageKind, kind);
    QFETCH(QString, caption);
    QFETCH(int, icon);
    MessageBox box(kind, caption.toStdString(), "Backup completed successfully.");

    QCOMPARE(box.windowTitle(), caption);
    QCOMPARE(box.TextLabel()->text(), QString("Backup completed successfully."));
    const QList<QPushButton*> buttons = box.findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons.first()->text(), QString("OK"));
    QVERIFY(buttons.first()->isDefault());
    QVERIFY(box.isModal());
    const int size = box.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &box);
    const QImage expected =
        box.style()->standardIcon(QStyle::StandardPixmap(icon), nullptr, &box).pixmap(size, size).toImage();
    QCOMPARE(box.IconLabel()->pixmap().toImage(), expected);
    QVERIFY(!(box.windowFlags() & Qt::WindowMinMaxButtonsHint));
  }

  // clang-format off
  void enterAndEscapeCloseTheBox_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
  }
  // clang-format on

  void enterAndEscapeCloseTheBox() {
    QFETCH(int, key);
    QtUserInterface ui;
    QString caption;
    PressOnNextBox(key, &caption);
    // Returns only when the key closed the box; a test timeout catches a box left open.
    ui.ShowMessage(MessageKind::Warning, "Warning", "Error compressing backup.");
    QCOMPARE(caption, QString("Warning"));
  }

  void escapeTriggersOk() {
    MessageBox box(MessageKind::Information, "Information", "text");
    bool clicked = false;
    connect(box.OkButton(), &QPushButton::clicked, [&clicked] { clicked = true; });
    box.reject();
    QVERIFY(clicked);
    QCOMPARE(box.result(), int(QDialog::Accepted));
  }

  void longTextWrapsAtHalfTheScreen() {
    const std::string word = "backup ";
    std::string text;
    while (text.size() < 2000) text += word;
    MessageBox box(MessageKind::Error, "Error", text);
    const int half = QGuiApplication::primaryScreen()->geometry().width() / 2;

    QCOMPARE(box.WrapWidth(), half);
    QVERIFY(box.TextLabel()->wordWrap());
    QCOMPARE(box.TextLabel()->width(), half);
    QVERIFY(box.TextLabel()->height() > 3 * box.TextLabel()->fontMetrics().height());
  }

  // A path has no blank to break at: it wraps anywhere rather than being cut,
  // and reads the same.
  void longWordWraps() {
    const std::string path = "/srv/" + std::string(400, 'a') + "/backups";
    const std::string text =
        "Unable to write backup file to \"" + path + "\"\n\r\n\rPlease ensure you have permission.";
    MessageBox box(MessageKind::Error, "Error", text);
    QLabel* label = box.TextLabel();
    QVERIFY(label->wordWrap());
    QCOMPARE(label->width(), box.WrapWidth());
    QCOMPARE(label->sizeHint().width(), box.WrapWidth());
    const int lines = label->height() / label->fontMetrics().lineSpacing();
    QVERIFY2(lines >= 4, qPrintable(QString("%1 lines").arg(lines)));
    QCOMPARE(label->text().remove(QChar(0x200B)), DisplayText(text));
    // Words that fit are left alone.
    QVERIFY(label->text().startsWith("Unable to write backup file to \""));
    QVERIFY(label->text().endsWith("Please ensure you have permission."));
  }

  // A short text does not make the box narrower than its caption needs.
  void boxIsAsWideAsItsCaption() {
    MessageBox box(MessageKind::Error, "Velloran Backup Utility", "Done.");
    const int caption = box.fontMetrics().horizontalAdvance(box.windowTitle());
    const int closeButton = box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box);
    QVERIFY2(box.width() >= caption + 2 * closeButton,
             qPrintable(QString("box %1, caption %2").arg(box.width()).arg(caption)));
    QVERIFY(box.width() < box.WrapWidth());
  }

  void shortTextKeepsItsLines() {
    MessageBox box(MessageKind::Information, "Information", "first line\n\rsecond line");
    QVERIFY(!box.TextLabel()->wordWrap());
    QCOMPARE(box.TextLabel()->text(), QString("first line\nsecond line"));
    QVERIFY(box.TextLabel()->width() < box.WrapWidth());
  }

  void boxIsCentredOnTheScreen() {
    MessageBox box(MessageKind::Information, "Information", "Backup completed successfully.");
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    const QPoint boxCentre = box.frameGeometry().center();
    QVERIFY2((boxCentre - screenCentre).manhattanLength() <= 2,
             qPrintable(QString("box centre %1,%2").arg(boxCentre.x()).arg(boxCentre.y())));
  }

  // clang-format off
  void lineBreaksOfTheSystem_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("LF CR pairs") << "a\n\r\n\rb" << "a\n\nb";
    QTest::newRow("CR LF pairs") << "a\r\n\r\nb" << "a\n\nb";
    QTest::newRow("two LF") << "a\n\nb" << "a\n\nb";
    QTest::newRow("lone CR") << "a\rb" << "a\nb";
    QTest::newRow("none") << "abc" << "abc";
  }
  // clang-format on

  void lineBreaksOfTheSystem() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(DisplayText(text.toStdString()), shown);
  }

  void cursorOverridesAndRestores() {
    {
      QtUserInterface ui;
      ui.SetCursor(platform::AppCursor::Busy);
      QCOMPARE(OverrideShape(), Qt::WaitCursor);
      ui.SetCursor(platform::AppCursor::Busy);
      ui.SetCursor(platform::AppCursor::Arrow);
      QCOMPARE(OverrideShape(), Qt::ArrowCursor);
      ui.SetCursor(platform::AppCursor::Default);
      QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
      ui.SetCursor(platform::AppCursor::Busy);
    }
    // Gone with the interface, and not stacked by the repeated Busy.
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
  }

  void boxShowsTheArrowOverABusyCursor() {
    QtUserInterface ui;
    ui.SetCursor(platform::AppCursor::Busy);
    Qt::CursorShape whileOpen = Qt::BitmapCursor;
    QTimer::singleShot(0, [&whileOpen] {
      whileOpen = OverrideShape();
      if (QWidget* box = QApplication::activeModalWidget()) QTest::keyClick(box, Qt::Key_Return);
    });
    ui.ShowMessage(MessageKind::Information, "Information", "Backup completed successfully.");
    QCOMPARE(whileOpen, Qt::ArrowCursor);
    QCOMPARE(OverrideShape(), Qt::WaitCursor);
  }

  void terminateIsPosted() {
    QtUserInterface ui;
    bool operationFinished = false;
    QTimer::singleShot(0, [&] {
      ui.RequestTerminate();
      operationFinished = true;
    });
    QTimer safety;
    safety.setSingleShot(true);
    connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(7); });
    safety.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(operationFinished);
  }
};

std::unique_ptr<QObject> MakeQtUserInterfaceTest() { return std::make_unique<QtUserInterfaceTest>(); }

}  // namespace vl::test

#include "QtUserInterfaceTest.moc"
