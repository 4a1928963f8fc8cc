#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "quiro.h"

namespace {

constexpr std::size_t kSamples = 480;
using Frame = std::array<float, kSamples>;

struct IsolatorDeleter {
  void operator()(QuiroIsolator* isolator) const { quiro_isolator_destroy(isolator); }
};
using IsolatorPtr = std::unique_ptr<QuiroIsolator, IsolatorDeleter>;

IsolatorPtr Create(std::int32_t mode) { return IsolatorPtr(quiro_isolator_create(mode)); }

// Frame n of a stream that alternates loud and quiet stretches, so that both
// gates and the denoiser's recurrent state get exercised.
Frame StreamFrame(int n) {
  Frame frame;
  const float amplitude = (n / 5) % 2 == 0 ? 0.2f : 0.0005f;
  for (std::size_t i = 0; i < kSamples; ++i) {
    const float t = static_cast<float>(n * kSamples + i) / 48000.0f;
    frame[i] = amplitude * std::sin(2.0f * std::numbers::pi_v<float> * 220.0f * t) +
               0.001f * std::sin(2.0f * std::numbers::pi_v<float> * 3100.0f * t);
  }
  return frame;
}

TEST(QuiroCApiTest, ConstantsDescribeTenMillisecondFrames) {
  EXPECT_EQ(quiro_frame_samples(), 480u);
  EXPECT_EQ(quiro_sample_rate(), 48000u);
  EXPECT_EQ(quiro_frame_samples() * 1000 / quiro_sample_rate(), 10u);
  EXPECT_EQ(quiro_c_api_keep_symbols(), reinterpret_cast<void*>(&quiro_isolator_create));
}

TEST(QuiroCApiTest, DestroyNullDoesNothing) { quiro_isolator_destroy(nullptr); }

TEST(QuiroCApiTest, BadArgumentsGiveTheirStatusAndTouchNothing) {
  struct Case {
    const char* name;
    bool null_handle;
    bool null_samples;
    std::size_t count;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"null handle", true, false, 480, QUIRO_ERROR_NULL_ARGUMENT},
      {"null samples", false, true, 480, QUIRO_ERROR_NULL_ARGUMENT},
      {"null samples, count 0", false, true, 0, QUIRO_ERROR_NULL_ARGUMENT},
      {"both null, count 7", true, true, 7, QUIRO_ERROR_NULL_ARGUMENT},
      {"count 0", false, false, 0, QUIRO_ERROR_FRAME_SIZE},
      {"count 479", false, false, 479, QUIRO_ERROR_FRAME_SIZE},
      {"count 481", false, false, 481, QUIRO_ERROR_FRAME_SIZE},
      {"count 960", false, false, 960, QUIRO_ERROR_FRAME_SIZE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // One isolator gets the bad call between valid frames; its twin never
    // sees it. Both must produce the same stream.
    IsolatorPtr tested = Create(QUIRO_MODE_VOICE_GATE);
    IsolatorPtr twin = Create(QUIRO_MODE_VOICE_GATE);
    for (int n = 0; n < 12; ++n) {
      if (n == 6) {
        std::vector<float> samples(std::max<std::size_t>(c.count, 1), 0.5f);
        const std::int32_t status =
            quiro_isolator_process_frame_f32(c.null_handle ? nullptr : tested.get(),
                                             c.null_samples ? nullptr : samples.data(), c.count);
        EXPECT_EQ(status, c.expected);
        EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.5f; }));
      }
      Frame a = StreamFrame(n);
      Frame b = a;
      ASSERT_EQ(quiro_isolator_process_frame_f32(tested.get(), a.data(), a.size()), QUIRO_OK);
      ASSERT_EQ(quiro_isolator_process_frame_f32(twin.get(), b.data(), b.size()), QUIRO_OK);
      ASSERT_EQ(a, b) << "frame " << n;
    }
  }
}

TEST(QuiroCApiTest, BypassModeKeepsLoudFrameAndZeroesFirstQuietOne) {
  IsolatorPtr isolator = Create(QUIRO_MODE_BYPASS);
  Frame quiet;
  quiet.fill(0.0005f);
  ASSERT_EQ(quiro_isolator_process_frame_f32(isolator.get(), quiet.data(), quiet.size()), QUIRO_OK);
  EXPECT_TRUE(std::all_of(quiet.begin(), quiet.end(), [](float s) { return s == 0.0f; }));

  Frame loud = StreamFrame(0);
  loud[3] = 1.75f;
  const Frame original = loud;
  ASSERT_EQ(quiro_isolator_process_frame_f32(isolator.get(), loud.data(), loud.size()), QUIRO_OK);
  EXPECT_EQ(loud, original);
}

// Modes are told apart by what they do to the same stream: Bypass leaves
// loud frames alone, Denoise changes them, VoiceGate additionally
// attenuates the tonal stream RNNoise does not take for voice.
TEST(QuiroCApiTest, ModeCodesSelectByWholeValue) {
  std::vector<Frame> stream;
  for (int n = 0; n < 30; ++n) stream.push_back(StreamFrame(n));
  auto run = [&](std::int32_t mode) {
    IsolatorPtr isolator = Create(mode);
    std::vector<Frame> out = stream;
    for (Frame& frame : out) {
      EXPECT_EQ(quiro_isolator_process_frame_f32(isolator.get(), frame.data(), frame.size()),
                QUIRO_OK);
    }
    return out;
  };
  const std::vector<Frame> denoise = run(QUIRO_MODE_DENOISE);
  const std::vector<Frame> voice_gate = run(QUIRO_MODE_VOICE_GATE);
  EXPECT_EQ(run(QUIRO_MODE_BYPASS)[0], stream[0]);
  EXPECT_NE(denoise[0], stream[0]);
  EXPECT_NE(voice_gate, denoise);

  struct Case {
    std::int32_t code;
  };
  for (const Case c : {Case{257}, Case{258}, Case{3}, Case{255}, Case{-1}}) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(run(c.code), denoise);
  }
}

}  // namespace
