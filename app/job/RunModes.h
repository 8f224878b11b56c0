#pragma once
// The run flags and the switch test of the program entry.
#include <string>
#include <vector>

namespace vl {

// Set once by the silent run before the job; the window's job keeps its boxes
// back under SilentMode and takes NoZipMode into its requests, never setting either.
extern bool SilentMode;
extern bool NoZipMode;

inline constexpr const char* SilentSwitch = "/S";
inline constexpr const char* NoZipSwitch = "/NOZIP";

// True when some command-line argument, index 0 (the program's own name)
// included, equals the switch as a whole, ASCII letters compared without case.
bool HasSwitch(const std::string& name);

// The silent run: at least one argument, one of which is "/S".
bool IsSilentRun();

// The Key=Value arguments of the command line (index 0 excluded), in order:
// the connection settings a run overrides.
std::vector<std::string> KeyValueArguments();

// Exit codes of the program. JobFailed is for a silent job that detected a
// failure: schedulers must not take an unmade backup for a success.
inline constexpr int ExitSuccess = 0;
inline constexpr int ExitStopped = 1;
inline constexpr int ExitJobFailed = 2;

}  // namespace vl
