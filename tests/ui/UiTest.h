#pragma once
// Shared pieces of the window tests: a sandbox for the settings folders, a user
// interface that records its boxes, and a folder chooser that answers from a script.
#include <QObject>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/UserInterface.h"
#include "support/TempDir.h"
#include "ui/FolderBrowser.h"

namespace vl::test {

// The test program's own path, as main recorded it (the zip engine lies beside it).
const std::string& ProgramPath();

// Every settings root moved into a fresh folder; the command line holds the
// program's name and the given arguments.
class SettingsSandbox {
 public:
  explicit SettingsSandbox(std::vector<std::string> arguments = {}) {
    Set("VLBACKUP_COMMON_APPDATA", dir_ / "common");
    Set("VLBACKUP_LOCAL_APPDATA", dir_ / "local");
    Set("VLBACKUP_SYSCONFDIR", dir_ / "etc");
    Set("VLBACKUP_FALLBACK_CONFIG", dir_ / "fallback");
    Set("VLBACKUP_DRIVE_ROOT", dir_ / "drive");
    ::setenv("VLBACKUP_REMOTE_SESSION", "0", 1);
    for (const char* folder : {"common", "local", "etc", "fallback", "drive"})
      std::filesystem::create_directories(dir_.path() / folder);
    arguments.insert(arguments.begin(), ProgramPath());
    platform::SetCommandLine(arguments);
  }
  ~SettingsSandbox() {
    for (const char* name : {"VLBACKUP_COMMON_APPDATA", "VLBACKUP_LOCAL_APPDATA", "VLBACKUP_SYSCONFDIR",
                             "VLBACKUP_FALLBACK_CONFIG", "VLBACKUP_DRIVE_ROOT", "VLBACKUP_REMOTE_SESSION"})
      ::unsetenv(name);
    platform::SetCommandLine({ProgramPath()});
  }
  SettingsSandbox(const SettingsSandbox&) = delete;
  SettingsSandbox& operator=(const SettingsSandbox&) = delete;

  std::string DataFolder() const { return (dir_ / "common") + "/Corvanta/Velloran/"; }
  std::string PreferencesFile() const { return DataFolder() + "vlbackup.ini"; }
  std::string DriveRoot() const { return (dir_ / "drive") + "/"; }
  std::string Folder(const std::string& name) const { return dir_ / name; }

  void WritePreferences(const std::string& content) const {
    std::filesystem::create_directories(DataFolder());
    WriteFile(PreferencesFile(), content);
  }
  std::string Preferences() const { return ReadFile(PreferencesFile()); }
  bool PreferencesExist() const { return std::filesystem::exists(PreferencesFile()); }

 private:
  void Set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
  TempDir dir_;
};

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
    messages.push_back({kind, caption, text});
  }
  void SetCursor(platform::AppCursor) override {}
  void RequestTerminate() override {}

  std::vector<RecordedMessage> messages;
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
// Opens the main window, waits until it is drawn, saves it as PNG; 0 on success.
int SaveMainWindowScreenshot(const std::string& fileName);

}  // namespace vl::test
