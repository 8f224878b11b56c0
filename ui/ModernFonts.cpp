#include "ui/ModernFonts.h"

#include <QComboBox>
#include <QFont>
#include <QFontDatabase>
#include <QFrame>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QVariant>
#include <QWidget>
#include <cmath>

namespace vl {
namespace {
constexpr int ExemptTag = 527;

bool HasOwnFont(const QWidget* control) { return control->testAttribute(Qt::WA_SetFont); }

bool HasNoFont(const QWidget* control) {
  return control->metaObject() == &QFrame::staticMetaObject &&
         control->findChild<QWidget*>(QString(), Qt::FindDirectChildrenOnly) == nullptr;
}

bool IsExempt(const QWidget* control) {
  bool ok = false;
  int tag = control->property("Tag").toInt(&ok);
  return ok && tag == ExemptTag;
}

void SetFace(QWidget* control, const char* face, int points) {
  QFont font = control->font();
  font.setFamily(QString::fromLatin1(face));
  font.setPointSize(points);
  control->setFont(font);
}

void ApplyEditRule(QWidget* control, const QFont& font, int points) {
  if (font.family() == QLatin1String("Courier New")) return;
  SetFace(control, "Calibri", points < 12 ? 9 : points);
}

void ApplyOrdinaryRule(QWidget* control, int points) {
  SetFace(control, "Segoe UI", (points > 7 && points < 12) ? 9 : points);
}

QList<QWidget*> ChildControls(const QWidget* control) {
  QList<QWidget*> children;
  for (QWidget* child : control->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (!child->isWindow()) children.append(child);
  return children;
}
}  // namespace

int OperatingSystemMajorVersion() { return 10; }

namespace {
void SubstituteWhereMissing(const char* face, const char* substitute) {
  const QString family = QString::fromLatin1(face);
  if (!QFontDatabase::hasFamily(family) && QFont::substitutes(family).isEmpty())
    QFont::insertSubstitution(family, QString::fromLatin1(substitute));
}
}  // namespace

void InstallFaceSubstitutes() {
  SubstituteWhereMissing("Segoe UI", "Carlito");
  // Liberation Sans has Arial's metrics, which at 8 points come close to the
  // bitmap face's; DejaVu Sans, fontconfig's pick, cuts the check box's caption.
  SubstituteWhereMissing(DesignFace, "Liberation Sans");
}

void ModerniseFonts(QWidget* control) { ModerniseFonts(control, OperatingSystemMajorVersion); }

void ModerniseFonts(QWidget* control, const std::function<int()>& majorVersion) {
  if (majorVersion() <= 5) return;
  ModerniseControlFont(control);
  for (QWidget* child : ChildControls(control)) ModerniseFonts(child, majorVersion);
}

void ModerniseControlFont(QWidget* control) {
  if (HasNoFont(control) || !HasOwnFont(control) || IsExempt(control)) return;
  const QFont font = control->font();
  const int points = PointSizeOf(font, control);
  if (IsEditLike(control))
    ApplyEditRule(control, font, points);
  else
    ApplyOrdinaryRule(control, points);
}

bool IsEditLike(const QWidget* control) {
  if (auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->inputMask().isEmpty();
  if (auto* text = qobject_cast<const QTextEdit*>(control)) return !text->acceptRichText();
  return qobject_cast<const QPlainTextEdit*>(control) != nullptr ||
         qobject_cast<const QListView*>(control) != nullptr || qobject_cast<const QComboBox*>(control) != nullptr;
}

int PointSizeOf(const QFont& font, const QWidget* control) {
  if (font.pointSizeF() > 0) return static_cast<int>(std::lround(font.pointSizeF()));
  // Sized in pixels: points = pixels * 72 / dpi, to the nearest whole point.
  const int dpi = control->logicalDpiY() > 0 ? control->logicalDpiY() : 96;
  return static_cast<int>(std::lround(font.pixelSize() * 72.0 / dpi));
}

}  // namespace vl
