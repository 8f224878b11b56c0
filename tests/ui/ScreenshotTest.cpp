// The main window on a real X server (Xvfb): what the screen shows is checked
// and saved as a picture. Idle in the modern font, idle in the design font, and
// mid-job against a stand-in server whose backup command takes a while.
#include <QCheckBox>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "UiTest.h"
#include "support/StandIn.h"
#include "ui/ModernFonts.h"
#include "ui/QtUserInterface.h"
#include "ui/main.h"

namespace vl::test {
namespace {
// Text is drawn in the window-text colour (black) on a light face; a pixel this
// much darker than the area's commonest shade is ink. Small text (the browse
// button's dots) is drawn antialiased, grey rather than black.
constexpr int InkContrast = 64;

class Checks {
 public:
  void Expect(bool ok, const std::string& what) {
    if (!ok) failures_.push_back(what);
  }
  int Result() const {
    for (const std::string& failure : failures_) std::fprintf(stderr, "FAIL: %s\n", failure.c_str());
    return failures_.empty() ? 0 : 1;
  }

 private:
  std::vector<std::string> failures_;
};

// The commonest grey level in the area: its background.
int BackgroundOf(const QImage& picture, const QRect& inside) {
  std::array<int, 256> count{};
  for (int y = inside.top(); y <= inside.bottom(); ++y)
    for (int x = inside.left(); x <= inside.right(); ++x) ++count[static_cast<std::size_t>(qGray(picture.pixel(x, y)))];
  return static_cast<int>(std::max_element(count.begin(), count.end()) - count.begin());
}

// The ink pixels' columns, relative to the picture, in the area.
std::vector<int> InkColumns(const QImage& picture, const QRect& area) {
  const QRect inside = area & picture.rect();
  const int background = BackgroundOf(picture, inside);
  std::vector<int> columns;
  for (int y = inside.top(); y <= inside.bottom(); ++y)
    for (int x = inside.left(); x <= inside.right(); ++x)
      if (qGray(picture.pixel(x, y)) < background - InkContrast) columns.push_back(x);
  return columns;
}

int InkIn(const QImage& picture, const QRect& area) { return static_cast<int>(InkColumns(picture, area).size()); }

int RightmostInk(const QImage& picture, const QRect& area) {
  const std::vector<int> columns = InkColumns(picture, area);
  return columns.empty() ? -1 : *std::max_element(columns.begin(), columns.end());
}

// The window as the X server holds it: only what was really painted.
QImage ScreenPixels(const QWidget& window) {
  return QGuiApplication::primaryScreen()->grabWindow(window.winId()).toImage();
}

QRect CheckBoxCaption(const QCheckBox& box) {
  const int indent = box.style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, &box) +
                     box.style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, &box);
  return box.geometry().adjusted(indent, 0, 0, 0);
}

std::string Text(const QRect& r) {
  return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
         std::to_string(r.height());
}

void ExpectGeometry(Checks& checks, const QWidget* control, const QRect& designed) {
  checks.Expect(control->geometry() == designed, control->objectName().toStdString() + " at " +
                                                     Text(control->geometry()) + ", designed " + Text(designed));
}

// Size, places and drawn captions of the window as designed.
void CheckWindow(Checks& checks, const TfrmBackup& window, const QImage& picture) {
  checks.Expect(window.size() == QSize(428, 81) && picture.size() == QSize(428, 81),
                "client area " + std::to_string(picture.width()) + "x" + std::to_string(picture.height()));
  ExpectGeometry(checks, window.Bevel1, QRect(10, 11, 326, 59));
  ExpectGeometry(checks, window.SpeedButton1, QRect(308, 20, 23, 22));
  ExpectGeometry(checks, window.edtpath, QRect(17, 21, 286, 21));
  ExpectGeometry(checks, window.btnbackup, QRect(342, 11, 75, 25));
  ExpectGeometry(checks, window.cbAutoFileName, QRect(17, 46, 159, 17));
  checks.Expect(InkIn(picture, window.btnbackup->geometry().adjusted(4, 4, -4, -4)) > 15, "no \"Backup\" drawn");
  checks.Expect(InkIn(picture, window.SpeedButton1->geometry().adjusted(3, 3, -3, -3)) >= 4, "no \"....\" drawn");
  checks.Expect(InkIn(picture, window.edtpath->geometry().adjusted(3, 3, -3, -3)) > 15, "no folder text drawn");
  const QRect caption = CheckBoxCaption(*window.cbAutoFileName);
  checks.Expect(InkIn(picture, caption) > 30, "no check box caption drawn");
  // A caption cut by the control's edge has ink up to its last column.
  checks.Expect(RightmostInk(picture, caption) < caption.right() - 2,
                "check box caption cut at x " + std::to_string(RightmostInk(picture, caption)));
}

void CheckIdlePhaseLine(Checks& checks, const TfrmBackup& window, const QImage& picture) {
  checks.Expect(!window.PhaseLine()->isVisible() && InkIn(picture, window.PhaseLine()->geometry()) == 0,
                "phase line drawn while idle");
  checks.Expect(window.windowTitle() == QLatin1String("Velloran Backup Utility"), "caption changed while idle");
}

// The icon as the window manager reads it from the window's property.
void CheckIcon(Checks& checks, const QWidget& window, const std::string& what) {
  QProcess xprop;
  xprop.start(QStringLiteral("xprop"),
              {QStringLiteral("-id"), QString::number(window.winId()), QStringLiteral("_NET_WM_ICON")});
  const bool ran = xprop.waitForFinished(10000) && xprop.exitCode() == 0;
  const QString output = QString::fromLocal8Bit(xprop.readAllStandardOutput());
  checks.Expect(ran && output.startsWith(QLatin1String("_NET_WM_ICON(CARDINAL)")) &&
                    output.contains(QLatin1String("Icon (16 x 16)")),
                what + " has no _NET_WM_ICON: " + output.left(120).toStdString());
}

bool Save(const QImage& picture, const std::string& fileName) {
  std::filesystem::create_directories(std::filesystem::path(fileName).parent_path());
  return picture.save(QString::fromStdString(fileName), "PNG");
}

// True once the screen holds the same drawn picture of the window twice in a
// row: painting has caught up, also on a busy machine.
bool Settled(const QWidget& window, const std::function<bool(const QImage&)>& drawn = {}) {
  QImage previous;
  return QTest::qWaitFor(
      [&] {
        QTest::qWait(100);
        const QImage now = ScreenPixels(window);
        const bool same = now == previous && (!drawn || drawn(now));
        previous = now;
        return same;
      },
      10000);
}

bool ShowAndSettle(QWidget& window) {
  window.show();
  return QTest::qWaitForWindowExposed(&window) && Settled(window);
}

int IdleScreenshot(const std::string& fileName, bool modernised) {
  SettingsFolders sandbox({}, ProgramPath());
  sandbox.WritePreferences("/srv/backups/velloran", true);
  TfrmBackup window;
  // The design font, as a system where modernisation is skipped shows it.
  if (!modernised) window.setFont(QFont(DesignFace, 8));
  if (!ShowAndSettle(window)) return 1;
  const QImage picture = ScreenPixels(window);
  Checks checks;
  CheckWindow(checks, window, picture);
  CheckIdlePhaseLine(checks, window, picture);
  CheckIcon(checks, window, "the window");
  MessageBox box(platform::MessageKind::Information, "Information", "Backup completed successfully.");
  if (ShowAndSettle(box)) CheckIcon(checks, box, "the message box");
  checks.Expect(Save(picture, fileName), "picture not saved");
  return checks.Result();
}

// What the window showed while the stand-in held the backup command.
struct BusyLook {
  bool seen = false;
  QImage picture;
  QString caption;
  bool busyCursor = false;
};

int BusyScreenshot(const std::string& fileName) {
  SettingsFolders sandbox({}, ProgramPath());
  StandIn server(StandInConfig().login("MSSQLSERVER", "SA", "secret").noLogins("VELLORAN").delaySeconds(4));
  sandbox.PointAt(server.host(), "SA", "secret");
  sandbox.WritePreferences(sandbox.Backups(), false);
  RecordingUserInterface ui;
  TfrmBackup window;
  window.Wait = [](unsigned) {};
  if (!ShowAndSettle(window)) return 1;

  BusyLook look;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &window, [&] {
    if (look.seen || window.PhaseLine()->text() != QLatin1String("Backing up")) return;
    look.seen = true;
    // The window paints on its own meanwhile; nothing here asks it to.
    Settled(window, [&](const QImage& now) { return InkIn(now, window.PhaseLine()->geometry()) > 15; });
    look.picture = ScreenPixels(window);
    look.caption = window.windowTitle();
    look.busyCursor = !ui.cursors.empty() && ui.cursors.back() == platform::AppCursor::Busy;
  });
  poll.start(50);
  window.btnbackup->click();
  poll.stop();

  Checks checks;
  checks.Expect(look.seen, "the phase \"Backing up\" was never shown");
  if (look.seen) {
    CheckWindow(checks, window, look.picture);
    checks.Expect(InkIn(look.picture, window.PhaseLine()->geometry()) > 15, "phase line not drawn mid-job");
    checks.Expect(look.caption == QLatin1String("Velloran Backup Utility - Backing up"),
                  "caption mid-job: " + look.caption.toStdString());
    checks.Expect(look.busyCursor, "no busy cursor mid-job");
    checks.Expect(Save(look.picture, fileName), "picture not saved");
  }
  checks.Expect(ui.messages.size() == 1 && ui.messages[0].text == "Backup completed successfully.",
                "the job's boxes: " + (ui.messages.empty() ? std::string("none") : ui.messages[0].text));
  Settled(window);
  CheckIdlePhaseLine(checks, window, ScreenPixels(window));
  return checks.Result();
}
}  // namespace

int SaveMainWindowScreenshot(const std::string& kind, const std::string& fileName) {
  if (kind == "idle") return IdleScreenshot(fileName, true);
  if (kind == "design") return IdleScreenshot(fileName, false);
  if (kind == "busy") return BusyScreenshot(fileName);
  std::fprintf(stderr, "unknown screenshot %s\n", kind.c_str());
  return 2;
}

}  // namespace vl::test
