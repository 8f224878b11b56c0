#include "platform/Console.h"

#include <unistd.h>

#include "platform/PosixFile.h"

namespace vl::platform {

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void WriteStandardError(std::string_view text) { (void)WriteAll(STDERR_FILENO, text); }

}  // namespace vl::platform
