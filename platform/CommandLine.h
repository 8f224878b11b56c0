#pragma once
// The command line as the platform splits it: index 0 is the program's own
// full path, 1..ParamCount() the arguments.
#include <span>
#include <string>
#include <vector>

namespace vl::platform {

// Records the process's arguments; argv[0] is replaced by the program's full path.
void InitCommandLine(int argc, char** argv);
// Replaces the whole command line (index 0 included); for tests and embedding.
void SetCommandLine(std::vector<std::string> args);

int ParamCount();                 // number of arguments after the program's name
std::string ParamStr(int index);  // empty text when index is out of range
// The arguments after the program's name, valid until the command line is replaced.
std::span<const std::string> Arguments();
std::string ProgramFolder();  // folder of ParamStr(0), without a trailing separator

}  // namespace vl::platform
