#pragma once
// Machine facts, the clock and waiting.
#include <optional>
#include <string>

namespace vl::platform {

// The computer's name (at most 255 characters), or nothing when it cannot be had.
std::optional<std::string> ComputerName();

struct LocalDateTime {
  int year = 0, month = 0, day = 0;      // month 1..12, day 1..31
  int hour = 0, minute = 0, second = 0;  // 24-hour clock
};
LocalDateTime Now();

// The value of an environment variable; nothing when it is unset or empty.
std::optional<std::string> EnvironmentVariable(const std::string& name);

// Sets an environment variable for its lifetime and restores the old state.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::string& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Blocks the calling thread; processes no events.
void Sleep(unsigned milliseconds);

// Keeps the process's memory, which holds the database password, out of core
// dumps and away from other processes of the same user (ptrace, /proc/PID/mem).
// Raises an Exception with the system's reason when that cannot be done.
void MarkProcessNotDumpable();

}  // namespace vl::platform
