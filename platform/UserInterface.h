#pragma once
// What the system asks of a user interface: message boxes, the application-wide
// cursor and the request to terminate. Until a window toolkit installs its own,
// a console stand-in serves: boxes go to standard error (runs under cron or SSH
// have no display), the cursor is ignored, termination is only recorded.
#include <string>

namespace vl::platform {

enum class MessageKind { Warning, Error, Information };
enum class AppCursor { Default = 0, Arrow = -2, Busy = -11 };

inline constexpr const char* ApplicationTitle = "Velloran Backup Utility";

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // Modal; returns when the box is closed.
  virtual void ShowMessage(MessageKind kind, const std::string& caption, const std::string& text) = 0;
  virtual void SetCursor(AppCursor cursor) = 0;
  virtual void RequestTerminate() = 0;
};

// Installs ui (not owned; must outlive its use) or, with nullptr, the console stand-in.
void InstallUserInterface(UserInterface* ui);
UserInterface& CurrentUserInterface();

// "Warning", "Error" or "Information".
const char* CaptionOf(MessageKind kind);

// A box of one of the three types, with its own caption.
void ShowMessage(MessageKind kind, const std::string& text);

// The console form of a box: one line "vlbackup: <caption>: <text>", each run of
// line breaks in the text turned into one blank.
std::string ConsoleLine(const std::string& caption, const std::string& text);

}  // namespace vl::platform
