#include "platform/System.h"

#include <sys/prctl.h>
#include <unistd.h>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "platform/PosixFile.h"

namespace vl::platform {

std::optional<std::string> ComputerName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  return std::string(buffer);
}

LocalDateTime Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void Sleep(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void MarkProcessNotDumpable() {
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) throw SystemError("The process cannot be kept from core dumps");
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name, const std::string& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

}  // namespace vl::platform
