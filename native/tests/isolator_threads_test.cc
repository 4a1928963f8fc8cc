// Isolators on different threads at the same time share nothing: each
// thread's output is exactly what the stream gives on one thread alone.
// Built under ThreadSanitizer as well.

#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "isolator.h"

namespace quiro {
namespace {

using Frame = std::array<float, kFrameSamples>;

struct Processed {
  std::vector<Frame> frames;
  std::vector<float> scores;
};

// Noise with a pulsing tone over it, its level stepping every few frames so
// both gates open and close.
std::vector<Frame> MakeStream(unsigned seed, int frame_count) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<Frame> stream(frame_count);
  for (int n = 0; n < frame_count; ++n) {
    const float level = (n / 8) % 3 == 2 ? 0.0f : 1.0f;
    for (std::size_t i = 0; i < kFrameSamples; ++i) {
      const float t = static_cast<float>(n * kFrameSamples + i) / kSampleRate;
      stream[n][i] = level * (noise(rng) + 0.3f * std::sin(2.0f * 3.14159265f * 180.0f * t));
    }
  }
  return stream;
}

Processed ProcessStream(IsolatorMode mode, const std::vector<Frame>& stream,
                        std::barrier<>* start) {
  if (start != nullptr) start->arrive_and_wait();
  Isolator isolator(mode);
  Processed out{stream, {}};
  for (Frame& frame : out.frames) {
    const FrameResult result = isolator.process_frame(frame);
    out.scores.push_back(result.ok() ? result.score() : NAN);
  }
  return out;
}

TEST(IsolatorThreadsTest, TwoThreadsAtOnceMatchOneThreadAlone) {
  constexpr int kFrames = 60;
  const std::vector<Frame> streams[2] = {MakeStream(1, kFrames), MakeStream(2, kFrames)};
  const IsolatorMode modes[2] = {IsolatorMode::VoiceGate, IsolatorMode::Denoise};
  // The concurrent run comes first, so the provider's one-time set-up and
  // the creation of the isolators race as well.
  std::barrier<> start(2);
  Processed together[2];
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] { together[t] = ProcessStream(modes[t], streams[t], &start); });
  }
  for (std::thread& thread : threads) thread.join();

  Processed alone[2];
  for (int t = 0; t < 2; ++t) alone[t] = ProcessStream(modes[t], streams[t], nullptr);

  for (int t = 0; t < 2; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(together[t].frames, alone[t].frames);
    EXPECT_EQ(together[t].scores, alone[t].scores);
  }
}

}  // namespace
}  // namespace quiro
