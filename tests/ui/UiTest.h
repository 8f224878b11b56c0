#pragma once
// Shared pieces of the window tests: a user interface that records its boxes and
// cursors, and a folder chooser that answers from a script. The settings folders
// come from support/SettingsFolders.h.
#include <QObject>
#include <QThread>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/UserInterface.h"
#include "support/SettingsFolders.h"
#include "support/TempDir.h"
#include "ui/FolderBrowser.h"

namespace vl::test {

// The test program's own path, as main recorded it (the zip engine lies beside it).
const std::string& ProgramPath();

struct RecordedMessage {
  platform::MessageKind kind;
  std::string caption;
  std::string text;
};

// Installed for its lifetime; boxes are recorded instead of shown.
class RecordingUserInterface : public platform::UserInterface {
 public:
  RecordingUserInterface() { platform::InstallUserInterface(this); }
  ~RecordingUserInterface() override { platform::InstallUserInterface(nullptr); }
  void ShowMessage(platform::MessageKind kind, const std::string& caption, const std::string& text) override {
    onWindowThread = onWindowThread && QThread::currentThread() == thread_;
    messages.push_back({kind, caption, text});
  }
  void SetCursor(platform::AppCursor cursor) override { cursors.push_back(cursor); }
  void RequestTerminate() override {}

  std::vector<RecordedMessage> messages;
  std::vector<platform::AppCursor> cursors;
  bool onWindowThread = true;  // every box so far was shown on the thread that made this object

 private:
  QThread* thread_ = QThread::currentThread();
};

// Answers each Execute with the next scripted folder (nothing = cancelled).
class ScriptedChooser : public FolderChooser {
 public:
  explicit ScriptedChooser(std::deque<std::optional<std::string>> answers) : answers_(std::move(answers)) {}
  std::optional<std::string> Execute(QWidget*) override {
    ++calls;
    if (answers_.empty()) return std::nullopt;
    auto answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  int calls = 0;

 private:
  std::deque<std::optional<std::string>> answers_;
};

std::unique_ptr<QObject> MakeModernFontsTest();
std::unique_ptr<QObject> MakeQtUserInterfaceTest();
std::unique_ptr<QObject> MakeFolderBrowserTest();
std::unique_ptr<QObject> MakeMainWindowTest();
// On a real X server: opens the main window ("idle", "design" for the design
// font, "busy" mid-job against a stand-in), checks what the screen shows and saves
// it as PNG; 0 when every check holds.
int SaveMainWindowScreenshot(const std::string& kind, const std::string& fileName);

}  // namespace vl::test
