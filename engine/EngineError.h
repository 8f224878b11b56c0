#pragma once
// The engine's error: a message for the diagnostic channel and the result code
// that dzip hands back.
#include <cstdint>
#include <exception>
#include <string>

#include "dzip.h"
#include "platform/Error.h"

namespace dz {

class DzipError : public vl::Exception {
 public:
  DzipError(int32_t code, const std::string& message) : vl::Exception(message), code_(code) {}
  int32_t Code() const noexcept { return code_; }
  const char* ClassName() const noexcept override { return "DzipError"; }

 private:
  int32_t code_;
};

// Refuses the archive already at the target name, which may have been
// planted: DZ_ERR_UNSAFE_ARCHIVE with the reason.
[[noreturn]] inline void RefuseArchive(const std::string& why) {
  throw DzipError(DZ_ERR_UNSAFE_ARCHIVE, "existing archive is unsafe: " + why);
}

// Carries whatever a caller's callback raised through the engine's own error
// handling, so it reaches dzip's caller unchanged once everything is cleaned up.
struct CallbackEscape {
  std::exception_ptr raised;
};

}  // namespace dz
