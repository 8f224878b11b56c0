#pragma once
// The error the database client raises: the driver's text, plus the SQLSTATE
// and native error of its first error record where the driver gave them.
#include <string>

#include "platform/Error.h"

namespace vl {

class EDatabaseError : public Exception {
 public:
  EDatabaseError(const std::string& message, std::string sqlState, int nativeError)
      : Exception(message), SqlState(std::move(sqlState)), NativeError(nativeError) {}
  const char* ClassName() const noexcept override { return "EDatabaseError"; }

  std::string SqlState;  // empty when the driver gave none
  int NativeError = 0;   // the server's error number (18456, 4060, ...), or 0
};

// A setting value the client refuses to hand to the driver. The message names
// the setting and never quotes its value.
class ESettingRefused : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "ESettingRefused"; }
};

}  // namespace vl
