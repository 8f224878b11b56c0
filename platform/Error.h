#pragma once
// The one general error type of the system: failures of libraries and of the
// platform arrive as an Exception carrying a message text.
#include <stdexcept>
#include <string>

namespace vl {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
  // The type's name as the last-resort handler reports it.
  virtual const char* ClassName() const noexcept { return "Exception"; }
};

// Raised by stream operations (a text that does not fit its holder).
class EStreamError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EStreamError"; }
};

}  // namespace vl
