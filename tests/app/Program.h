#pragma once
// Runs a program with a chosen environment, capturing its output.
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/TempDir.h"

extern char** environ;

namespace vl::test {

struct ProgramRun {
  int exitCode = -1;  // -1 when it had to be killed or died of a signal
  std::string out;
  std::string err;
  std::chrono::milliseconds took{0};
};

struct ProgramOptions {
  std::map<std::string, std::string> set;  // environment variables to set
  std::set<std::string> unset;             // and to remove
  std::string workingDirectory;            // empty: the caller's
  std::chrono::seconds timeout{120};
  int standardError = -1;  // a descriptor to hand the program as its standard error instead of capturing it
};

// Owns the argument strings handed to posix_spawn.
class CStringArray {
 public:
  explicit CStringArray(std::vector<std::string> texts) : texts_(std::move(texts)) {
    for (std::string& t : texts_) pointers_.push_back(t.data());
    pointers_.push_back(nullptr);
  }
  char** get() { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

inline std::vector<std::string> EnvironmentWith(const ProgramOptions& options) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (options.unset.count(name) == 0 && options.set.count(name) == 0) result.push_back(entry);
  }
  for (const auto& [name, value] : options.set) result.push_back(name + "=" + value);
  return result;
}

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// A program started in the background; Finish waits for its end.
class RunningProgram {
 public:
  RunningProgram(const std::string& program, const std::vector<std::string>& arguments,
                 const ProgramOptions& options = {})
      : timeout_(options.timeout) {
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), 1, OutName().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (options.standardError >= 0)
      posix_spawn_file_actions_adddup2(actions.get(), options.standardError, 2);
    else
      posix_spawn_file_actions_addopen(actions.get(), 2, ErrName().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!options.workingDirectory.empty()) {
      posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory.c_str());
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CStringArray args(argv);
    CStringArray env(EnvironmentWith(options));
    if (int rc = posix_spawnp(&pid_, program.c_str(), actions.get(), nullptr, args.get(), env.get()); rc != 0) {
      throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    }
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  ~RunningProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }

  // Waits for the end (killing it past the time-out) and collects its output.
  ProgramRun Finish() {
    ProgramRun run;
    int status = 0;
    for (;;) {
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) break;
      if (std::chrono::steady_clock::now() - start_ > timeout_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = 0;
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    if (status != -1 && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = ReadFile(OutName());
    if (std::filesystem::exists(ErrName())) run.err = ReadFile(ErrName());
    return run;
  }

 private:
  std::string OutName() const { return capture_ / "stdout"; }
  std::string ErrName() const { return capture_ / "stderr"; }

  TempDir capture_;
  std::chrono::seconds timeout_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  pid_t pid_ = 0;
};

// A pseudo-terminal whose output is read as it comes, for a program that
// behaves differently when a person is watching. Raw, so the text arrives
// byte for byte (no LF to CR LF).
class PseudoTerminal {
 public:
  PseudoTerminal() {
    int controller = -1, terminal = -1;
    if (::openpty(&controller, &terminal, nullptr, nullptr, nullptr) != 0)
      throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    controller_ = controller;
    terminal_ = terminal;
    // Only the program's standard error reaches the terminal; no other child keeps it open.
    ::fcntl(controller_, F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal_, F_SETFD, FD_CLOEXEC);
    termios mode{};
    ::tcgetattr(terminal_, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(terminal_, TCSANOW, &mode);
    reader_ = std::thread([this] {
      char buffer[4096];
      for (ssize_t n; (n = ::read(controller_, buffer, sizeof buffer)) > 0;) {
        std::lock_guard lock(mutex_);
        text_.append(buffer, n);
        arrived_.notify_all();
      }
    });
  }
  ~PseudoTerminal() {
    CloseTerminal();
    if (reader_.joinable()) reader_.join();
    ::close(controller_);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The terminal's side, for the program.
  int Terminal() const { return terminal_; }

  // Everything written to the terminal; call once every program using it has ended.
  std::string Output() {
    CloseTerminal();  // the last side closed, reading ends
    reader_.join();
    return text_;
  }

  // Waits until the terminal has shown text: the program's own word that it got
  // that far. False when it has not within the limit.
  bool WaitFor(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(60)) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] { return text_.find(text) != std::string::npos; });
  }

 private:
  void CloseTerminal() {
    if (terminal_ >= 0) ::close(std::exchange(terminal_, -1));
  }

  int controller_ = -1;
  int terminal_ = -1;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string text_;
  std::thread reader_;
};

inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const ProgramOptions& options = {}) {
  return RunningProgram(program, arguments, options).Finish();
}

}  // namespace vl::test
