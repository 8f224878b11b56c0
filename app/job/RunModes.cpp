#include "app/job/RunModes.h"

#include <utility>

#include "platform/CommandLine.h"
#include "platform/Text.h"

namespace vl {

bool SilentMode = false;
bool NoZipMode = false;

bool HasSwitch(const std::string& name) {
  const int count = platform::ParamCount();
  for (int index = 0; index <= count; ++index) {
    if (SameText(platform::ParamStr(index), name)) return true;
  }
  return false;
}

bool IsSilentRun() { return platform::ParamCount() >= 1 && HasSwitch(SilentSwitch); }

std::vector<std::string> KeyValueArguments() {
  std::vector<std::string> arguments;
  for (const std::string& argument : platform::Arguments())
    if (argument.find('=') != std::string::npos) arguments.push_back(argument);
  return arguments;
}

}  // namespace vl
