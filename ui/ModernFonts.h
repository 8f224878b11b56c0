#pragma once
// Font modernisation: on newer systems the design font (8-point "MS Sans Serif")
// of a window and its controls gives way to "Segoe UI", and to "Calibri" in
// text-entry and list controls, normally at 9 points.
//
// How the rules read on Qt's widget tree:
// - Control tree: a widget's children are its direct child widgets that are not
//   windows of their own (dialogs and popups parented to it are left out), in
//   creation order. Every widget can hold children, so every one is descended into.
// - ParentFont true: the widget's font was never set explicitly
//   (!testAttribute(Qt::WA_SetFont)); it shows what it inherits.
// - A widget without a font (the bevel): a widget of class QFrame exactly, with no
//   child widgets. A QFrame that holds children is a panel and has a font.
// - Tag: the dynamic property "Tag"; 527 exempts the widget itself.
// - Edit-like (the "Calibri" rule), including classes derived from these:
//   QLineEdit without an input mask, QPlainTextEdit, QTextEdit that does not accept
//   rich text, QListView (and so QListWidget), QComboBox. A masked line edit, a
//   rich-text box (QTextEdit accepting rich text, QTextBrowser) and everything else
//   get the "Segoe UI" rule.
// - Size in points: Qt keeps point sizes; a fractional size counts as its nearest
//   whole point (halves away from zero), and a font sized in pixels is converted at
//   the widget's logical dots per inch with the same rounding. New sizes are
//   whole points.
// - Face names are set as they are; fontconfig picks a substitute where the face is
//   missing (Carlito for "Calibri"). For a missing "Segoe UI" fontconfig would pick
//   DejaVu Sans, which is too wide for the designed layout (captions get cut), so
//   InstallFaceSubstitutes points Qt at Carlito for it, and at Liberation Sans for
//   the design face "MS Sans Serif", which no Linux system has.
#include <functional>

class QFont;
class QWidget;

namespace vl {

// The operating system's major version as the rules see it. Linux counts as a
// modern system (10).
int OperatingSystemMajorVersion();

// Applies ModerniseControlFont to control and, depth first and pre-order, to all
// of its descendants. Does nothing when majorVersion() is 5 or lower (asked again
// at every level). Raises no error.
void ModerniseFonts(QWidget* control);
void ModerniseFonts(QWidget* control, const std::function<int()>& majorVersion);

// The font rules for one widget.
void ModerniseControlFont(QWidget* control);

// The face the window is designed with.
inline constexpr const char* DesignFace = "MS Sans Serif";

// Makes Qt draw a missing "Segoe UI" with Carlito and a missing "MS Sans Serif"
// with Liberation Sans. Process-wide, idempotent.
void InstallFaceSubstitutes();

bool IsEditLike(const QWidget* control);
// The font's size in whole points as shown on control.
int PointSizeOf(const QFont& font, const QWidget* control);

}  // namespace vl
