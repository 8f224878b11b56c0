#include "app/job/RunModes.h"

#include <gtest/gtest.h>

#include "platform/CommandLine.h"

namespace vl {
namespace {

struct SwitchCase {
  std::vector<std::string> arguments;  // after the program's name
  bool silent;
  bool noZip;
};

TEST(RunModes, SwitchesAreWholeArgumentsInAnyCaseAndOrder) {
  const SwitchCase cases[] = {
      {{}, false, false},
      {{"/S"}, true, false},
      {{"/s"}, true, false},
      {{"/S", "/NOZIP"}, true, true},
      {{"/nozip", "/s"}, true, true},
      {{"/NoZiP", "/s"}, true, true},
      {{"/NOZIP"}, false, true},
      {{"Data Source=srv", "/S", "User ID=sa"}, true, false},
      // Look-alikes are not the switch.
      {{"-S"}, false, false},
      {{"/Silent"}, false, false},
      {{"S"}, false, false},
      {{"/S:"}, false, false},
      {{"/S "}, false, false},
      {{" /S"}, false, false},
      {{"/NOZIP=1", "-nozip", "/S"}, true, false},
  };
  for (const SwitchCase& c : cases) {
    std::vector<std::string> commandLine{"/usr/bin/vlbackup"};
    commandLine.insert(commandLine.end(), c.arguments.begin(), c.arguments.end());
    platform::SetCommandLine(commandLine);
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    EXPECT_EQ(HasSwitch(SilentSwitch), c.silent);
    EXPECT_EQ(IsSilentRun(), c.silent);
    EXPECT_EQ(HasSwitch(NoZipSwitch), c.noZip);
  }
}

TEST(RunModes, ProgramNameCountsForTheSwitchButNotForTheSilentRun) {
  platform::SetCommandLine({"/S"});
  EXPECT_TRUE(HasSwitch(SilentSwitch));
  EXPECT_FALSE(IsSilentRun());
  platform::SetCommandLine({"/S", "x"});
  EXPECT_TRUE(IsSilentRun());
}

}  // namespace
}  // namespace vl
