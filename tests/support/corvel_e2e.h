// Shared pieces of the host's end-to-end tests.
#ifndef TESTS_SUPPORT_CORVEL_E2E_H_
#define TESTS_SUPPORT_CORVEL_E2E_H_

#include <gtest/gtest.h>

#include <string>

namespace corvel_test {

// The program's standard error holds no GLib warning, critical or error line.
inline ::testing::AssertionResult HasNoLoggedProblems(const std::string& stderr_text) {
  for (const char* marker : {"WARNING", "CRITICAL", "ERROR"}) {
    if (stderr_text.find(marker) != std::string::npos) {
      return ::testing::AssertionFailure() << "standard error reports a problem:\n" << stderr_text;
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace corvel_test

#endif  // TESTS_SUPPORT_CORVEL_E2E_H_
