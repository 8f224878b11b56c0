#pragma once
// Settings for ConnectDatabase tests: the special folders point into a fresh
// temporary folder, where data.ini and config.ini are written in the product's
// own layout; the command line starts empty.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/CommandLine.h"

namespace vl::test {

class SettingsSandbox {
 public:
  SettingsSandbox() {
    for (const char* sub : {"local", "common", "etc", "fallback", "root"})
      std::filesystem::create_directories(dir_ / sub);
    ::setenv("VLBACKUP_LOCAL_APPDATA", (dir_ / "local").c_str(), 1);
    ::setenv("VLBACKUP_COMMON_APPDATA", (dir_ / "common").c_str(), 1);
    ::setenv("VLBACKUP_SYSCONFDIR", (dir_ / "etc").c_str(), 1);
    ::setenv("VLBACKUP_FALLBACK_CONFIG", (dir_ / "fallback").c_str(), 1);
    ::setenv("VLBACKUP_DRIVE_ROOT", (dir_ / "root").c_str(), 1);
    ::setenv("VLBACKUP_REMOTE_SESSION", "0", 1);
    std::filesystem::create_directories(ProductFolder());
    Arguments({});
  }

  // The "Database Settings" entries of data.ini, each "Key=Value".
  void DataFile(const std::vector<std::string>& entries) const {
    std::string text = "[Database Settings]\n";
    for (const auto& e : entries) text += e + "\n";
    WriteFile(ProductFolder() + "/data.ini", text);
  }
  void ConfigLogin(bool login) const {
    WriteFile(ProductFolder() + "/config.ini", std::string("[Misc]\nLogin=") + (login ? "1" : "0") + "\n");
  }
  static void Arguments(std::vector<std::string> args) {
    args.insert(args.begin(), "/opt/vlbackup/vlbackup");
    platform::SetCommandLine(std::move(args));
  }

 private:
  std::string ProductFolder() const { return dir_ / "common/Corvanta/Velloran"; }

  TempDir dir_;
};

}  // namespace vl::test
