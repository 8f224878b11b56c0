#include "ui/WindowThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <exception>
#include <thread>

namespace vl {
namespace {
bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: return true;
    default: return false;
  }
}
}  // namespace

void RunOffThisThread(const std::function<void()>& work) {
  std::atomic<bool> done = false;
  std::exception_ptr error;
  {
    std::jthread worker([&] {
      try {
        work();
      } catch (...) {
        error = std::current_exception();
      }
      done = true;
      // Wakes this thread; posted after everything the work handed over.
      QMetaObject::invokeMethod(
          QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
    });
    // Not a QEventLoop: one would return at once once the application is told
    // to quit, and the join below would then wait on work that waits on a box.
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  if (error) std::rethrow_exception(error);
}

void CallOnThreadOf(QObject* context, const std::function<void()>& call) {
  if (QThread::currentThread() == context->thread()) {
    call();
    return;
  }
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      context,
      [&] {
        try {
          call();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
}

InputBlocker::InputBlocker(QWidget& window) : window_(window) {
  QCoreApplication::instance()->installEventFilter(this);
}

InputBlocker::~InputBlocker() { QCoreApplication::instance()->removeEventFilter(this); }

bool InputBlocker::eventFilter(QObject* watched, QEvent* event) {
  if (!IsUserInput(event->type()) || !watched->isWidgetType()) return false;
  return static_cast<QWidget*>(watched)->window() == &window_;
}

std::string PhaseText(BackupPhase phase, int percent) {
  std::string text = PhaseName(phase);
  if (phase == BackupPhase::Packing) text += " " + std::to_string(percent) + "%";
  return text;
}

}  // namespace vl
