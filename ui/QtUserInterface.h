#pragma once
// The user interface of the program when a display is available: real message
// boxes, the application-wide cursor, and ending the event loop.
#include <QDialog>
#include <memory>
#include <string>

#include "platform/UserInterface.h"

class QLabel;
class QPushButton;

namespace Ui {
class MessageBox;
}

namespace vl {

// A modal box with an icon, a text and one "OK" button, which Enter and Escape
// also trigger. The text is wrapped at half the width of the screen (a word too
// long for that anywhere), the box is at least as wide as its caption, and it
// sits in the middle of the screen.
class MessageBox : public QDialog {
  Q_OBJECT

 public:
  MessageBox(platform::MessageKind kind, const std::string& caption, const std::string& text);
  ~MessageBox() override;

  QPushButton* OkButton() const;
  QLabel* TextLabel() const;
  QLabel* IconLabel() const;
  // The widest the text may be before it wraps.
  int WrapWidth() const;
  // The least width that shows the whole caption in the title bar.
  int CaptionWidth() const;

 public slots:
  // Escape closes the box the way the OK button does.
  void reject() override;

 private:
  void LayOutText(const QString& text);
  void KeepCaptionWhole();
  void CentreOnScreen();

  std::unique_ptr<Ui::MessageBox> form_;
};

// Line breaks as the system writes them (LF CR pairs, CR LF pairs) in the form
// Qt shows: one LF per break.
QString DisplayText(const std::string& text);

class QtUserInterface : public platform::UserInterface {
 public:
  QtUserInterface() = default;
  QtUserInterface(const QtUserInterface&) = delete;
  QtUserInterface& operator=(const QtUserInterface&) = delete;
  // Gives back the application cursor if this object still holds it.
  ~QtUserInterface() override;

  void ShowMessage(platform::MessageKind kind, const std::string& caption, const std::string& text) override;
  // Busy and Arrow put that shape over the whole application; Default gives each
  // widget its own cursor back.
  void SetCursor(platform::AppCursor cursor) override;
  // Posted, so the operation under way finishes before the event loop ends.
  void RequestTerminate() override;

 private:
  void RestoreCursor();
  bool cursorOverridden_ = false;
};

}  // namespace vl
