#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <functional>

#include "UiTest.h"
#include "ui/ModernFonts.h"

namespace vl::test {
using WidgetFactory = std::function<QWidget*(QWidget* parent)>;
}
Q_DECLARE_METATYPE(vl::test::WidgetFactory)

namespace vl::test {
namespace {

// A line edit of a class of our own: the rules follow derivation.
class DerivedEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
};

QFont OwnFont(const QString& face, int points) {
  QFont font(face);
  font.setPointSize(points);
  return font;
}

QWidget* Give(QWidget* widget, const QFont& font) {
  widget->setFont(font);
  return widget;
}
}  // namespace

class ModernFontsTest : public QObject {
  Q_OBJECT

 private slots:
  // clang-format off
  void controlRules_data() {
    QTest::addColumn<WidgetFactory>("make");
    QTest::addColumn<QFont>("font");
    QTest::addColumn<QString>("face");
    QTest::addColumn<int>("points");

    const WidgetFactory edit = [](QWidget* p) { return new QLineEdit(p); };
    const WidgetFactory button = [](QWidget* p) { return new QPushButton(p); };
    QTest::newRow("edit Courier New kept") << edit << OwnFont("Courier New", 10) << "Courier New" << 10;
    QTest::newRow("edit courier new lower case") << edit << OwnFont("courier new", 10) << "Calibri" << 9;
    QTest::newRow("edit 6 points") << edit << OwnFont("Arial", 6) << "Calibri" << 9;
    QTest::newRow("edit 11 points") << edit << OwnFont("Arial", 11) << "Calibri" << 9;
    QTest::newRow("edit 12 points") << edit << OwnFont("Arial", 12) << "Calibri" << 12;
    QTest::newRow("edit Courier New 14 kept") << edit << OwnFont("Courier New", 14) << "Courier New" << 14;
    QTest::newRow("button 6 points") << button << OwnFont("Arial", 6) << "Segoe UI" << 6;
    QTest::newRow("button 7 points") << button << OwnFont("Arial", 7) << "Segoe UI" << 7;
    QTest::newRow("button 8 points") << button << OwnFont("MS Sans Serif", 8) << "Segoe UI" << 9;
    QTest::newRow("button 11 points") << button << OwnFont("Arial", 11) << "Segoe UI" << 9;
    QTest::newRow("button 12 points") << button << OwnFont("Arial", 12) << "Segoe UI" << 12;
    QTest::newRow("button Courier New") << button << OwnFont("Courier New", 10) << "Segoe UI" << 9;
    QTest::newRow("label 6 points") << WidgetFactory([](QWidget* p) { return new QLabel(p); })
                                    << OwnFont("Arial", 6) << "Segoe UI" << 6;
    QTest::newRow("check box") << WidgetFactory([](QWidget* p) { return new QCheckBox(p); })
                               << OwnFont("Arial", 8) << "Segoe UI" << 9;
    QTest::newRow("derived edit") << WidgetFactory([](QWidget* p) { return new DerivedEdit(p); })
                                  << OwnFont("Arial", 10) << "Calibri" << 9;
    QTest::newRow("masked edit") << WidgetFactory([](QWidget* p) {
      auto* masked = new QLineEdit(p);
      masked->setInputMask("999-999");
      return masked;
    }) << OwnFont("Arial", 10) << "Segoe UI" << 9;
    QTest::newRow("plain text box") << WidgetFactory([](QWidget* p) { return new QPlainTextEdit(p); })
                                    << OwnFont("Arial", 8) << "Calibri" << 9;
    QTest::newRow("text box without rich text") << WidgetFactory([](QWidget* p) {
      auto* memo = new QTextEdit(p);
      memo->setAcceptRichText(false);
      return memo;
    }) << OwnFont("Arial", 8) << "Calibri" << 9;
    QTest::newRow("rich text box") << WidgetFactory([](QWidget* p) { return new QTextEdit(p); })
                                   << OwnFont("Arial", 8) << "Segoe UI" << 9;
    QTest::newRow("list box") << WidgetFactory([](QWidget* p) { return new QListWidget(p); })
                              << OwnFont("Arial", 8) << "Calibri" << 9;
    QTest::newRow("combo box") << WidgetFactory([](QWidget* p) { return new QComboBox(p); })
                               << OwnFont("Arial", 14) << "Calibri" << 14;
    QTest::newRow("bevel has no font") << WidgetFactory([](QWidget* p) { return new QFrame(p); })
                                       << OwnFont("Arial", 8) << "Arial" << 8;
    QFont pixels("Arial");
    pixels.setPixelSize(11);  // 8 points at 96 dots per inch
    QTest::newRow("button sized in pixels") << button << pixels << "Segoe UI" << 9;
  }
  // clang-format on

  void controlRules() {
    QFETCH(WidgetFactory, make);
    QFETCH(QFont, font);
    QFETCH(QString, face);
    QFETCH(int, points);
    QWidget window;
    QWidget* control = make(&window);
    control->setFont(font);
    if (font.pixelSize() > 0 && control->logicalDpiY() != 96) QSKIP("needs 96 dots per inch");

    ModerniseFonts(&window);

    QCOMPARE(control->font().family(), face);
    QCOMPARE(PointSizeOf(control->font(), control), points);
  }

  // A tree as a real form has one: an inheriting container and an exempt one,
  // each with children of their own.
  void treeIsWalkedDepthFirst() {
    QWidget window;
    window.setFont(OwnFont("MS Sans Serif", 8));
    auto* inheritingPanel = new QWidget(&window);
    auto* inheritingLabel = new QLabel(inheritingPanel);
    auto* memo = Give(new QPlainTextEdit(inheritingPanel), OwnFont("Arial", 10));
    auto* exemptPanel = Give(new QFrame(&window), OwnFont("Arial", 8));
    exemptPanel->setProperty("Tag", 527);
    auto* exemptPanelButton = Give(new QPushButton(exemptPanel), OwnFont("Arial", 10));
    auto* exemptPanelInheritor = new QLabel(exemptPanel);
    auto* exemptButton = Give(new QPushButton(&window), OwnFont("Arial", 10));
    exemptButton->setProperty("Tag", 527);
    auto* otherTag = Give(new QPushButton(&window), OwnFont("Arial", 10));
    otherTag->setProperty("Tag", 526);

    ModerniseFonts(&window);

    QCOMPARE(window.font().family(), QString("Segoe UI"));
    QCOMPARE(window.font().pointSize(), 9);
    // The inheriting panel took the window's new font without getting one of its own.
    QVERIFY(!inheritingPanel->testAttribute(Qt::WA_SetFont));
    QCOMPARE(inheritingPanel->font().family(), QString("Segoe UI"));
    QCOMPARE(inheritingLabel->font().family(), QString("Segoe UI"));
    QCOMPARE(inheritingLabel->font().pointSize(), 9);
    QCOMPARE(memo->font().family(), QString("Calibri"));
    QCOMPARE(memo->font().pointSize(), 9);
    // The exempt panel keeps its font; its children are still treated.
    QCOMPARE(exemptPanel->font().family(), QString("Arial"));
    QCOMPARE(exemptPanel->font().pointSize(), 8);
    QCOMPARE(exemptPanelButton->font().family(), QString("Segoe UI"));
    QCOMPARE(exemptPanelButton->font().pointSize(), 9);
    QCOMPARE(exemptPanelInheritor->font().family(), QString("Arial"));
    QCOMPARE(exemptButton->font().family(), QString("Arial"));
    QCOMPARE(exemptButton->font().pointSize(), 10);
    QCOMPARE(otherTag->font().family(), QString("Segoe UI"));
  }

  void windowsLeftOut() {
    QWidget window;
    window.setFont(OwnFont("MS Sans Serif", 8));
    auto* dialog = new QWidget(&window, Qt::Dialog);
    dialog->setFont(OwnFont("Arial", 10));

    ModerniseFonts(&window);

    QCOMPARE(dialog->font().family(), QString("Arial"));
  }

  // clang-format off
  void olderSystemsChangeNothing_data() {
    QTest::addColumn<int>("majorVersion");
    QTest::addColumn<bool>("changes");
    QTest::newRow("5") << 5 << false;
    QTest::newRow("4") << 4 << false;
    QTest::newRow("6") << 6 << true;
    QTest::newRow("this system") << OperatingSystemMajorVersion() << true;
  }
  // clang-format on

  void olderSystemsChangeNothing() {
    QFETCH(int, majorVersion);
    QFETCH(bool, changes);
    QWidget window;
    window.setFont(OwnFont("MS Sans Serif", 8));
    auto* edit = Give(new QLineEdit(&window), OwnFont("Arial", 6));
    auto* panel = new QWidget(&window);
    auto* button = Give(new QPushButton(panel), OwnFont("Arial", 10));

    ModerniseFonts(&window, [majorVersion] { return majorVersion; });

    QCOMPARE(window.font().family(), changes ? QString("Segoe UI") : QString("MS Sans Serif"));
    QCOMPARE(window.font().pointSize(), changes ? 9 : 8);
    QCOMPARE(edit->font().family(), changes ? QString("Calibri") : QString("Arial"));
    QCOMPARE(edit->font().pointSize(), changes ? 9 : 6);
    QCOMPARE(button->font().pointSize(), changes ? 9 : 10);
  }
};

std::unique_ptr<QObject> MakeModernFontsTest() { return std::make_unique<ModernFontsTest>(); }

}  // namespace vl::test

#include "ModernFontsTest.moc"
