#pragma once
// The message of the error a call raises, for tests that check what a failure says.
#include <gtest/gtest.h>

#include <string>

#include "platform/Error.h"

namespace vl::test {

// The message of the vl::Exception that call raises; a test failure, naming
// what happened instead, when it raises none.
template <typename Call>
std::string ErrorOf(Call&& call, const char* insteadItSucceeded) {
  try {
    call();
  } catch (const Exception& e) {
    return e.what();
  }
  ADD_FAILURE() << insteadItSucceeded;
  return {};
}

}  // namespace vl::test
