#include "ui/QtUserInterface.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyle>

#include "ui_MessageBox.h"

namespace vl {
namespace {
QStyle::StandardPixmap IconOf(platform::MessageKind kind) {
  switch (kind) {
    case platform::MessageKind::Warning: return QStyle::SP_MessageBoxWarning;
    case platform::MessageKind::Error: return QStyle::SP_MessageBoxCritical;
    case platform::MessageKind::Information: return QStyle::SP_MessageBoxInformation;
  }
  return QStyle::SP_MessageBoxInformation;
}

// A box shown while the application cursor is busy still takes clicks, so it
// shows the arrow over itself; the busy cursor returns when it closes.
class ArrowWhileBoxIsOpen {
 public:
  ArrowWhileBoxIsOpen() : active_(QGuiApplication::overrideCursor() != nullptr) {
    if (active_) QGuiApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
  }
  ~ArrowWhileBoxIsOpen() {
    if (active_) QGuiApplication::restoreOverrideCursor();
  }
  ArrowWhileBoxIsOpen(const ArrowWhileBoxIsOpen&) = delete;
  ArrowWhileBoxIsOpen& operator=(const ArrowWhileBoxIsOpen&) = delete;

 private:
  bool active_;
};

// QLabel wraps only between words; a word wider than the wrap width (a long
// path) gets a zero-width break opportunity after each character so it wraps
// instead of being cut.
QString BreakableText(const QString& text, const QFontMetrics& metrics, int wrapWidth) {
  static const QRegularExpression word(QStringLiteral("\\S+"));
  QString result;
  qsizetype copied = 0;
  for (const QRegularExpressionMatch& match : word.globalMatch(text)) {
    if (metrics.horizontalAdvance(match.captured()) <= wrapWidth) continue;
    result += text.mid(copied, match.capturedStart() - copied);
    for (const QChar letter : match.captured()) result += QString(letter) + QChar(0x200B);
    copied = match.capturedEnd();
  }
  return result + text.mid(copied);
}

QScreen* ScreenForBoxes() {
  if (QWidget* active = QApplication::activeWindow()) return active->screen();
  return QGuiApplication::primaryScreen();
}
}  // namespace

QString DisplayText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      shown += text[i];
      continue;
    }
    const bool besideLineFeed = (i > 0 && text[i - 1] == '\n') || (i + 1 < text.size() && text[i + 1] == '\n');
    if (!besideLineFeed) shown += '\n';
  }
  return QString::fromLocal8Bit(shown.c_str(), static_cast<qsizetype>(shown.size()));
}

MessageBox::MessageBox(platform::MessageKind kind, const std::string& caption, const std::string& text)
    : form_(std::make_unique<Ui::MessageBox>()) {
  form_->setupUi(this);
  setWindowTitle(QString::fromLocal8Bit(caption.c_str()));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);
  const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  form_->icon->setPixmap(style()->standardIcon(IconOf(kind), nullptr, this).pixmap(iconSize, iconSize));
  QPushButton* ok = OkButton();
  ok->setText(QStringLiteral("OK"));
  ok->setDefault(true);
  ok->setAutoDefault(true);
  connect(form_->buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  LayOutText(DisplayText(text));
  KeepCaptionWhole();
  adjustSize();
  CentreOnScreen();
  ok->setFocus();
}

MessageBox::~MessageBox() = default;

QPushButton* MessageBox::OkButton() const { return form_->buttons->button(QDialogButtonBox::Ok); }
QLabel* MessageBox::TextLabel() const { return form_->text; }
QLabel* MessageBox::IconLabel() const { return form_->icon; }

int MessageBox::WrapWidth() const {
  QScreen* screen = ScreenForBoxes();
  return screen != nullptr ? screen->geometry().width() / 2 : 640;
}

void MessageBox::reject() { OkButton()->click(); }

void MessageBox::LayOutText(const QString& text) {
  QLabel* label = form_->text;
  label->setText(text);
  const QFontMetrics metrics(label->font());
  int widest = 0;
  for (const QString& line : text.split(QLatin1Char('\n'))) widest = std::max(widest, metrics.horizontalAdvance(line));
  // A label left to itself wraps by its own idea of a pleasing shape; lines that
  // fit stay whole and longer ones break at exactly the wrap width.
  if (widest > WrapWidth()) {
    label->setText(BreakableText(text, metrics, WrapWidth()));
    label->setWordWrap(true);
    label->setFixedWidth(WrapWidth());
  } else {
    label->setWordWrap(false);
  }
}

int MessageBox::CaptionWidth() const {
  // The title bar's font is the window manager's; the box's own font stands in
  // for it. Besides the text the bar holds the icon and the close button.
  const int buttons = 2 * style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
  return fontMetrics().horizontalAdvance(windowTitle()) + buttons + 2 * fontMetrics().averageCharWidth();
}

void MessageBox::KeepCaptionWhole() {
  // The box's size is fixed to its layout's, so the width goes to the widest row.
  const QMargins margins = layout()->contentsMargins();
  form_->buttons->setMinimumWidth(std::max(0, CaptionWidth() - margins.left() - margins.right()));
}

void MessageBox::CentreOnScreen() {
  if (QScreen* screen = ScreenForBoxes()) {
    QRect box = frameGeometry();
    box.moveCenter(screen->availableGeometry().center());
    move(box.topLeft());
  }
}

QtUserInterface::~QtUserInterface() { RestoreCursor(); }

void QtUserInterface::ShowMessage(platform::MessageKind kind, const std::string& caption, const std::string& text) {
  ArrowWhileBoxIsOpen arrow;
  MessageBox box(kind, caption, text);
  box.exec();
}

void QtUserInterface::SetCursor(platform::AppCursor cursor) {
  if (cursor == platform::AppCursor::Default) {
    RestoreCursor();
    return;
  }
  const QCursor shape(cursor == platform::AppCursor::Busy ? Qt::WaitCursor : Qt::ArrowCursor);
  if (cursorOverridden_) {
    QGuiApplication::changeOverrideCursor(shape);
  } else {
    QGuiApplication::setOverrideCursor(shape);
    cursorOverridden_ = true;
  }
}

void QtUserInterface::RequestTerminate() {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

void QtUserInterface::RestoreCursor() {
  if (!cursorOverridden_) return;
  QGuiApplication::restoreOverrideCursor();
  cursorOverridden_ = false;
}

}  // namespace vl
