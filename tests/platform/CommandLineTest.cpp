#include "platform/CommandLine.h"

#include <gtest/gtest.h>

namespace vl::platform {
namespace {

TEST(CommandLine, IndexZeroIsTheProgramAndOutOfRangeIsEmpty) {
  SetCommandLine({"/opt/app/bin/vlbackup", "/S", "Data Source=x"});
  EXPECT_EQ(ParamCount(), 2);
  EXPECT_EQ(ParamStr(0), "/opt/app/bin/vlbackup");
  EXPECT_EQ(ParamStr(2), "Data Source=x");
  EXPECT_EQ(ParamStr(3), "");
  EXPECT_EQ(ParamStr(-1), "");
  EXPECT_EQ(ProgramFolder(), "/opt/app/bin");
}

TEST(CommandLine, InitUsesTheRealExecutableForIndexZero) {
  char arg0[] = "relative-name";
  char arg1[] = "/S";
  char* argv[] = {arg0, arg1, nullptr};
  InitCommandLine(2, argv);
  EXPECT_EQ(ParamCount(), 1);
  EXPECT_EQ(ParamStr(0).front(), '/');
  EXPECT_NE(ParamStr(0).find("platform_tests"), std::string::npos);
  EXPECT_EQ(ParamStr(1), "/S");
}

}  // namespace
}  // namespace vl::platform
