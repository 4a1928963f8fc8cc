// Several threads driving several handles at once, and frames overlapping on
// one handle. Built plain and under Thread- and AddressSanitizer.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "bridge_fake_dart.h"
#include "bridge_interface_internal.h"
#include "bridge_requests.h"
#include "bridge_runtime.h"
#include "quiro_bridge.h"

namespace quiro::bridge::testing {
namespace {

class BridgeConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { quiro_bridge_store_post_function(&FakeDartVm::Post); }
};

// Each thread streams frames through its own handles; every stream must come
// out exactly as a direct Isolator processes it, and every handle must be
// gone (and, under AddressSanitizer, freed) once released.
TEST_F(BridgeConcurrencyTest, ManyHandlesFromSeveralThreads) {
  constexpr int kThreads = 4;
  constexpr int kHandlesPerThread = 2;
  constexpr int kFrames = 8;
  std::vector<std::vector<float>> frames;
  for (int i = 0; i < kFrames; ++i) frames.push_back(TestFrame(i));
  const auto direct = ProcessDirectly(frames);

  std::vector<std::uint64_t> handles(kThreads * kHandlesPerThread);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::uint64_t* mine = &handles[t * kHandlesPerThread];
      for (int h = 0; h < kHandlesPerThread; ++h) mine[h] = CreateIsolator();
      for (int f = 0; f < kFrames; ++f) {
        std::vector<Dart_Port> ports;
        for (int h = 0; h < kHandlesPerThread; ++h) {
          ports.push_back(NewPort());
          SendFrame(mine[h], ports.back(), frames[f]);
        }
        for (const Dart_Port port : ports) {
          auto result = FakeDartVm::Get().NextOn(port);
          ASSERT_TRUE(result);
          const auto reply = ReadFrameReply<float>(result->bytes());
          EXPECT_EQ(reply.frame, direct[f].frame) << "frame " << f;
          EXPECT_EQ(reply.score, direct[f].score) << "frame " << f;
        }
      }
      for (int h = 0; h < kHandlesPerThread; ++h) quiro_bridge_handle_release(mine[h]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::uint64_t handle : handles) EXPECT_EQ(Handles().CountOf(handle), std::nullopt);
  EXPECT_EQ(LiveResultBuffers(), 0);  // Every result collected was freed once.
}

// Two frames sent for one handle without waiting are processed one after the
// other, in either order; the Dart side's release in between does not cut
// them short.
TEST_F(BridgeConcurrencyTest, TwoFramesInFlightOnOneHandle) {
  const std::uint64_t handle = CreateIsolator();
  std::weak_ptr<SharedIsolator> watch =
      std::static_pointer_cast<SharedIsolator>(Handles().Resolve(handle));
  const Dart_Port first_port = NewPort();
  const Dart_Port second_port = NewPort();
  SendFrame(handle, first_port, TestFrame(10));
  SendFrame(handle, second_port, TestFrame(11));
  quiro_bridge_handle_release(handle);

  auto first = FakeDartVm::Get().NextOn(first_port);
  auto second = FakeDartVm::Get().NextOn(second_port);
  ASSERT_TRUE(first && second);
  const auto first_reply = ReadFrameReply<float>(first->bytes());
  const auto second_reply = ReadFrameReply<float>(second->bytes());
  const auto in_order = ProcessDirectly({TestFrame(10), TestFrame(11)});
  const auto reversed = ProcessDirectly({TestFrame(11), TestFrame(10)});
  const bool first_went_first =
      first_reply.frame == in_order[0].frame && second_reply.frame == in_order[1].frame;
  const bool second_went_first =
      second_reply.frame == reversed[0].frame && first_reply.frame == reversed[1].frame;
  EXPECT_TRUE(first_went_first || second_went_first);
  EXPECT_EQ(Handles().CountOf(handle), std::nullopt);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace quiro::bridge::testing
