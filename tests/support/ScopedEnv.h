#pragma once
// An environment variable set (or, with nothing, removed) for one scope and put
// back as it was afterwards.
#include <cstdlib>
#include <optional>
#include <string>

namespace vl::test {

class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Set(value);
  }
  // A null value removes the variable.
  ScopedEnv(std::string name, const char* value)
      : ScopedEnv(std::move(name), value ? std::optional<std::string>(value) : std::nullopt) {}
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

}  // namespace vl::test
