// The bridge as the Dart side meets it: through libquiro.so's exports.
#include <gtest/gtest.h>

#include "bridge_fake_dart.h"
#include "bridge_requests.h"
#include "quiro_bridge.h"

namespace quiro::bridge::testing {
namespace {

TEST(BridgeLibraryTest, FramesRoundTripThroughTheSharedLibrary) {
  quiro_bridge_store_post_function(&FakeDartVm::Post);
  EXPECT_EQ(quiro_bridge_content_hash(), 1257734925);
  const std::uint64_t handle = CreateIsolator();
  EXPECT_EQ(handle, 1u);
  const auto reply = ProcessFrame(handle, TestFrame(0));
  EXPECT_EQ(reply.kind, 0);
  EXPECT_EQ(reply.frame.size(), kFrameSamples);
  const auto pcm = ProcessFrame(handle, std::vector<std::int16_t>(kFrameSamples, 1000));
  EXPECT_EQ(pcm.kind, 0);
  EXPECT_EQ(pcm.frame.size(), kFrameSamples);
  quiro_bridge_handle_release(handle);
}

}  // namespace
}  // namespace quiro::bridge::testing
