// Error texts and failure reports with and without stack traces. Whether
// traces are captured is fixed once per process, so each suite here runs in
// processes whose environment ctest sets: WithoutTrace with
// QUIRO_BACKTRACE=0, WithTrace with 1, LibraryInit with the variable unset.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bridge_fake_dart.h"
#include "bridge_requests.h"
#include "quiro_bridge.h"

namespace quiro::bridge::testing {
namespace {

constexpr char kMismatch[] = "frame size mismatch: expected 480, got 479";
constexpr char kTraceHeader[] = "\n\nStack backtrace:\n";

std::string ErrorOfShortFrame() {
  const std::uint64_t handle = CreateIsolator();
  return ProcessFrame(handle, std::vector<float>(479, 0.0f)).error;
}

void ExpectTextWithTrace(const std::string& text) {
  const std::string head = std::string(kMismatch) + kTraceHeader;
  ASSERT_EQ(text.substr(0, head.size()), head);
  EXPECT_GT(text.size(), head.size());  // At least one frame follows.
  EXPECT_FALSE(std::isspace(static_cast<unsigned char>(text.back())));
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { quiro_bridge_store_post_function(&FakeDartVm::Post); }
};

using WithoutTrace = TraceTest;
using WithTrace = TraceTest;
using LibraryInit = TraceTest;

TEST_F(WithoutTrace, ErrorTextIsTheMessageAlone) {
  ASSERT_STREQ(std::getenv("QUIRO_BACKTRACE"), "0");
  EXPECT_EQ(ErrorOfShortFrame(), kMismatch);
}

TEST_F(WithoutTrace, FailureReportHasNoTrace) {
  EXPECT_DEATH(quiro_bridge_handle_release(9),
               "failed at [^\n]*bridge_runtime\\.cc:[0-9]+:\nunknown handle 9\n$");
}

TEST_F(WithTrace, ErrorTextCarriesTheTrace) {
  ASSERT_STREQ(std::getenv("QUIRO_BACKTRACE"), "1");
  ExpectTextWithTrace(ErrorOfShortFrame());
}

TEST_F(WithTrace, FailureReportCarriesTheTrace) {
  EXPECT_DEATH(quiro_bridge_handle_release(9),
               "failed at [^\n]*bridge_runtime\\.cc:[0-9]+:\nunknown handle 9\n"
               "Stack backtrace:\n[^\n]+\n");
}

TEST_F(LibraryInit, SwitchesTracesOnWhenTheVariableIsAbsent) {
  ASSERT_EQ(std::getenv("QUIRO_BACKTRACE"), nullptr);
  ASSERT_EQ(Call(kLibraryInit, Bytes()), std::vector<std::uint8_t>{0});
  EXPECT_STREQ(std::getenv("QUIRO_BACKTRACE"), "1");
  ExpectTextWithTrace(ErrorOfShortFrame());
}

// The hook library_init installs (twice here) keeps the trace and hands on to
// the earlier hooks, down to the one that writes the report.
TEST_F(LibraryInit, ChainedHooksStillWriteTheReport) {
  EXPECT_DEATH(
      {
        quiro_bridge_store_post_function(&FakeDartVm::Post);
        Call(kLibraryInit, Bytes());
        Call(kLibraryInit, Bytes());
        quiro_bridge_handle_retain(5);
      },
      "failed at [^\n]*bridge_runtime\\.cc:[0-9]+:\nunknown handle 5\nStack backtrace:\n[^\n]+\n");
}

}  // namespace
}  // namespace quiro::bridge::testing
