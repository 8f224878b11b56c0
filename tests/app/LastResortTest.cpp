#include "app/LastResort.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "platform/Error.h"

namespace vl {
namespace {

std::string PointerText(const void* address) {
  char text[64];
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

TEST(LastResort, TextNamesClassModuleAddressAndMessageWithOneFullStop) {
  const int anchor = 0;
  const std::string at = PointerText(&anchor);
  struct TextCase {
    std::string message;
    std::string ending;
  };
  const TextCase cases[] = {
      {"Login failed for user sa", "\nLogin failed for user sa."},
      {"Invalid object name 'SystemData'", "\nInvalid object name 'SystemData'"},  // the quote sorts before it
      {"Disk full.", "\nDisk full."},
      {"Stop!", "\nStop!"},  // '!' sorts before the full stop
      {"", "\n"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(ApplicationErrorText("EOleException", "vlbackup", &anchor, c.message),
              "Exception EOleException in module vlbackup at " + at + "." + c.ending);
  }
}

TEST(LastResort, ClassNameOfTheSystemsErrorsAndOfOthers) {
  EXPECT_EQ(ErrorClassName(std::make_exception_ptr(Exception("x"))), "Exception");
  EXPECT_EQ(ErrorClassName(std::make_exception_ptr(EStreamError("x"))), "EStreamError");
  EXPECT_EQ(ErrorClassName(std::make_exception_ptr(std::out_of_range("x"))), "std::out_of_range");
  EXPECT_EQ(ErrorClassName(std::make_exception_ptr(42)), "int");
  EXPECT_EQ(ErrorMessage(std::make_exception_ptr(Exception("the server's text"))), "the server's text");
  EXPECT_EQ(ErrorMessage(std::make_exception_ptr(42)), "");
}

}  // namespace
}  // namespace vl
