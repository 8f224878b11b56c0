#pragma once
// A sandbox for the settings tests: every special folder points into one
// temporary folder, the working directory is a folder of its own, the command
// line and the settings state start empty, and everything is put back afterwards.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "connection/UtilityConnect.h"
#include "platform/CommandLine.h"
#include "tests/support/TempDir.h"

namespace vl::test {

// Sets (or, with nothing, removes) an environment variable and restores it.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    if (value)
      ::setenv(name_.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

class Sandbox {
 public:
  Sandbox() {
    for (const char* sub : {"local", "common", "etc", "fallback", "root", "cwd"})
      std::filesystem::create_directory(dir_ / sub);
    Override("VLBACKUP_LOCAL_APPDATA", dir_ / "local");
    Override("VLBACKUP_COMMON_APPDATA", dir_ / "common");
    Override("VLBACKUP_SYSCONFDIR", dir_ / "etc");
    Override("VLBACKUP_FALLBACK_CONFIG", dir_ / "fallback");
    Override("VLBACKUP_DRIVE_ROOT", dir_ / "root");
    Override("VLBACKUP_REMOTE_SESSION", "0");
    oldCwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_ / "cwd");
    SetArgs({});
    ConfigFileName.clear();
    DataFileName.clear();
    ConfigFolder.clear();
    DataFolder.clear();
  }
  ~Sandbox() {
    std::error_code ec;
    std::filesystem::current_path(oldCwd_, ec);
    platform::SetCommandLine({});
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Replaces an override (nothing removes the variable) for the rest of the test.
  void Override(const std::string& name, std::optional<std::string> value) {
    env_.erase(name);
    env_.try_emplace(name, name, std::move(value));
  }

  // The arguments after the program's name.
  static void SetArgs(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/vlbackup");
    platform::SetCommandLine(std::move(args));
  }

  std::string operator/(const std::string& name) const { return dir_ / name; }
  std::string str() const { return dir_.str(); }

 private:
  TempDir dir_;
  std::filesystem::path oldCwd_;
  std::map<std::string, ScopedEnv> env_;
};

}  // namespace vl::test
