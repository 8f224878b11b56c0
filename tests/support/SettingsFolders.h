#pragma once
// The settings folders of one test: every VLBACKUP_* folder moved into a fresh
// folder of its own, the settings files written in the product's layout, the
// command line set, and the environment, command line and working directory put
// back afterwards. A "backups" folder beside them is the test's scratch backup
// folder.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ScopedEnv.h"
#include "TempDir.h"
#include "platform/CommandLine.h"

namespace vl::test {

class SettingsFolders {
 public:
  // The command line's first word when a test names no program of its own.
  static constexpr const char* DefaultProgram = "/usr/bin/vlbackup";

  // The command line becomes program followed by arguments.
  explicit SettingsFolders(std::vector<std::string> arguments = {}, std::string program = DefaultProgram)
      : program_(std::move(program)), oldCommandLine_(CurrentCommandLine()) {
    for (const char* name : {"common", "local", "etc", "fallback", "drive", "cwd", "backups"})
      std::filesystem::create_directories(root_.path() / name);
    for (const auto& [name, value] : Environment()) Override(name, value);
    SetArguments(std::move(arguments));
  }
  ~SettingsFolders() {
    std::error_code ec;
    if (oldCwd_) std::filesystem::current_path(*oldCwd_, ec);
    platform::SetCommandLine(oldCommandLine_);
  }
  SettingsFolders(const SettingsFolders&) = delete;
  SettingsFolders& operator=(const SettingsFolders&) = delete;

  // The variables that move every settings folder here, for a child process.
  std::map<std::string, std::string> Environment() const {
    return {{"VLBACKUP_COMMON_APPDATA", Folder("common")}, {"VLBACKUP_LOCAL_APPDATA", Folder("local")},
            {"VLBACKUP_SYSCONFDIR", Folder("etc")},        {"VLBACKUP_FALLBACK_CONFIG", Folder("fallback")},
            {"VLBACKUP_DRIVE_ROOT", Folder("drive")},      {"VLBACKUP_REMOTE_SESSION", "0"}};
  }

  // Replaces a variable in this process (nothing removes it) until the end of the test.
  void Override(const std::string& name, std::optional<std::string> value) {
    env_.erase(name);
    env_.try_emplace(name, name, std::move(value));
  }

  // The arguments after the program's name.
  void SetArguments(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), program_);
    platform::SetCommandLine(std::move(arguments));
  }

  // Makes the folder "cwd" the working directory until the end of the test.
  void EnterWorkingFolder() {
    if (!oldCwd_) oldCwd_ = std::filesystem::current_path();
    std::filesystem::current_path(root_.path() / "cwd");
  }

  // A path below the root: "common", "local", "etc", "fallback", "drive", "cwd",
  // "backups" or anything a test makes there.
  std::string Folder(const std::string& name) const { return root_ / name; }
  std::string DataFolder() const { return Folder("common/Corvanta/Velloran"); }
  std::string Backups() const { return Folder("backups"); }
  std::string PreferencesFile() const { return DataFolder() + "/vlbackup.ini"; }

  // data.ini with the given "Database Settings" entries, each "Key=Value".
  void WriteDataFile(const std::vector<std::string>& entries) const {
    std::string text = "[Database Settings]\n";
    for (const auto& entry : entries) text += entry + "\n";
    WriteSettingsFile("data.ini", text);
  }
  // data.ini reaching the default instance on host with the given login.
  void PointAt(const std::string& host, const std::string& user, const std::string& password) const {
    WriteDataFile({"Data Source=" + host, "User ID=" + user, "Password=" + password});
  }
  // config.ini with its "Login" switch.
  void WriteConfigFile(bool login) const {
    WriteSettingsFile("config.ini", std::string("[Misc]\nLogin=") + (login ? "1" : "0") + "\n");
  }
  // vlbackup.ini, the window's preferences: as given, or the backup path and date stamp.
  void WritePreferences(const std::string& content) const { WriteSettingsFile("vlbackup.ini", content); }
  void WritePreferences(const std::string& path, bool dateStamp) const {
    WritePreferences("[Main]\nPath=" + path + "\nDateStamp=" + (dateStamp ? "1" : "0") + "\n");
  }
  std::string Preferences() const { return ReadFile(PreferencesFile()); }
  bool PreferencesExist() const { return std::filesystem::exists(PreferencesFile()); }

 private:
  static std::vector<std::string> CurrentCommandLine() {
    std::vector<std::string> words;
    for (int i = 0; i <= platform::ParamCount(); ++i) words.push_back(platform::ParamStr(i));
    return words;
  }
  void WriteSettingsFile(const std::string& name, const std::string& content) const {
    std::filesystem::create_directories(DataFolder());
    WriteFile(DataFolder() + "/" + name, content);
  }

  TempDir root_;
  std::string program_;
  std::vector<std::string> oldCommandLine_;
  std::optional<std::filesystem::path> oldCwd_;
  std::map<std::string, ScopedEnv> env_;
};

}  // namespace vl::test
