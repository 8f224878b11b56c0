#include "platform/System.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vl::platform {
namespace {

// In a child, so this test program stays dumpable for its debugger.
TEST(System, ProcessHoldingThePasswordIsNotDumpable) {
  ASSERT_EQ(::prctl(PR_GET_DUMPABLE), 1);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    MarkProcessNotDumpable();
    ::_exit(::prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vl::platform
