#pragma once
// The process's standard error stream as a person or a scheduler sees it.
#include <string_view>

namespace vl::platform {

// True when standard error is a terminal (a person is watching), false for a
// pipe, a file or a closed stream (cron, systemd, a redirect).
bool StandardErrorIsTerminal();

// Writes text to standard error unbuffered; a write that fails is dropped.
void WriteStandardError(std::string_view text);

}  // namespace vl::platform
