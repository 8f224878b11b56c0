#pragma once
// Running work off the window's thread while the window stays alive: the
// window's thread keeps its events going (painting, boxes) until the work ends,
// and the work hands what it shows back to the window's thread.
#include <QObject>
#include <functional>
#include <string>

#include "app/job/BackupJob.h"

class QWidget;

namespace vl {

// Runs work on a thread of its own and processes this thread's events until it
// ends. Returns when the work has ended and its thread is joined; an error that
// escaped the work is rethrown here.
void RunOffThisThread(const std::function<void()>& work);

// Runs call on context's thread and waits for it; directly when already there.
// An error raised by call is rethrown on the calling thread.
void CallOnThreadOf(QObject* context, const std::function<void()>& call);

// While it lives, mouse, keyboard, wheel and touch input meant for window or any
// of its controls is dropped. Other windows (the boxes shown meanwhile) keep theirs.
class InputBlocker : public QObject {
 public:
  explicit InputBlocker(QWidget& window);
  ~InputBlocker() override;
  InputBlocker(const InputBlocker&) = delete;
  InputBlocker& operator=(const InputBlocker&) = delete;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget& window_;
};

// How a phase of the job reads in the window: "Packing 42%", "Backing up".
std::string PhaseText(BackupPhase phase, int percent);

}  // namespace vl
