#include "isolator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <vector>

#include "isolator_internal.h"

namespace quiro {
namespace {

using Frame = std::array<float, kFrameSamples>;

constexpr float kAttenuation = 0.031622775f;  // 10^(-30/20) in single precision

// A sine well above the level threshold.
Frame LoudFrame(float amplitude = 0.1f) {
  Frame frame;
  for (std::size_t i = 0; i < kFrameSamples; ++i) {
    frame[i] = amplitude * std::sin(2.0f * std::numbers::pi_v<float> * 440.0f * i / kSampleRate);
  }
  return frame;
}

// rms about 0.0007, below the level threshold of 0.002.
Frame QuietFrame() { return LoudFrame(0.001f); }

bool AllZero(const Frame& frame) {
  return std::all_of(frame.begin(), frame.end(), [](float s) { return s == 0.0f; });
}

struct DenoiserLog {
  int calls = 0;
  Frame last_input{};
};

// Stands in for RNNoise where a test needs exact probabilities: passes its
// input through unchanged and returns the scripted probabilities in turn,
// repeating the last one.
class ScriptedDenoiser final : public Denoiser {
 public:
  ScriptedDenoiser(std::vector<float> probabilities, DenoiserLog* log)
      : probabilities_(std::move(probabilities)), log_(log) {}

  float ProcessFrame(std::span<const float, kFrameSamples> input,
                     std::span<float, kFrameSamples> output) override {
    std::copy(input.begin(), input.end(), output.begin());
    std::copy(input.begin(), input.end(), log_->last_input.begin());
    const std::size_t index = std::min<std::size_t>(log_->calls, probabilities_.size() - 1);
    ++log_->calls;
    return probabilities_[index];
  }

 private:
  std::vector<float> probabilities_;
  DenoiserLog* log_;
};

class ScriptedIsolatorTest : public ::testing::Test {
 protected:
  std::unique_ptr<Isolator> Make(IsolatorMode mode, std::vector<float> probabilities) {
    return IsolatorInternals::CreateWithDenoiser(
        mode, std::make_unique<ScriptedDenoiser>(std::move(probabilities), &log_));
  }

  DenoiserLog log_;
};

TEST(ModeFromCodeTest, OnlyOneAndTwoNameTheirModes) {
  struct Case {
    std::int32_t code;
    IsolatorMode expected;
  };
  const Case cases[] = {
      {.code = 0, .expected = IsolatorMode::Denoise},
      {.code = 1, .expected = IsolatorMode::VoiceGate},
      {.code = 2, .expected = IsolatorMode::Bypass},
      {.code = 3, .expected = IsolatorMode::Denoise},
      {.code = 255, .expected = IsolatorMode::Denoise},
      {.code = 257, .expected = IsolatorMode::Denoise},  // low byte 1
      {.code = 258, .expected = IsolatorMode::Denoise},  // low byte 2
      {.code = -1, .expected = IsolatorMode::Denoise},
      {.code = std::numeric_limits<std::int32_t>::min(), .expected = IsolatorMode::Denoise},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(ModeFromCode(c.code), c.expected);
  }
}

TEST(IsolatorErrorTest, MessagesFollowTheirKind) {
  struct Case {
    const char* name;
    IsolatorError error;
    const char* expected;
  };
  const auto mismatch = std::make_shared<const IsolatorError>(
      IsolatorError::FrameSizeMismatch{.expected = 480, .got = 479});
  const Case cases[] = {
      {"model load", IsolatorError(IsolatorError::ModelLoad{"no such file"}),
       "model load failed: no such file"},
      {"frame size", IsolatorError(IsolatorError::FrameSizeMismatch{480, 479}),
       "frame size mismatch: expected 480, got 479"},
      {"frame size, large", IsolatorError(IsolatorError::FrameSizeMismatch{480, SIZE_MAX}),
       "frame size mismatch: expected 480, got 18446744073709551615"},
      {"inference", IsolatorError(IsolatorError::Inference{"bad state"}),
       "inference failed: bad state"},
      {"other", IsolatorError(IsolatorError::Other{mismatch}),
       "frame size mismatch: expected 480, got 479"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.message(), c.expected);
  }
}

TEST_F(ScriptedIsolatorTest, WrongLengthIsRefusedAndChangesNothing) {
  struct Case {
    std::size_t length;
  };
  for (const Case c : {Case{479}, Case{481}, Case{0}}) {
    SCOPED_TRACE(c.length);
    auto isolator = Make(IsolatorMode::VoiceGate, {0.9f, 0.1f});
    Frame loud = LoudFrame();
    ASSERT_TRUE(isolator->process_frame(loud).ok());  // opens both gates
    const std::uint32_t level_hold = IsolatorInternals::level_hold_left(*isolator);
    const std::uint32_t vad_hold = IsolatorInternals::vad_hold_left(*isolator);

    std::vector<float> samples(c.length + 1, 0.25f);  // one spare to look past the end
    const FrameResult result = isolator->process_frame(std::span(samples.data(), c.length));

    ASSERT_FALSE(result.ok());
    const auto* mismatch = std::get_if<IsolatorError::FrameSizeMismatch>(&result.error().kind());
    ASSERT_NE(mismatch, nullptr);
    EXPECT_EQ(mismatch->expected, kFrameSamples);
    EXPECT_EQ(mismatch->got, c.length);
    EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.25f; }));
    EXPECT_EQ(IsolatorInternals::level_hold_left(*isolator), level_hold);
    EXPECT_EQ(IsolatorInternals::vad_hold_left(*isolator), vad_hold);
    EXPECT_EQ(log_.calls, 1);

    Frame next = LoudFrame();
    EXPECT_TRUE(isolator->process_frame(next).ok());
    EXPECT_EQ(log_.calls, 2);
    log_ = {};
  }
}

// Uses the real RNNoise: a fresh isolator silences a silent frame in every mode.
TEST(IsolatorTest, FreshIsolatorSilencesZeroFrameInEveryMode) {
  for (IsolatorMode mode : {IsolatorMode::Denoise, IsolatorMode::VoiceGate, IsolatorMode::Bypass}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Isolator isolator(mode);
    EXPECT_EQ(isolator.mode(), mode);
    Frame frame{};
    const FrameResult result = isolator.process_frame(frame);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.score(), -30.0f);
    EXPECT_TRUE(AllZero(frame));
  }
}

TEST_F(ScriptedIsolatorTest, LevelGateHoldsThirtyQuietFramesAfterLoudOne) {
  // p = 0.5 scores exactly 0 dB, as Bypass does, so every passed frame scores 0.
  for (IsolatorMode mode : {IsolatorMode::Denoise, IsolatorMode::VoiceGate, IsolatorMode::Bypass}) {
    SCOPED_TRACE(static_cast<int>(mode));
    log_ = {};
    auto isolator = Make(mode, {0.5f});
    Frame loud = LoudFrame();
    ASSERT_TRUE(isolator->process_frame(loud).ok());
    for (int i = 1; i <= 30; ++i) {
      SCOPED_TRACE(i);
      Frame quiet = QuietFrame();
      const FrameResult result = isolator->process_frame(quiet);
      ASSERT_TRUE(result.ok());
      EXPECT_EQ(result.score(), 0.0f);
      EXPECT_FALSE(AllZero(quiet));
      EXPECT_EQ(IsolatorInternals::level_hold_left(*isolator), 30u - i);
    }
    Frame gated = QuietFrame();
    EXPECT_EQ(isolator->process_frame(gated).score(), -30.0f);
    EXPECT_TRUE(AllZero(gated));
    EXPECT_EQ(IsolatorInternals::last_outcome(*isolator), FrameOutcome::LevelGated);
    // The denoiser never saw the gated frame.
    EXPECT_EQ(log_.calls, mode == IsolatorMode::Bypass ? 0 : 31);

    Frame again = LoudFrame();
    EXPECT_TRUE(isolator->process_frame(again).ok());
    EXPECT_EQ(IsolatorInternals::level_hold_left(*isolator), 30u);
    Frame quiet = QuietFrame();
    EXPECT_EQ(isolator->process_frame(quiet).score(), 0.0f);
    EXPECT_FALSE(AllZero(quiet));
  }
}

TEST_F(ScriptedIsolatorTest, LevelGatedFrameLeavesVoiceHoldAlone) {
  auto isolator = Make(IsolatorMode::VoiceGate, {0.9f});
  Frame loud = LoudFrame();
  isolator->process_frame(loud);
  for (int i = 0; i < 31; ++i) {
    Frame quiet = QuietFrame();
    isolator->process_frame(quiet);
  }
  // The 31 quiet frames: 30 denoised at p = 0.9 (hold stays 20), then one gated.
  EXPECT_EQ(IsolatorInternals::last_outcome(*isolator), FrameOutcome::LevelGated);
  EXPECT_EQ(IsolatorInternals::vad_hold_left(*isolator), 20u);
}

TEST_F(ScriptedIsolatorTest, NanRmsCountsAsQuiet) {
  auto isolator = Make(IsolatorMode::Denoise, {0.5f});
  Frame frame = LoudFrame();
  frame[7] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(isolator->process_frame(frame).score(), -30.0f);
  EXPECT_TRUE(AllZero(frame));
  EXPECT_EQ(log_.calls, 0);
}

// One sample of 0x1.66f49ap-5 in a silent frame gives an rms of exactly
// 0.002f, the threshold itself; the next float down gives less.
TEST_F(ScriptedIsolatorTest, LevelGateOpensAtTheThresholdItself) {
  struct Case {
    const char* name;
    float sample;
    bool passes;
  };
  const Case cases[] = {
      {"rms at the threshold", 0x1.66f49ap-5f, true},
      {"rms just below", std::nextafter(0x1.66f49ap-5f, 0.0f), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_ = {};
    auto isolator = Make(IsolatorMode::Denoise, {0.5f});
    Frame frame{};
    frame[0] = c.sample;
    const FrameResult result = isolator->process_frame(frame);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.score(), c.passes ? 0.0f : -30.0f);
    EXPECT_EQ(log_.calls, c.passes ? 1 : 0);
  }
}

TEST(IsolatorTest, BypassReturnsLoudFrameBitForBit) {
  Isolator isolator(IsolatorMode::Bypass);
  Frame frame = LoudFrame(3.0f);  // far beyond full scale
  frame[0] = -7.5f;
  frame[1] = std::numeric_limits<float>::denorm_min();
  const Frame original = frame;
  const FrameResult result = isolator.process_frame(frame);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.score(), 0.0f);
  EXPECT_EQ(std::memcmp(frame.data(), original.data(), sizeof(frame)), 0);

  Isolator fresh(IsolatorMode::Bypass);
  Frame quiet = QuietFrame();
  EXPECT_EQ(fresh.process_frame(quiet).score(), -30.0f);
  EXPECT_TRUE(AllZero(quiet));
}

TEST_F(ScriptedIsolatorTest, DenoiseModeNeverAttenuates) {
  auto isolator = Make(IsolatorMode::Denoise, {0.0f});
  for (int i = 0; i < 25; ++i) {
    SCOPED_TRACE(i);
    Frame frame = LoudFrame();
    const Frame original = frame;
    ASSERT_TRUE(isolator->process_frame(frame).ok());
    EXPECT_EQ(frame, original);
    EXPECT_EQ(IsolatorInternals::vad_hold_left(*isolator), 0u);
  }
}

TEST_F(ScriptedIsolatorTest, VoiceGateHoldsTwentyFramesThenAttenuates) {
  // One voiced frame, 30 unvoiced ones, then voice again.
  std::vector<float> probabilities{0.9f};
  probabilities.insert(probabilities.end(), 30, 0.1f);
  probabilities.push_back(0.85f);  // the threshold itself opens the gate
  probabilities.push_back(0.1f);
  auto isolator = Make(IsolatorMode::VoiceGate, probabilities);

  for (std::size_t i = 0; i < probabilities.size(); ++i) {
    SCOPED_TRACE(i);
    const bool attenuated = i >= 21 && i <= 30;
    Frame frame = LoudFrame();
    Frame expected = frame;
    if (attenuated) {
      for (float& s : expected) s *= kAttenuation;
    }
    ASSERT_TRUE(isolator->process_frame(frame).ok());
    for (std::size_t k = 0; k < kFrameSamples; ++k) ASSERT_FLOAT_EQ(frame[k], expected[k]) << k;
    EXPECT_EQ(IsolatorInternals::last_outcome(*isolator),
              attenuated ? FrameOutcome::Attenuated : FrameOutcome::Passed);
  }
  EXPECT_EQ(IsolatorInternals::vad_hold_left(*isolator), 19u);
}

TEST_F(ScriptedIsolatorTest, ScoreIsClampedLogOdds) {
  struct Case {
    float probability;
    float expected_db;
  };
  const Case cases[] = {
      {.probability = 0.0f, .expected_db = -59.9913f},
      {.probability = 1.0f, .expected_db = 59.9913f},
      {.probability = 0.5f, .expected_db = 0.0f},
      {.probability = 0.85f, .expected_db = 15.0666f},
      {.probability = 0.1f, .expected_db = -19.0849f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.probability);
    auto isolator = Make(IsolatorMode::VoiceGate, {c.probability});
    Frame frame = LoudFrame();
    const FrameResult result = isolator->process_frame(frame);
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(std::isfinite(result.score()));
    EXPECT_NEAR(result.score(), c.expected_db, 1e-3);
  }
}

TEST_F(ScriptedIsolatorTest, OutOfRangeInputReachesDenoiserUnclampedOutputIsClamped) {
  auto isolator = Make(IsolatorMode::Denoise, {0.9f});
  Frame frame = LoudFrame(4.0f);
  const Frame original = frame;
  ASSERT_TRUE(isolator->process_frame(frame).ok());
  for (std::size_t i = 0; i < kFrameSamples; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(log_.last_input[i], original[i] * 32768.0f);
    EXPECT_EQ(frame[i], std::clamp(original[i], -1.0f, 1.0f));
  }
}

// A NaN coming out of the denoiser is not hidden by the clamp.
TEST(IsolatorTest, ClampKeepsNan) {
  class NanDenoiser final : public Denoiser {
    float ProcessFrame(std::span<const float, kFrameSamples>,
                       std::span<float, kFrameSamples> output) override {
      std::fill(output.begin(), output.end(), std::numeric_limits<float>::quiet_NaN());
      output[1] = 1e9f;
      return 0.9f;
    }
  };
  auto isolator =
      IsolatorInternals::CreateWithDenoiser(IsolatorMode::Denoise, std::make_unique<NanDenoiser>());
  Frame frame = LoudFrame();
  ASSERT_TRUE(isolator->process_frame(frame).ok());
  EXPECT_TRUE(std::isnan(frame[0]));
  EXPECT_EQ(frame[1], 1.0f);
}

TEST_F(ScriptedIsolatorTest, NonFiniteSamplesEnterDenoiserAsSilence) {
  auto isolator = Make(IsolatorMode::Denoise, {0.9f});
  Frame loud = LoudFrame();
  isolator->process_frame(loud);  // opens the level gate for the NaN frame
  Frame frame = LoudFrame();
  frame[5] = std::numeric_limits<float>::quiet_NaN();
  frame[6] = std::numeric_limits<float>::infinity();
  frame[7] = -std::numeric_limits<float>::infinity();
  frame[8] = 1e38f;   // finite, but not once scaled to 16 bits
  frame[9] = -1e20f;  // finite even scaled, but beyond what RNNoise's arithmetic survives
  frame[10] = 1e6f;   // far beyond full scale, still passed on unclamped
  const Frame original = frame;
  ASSERT_TRUE(isolator->process_frame(frame).ok());
  for (std::size_t i = 0; i < kFrameSamples; ++i) {
    SCOPED_TRACE(i);
    const float expected = (i >= 5 && i <= 9) ? 0.0f : original[i] * 32768.0f;
    EXPECT_EQ(log_.last_input[i], expected);
  }
}

// With the real RNNoise, one bad sample (not a number, infinite or absurdly
// large) used to turn later output samples of the stream into NaN.
TEST(IsolatorTest, NonFiniteSampleDoesNotPoisonLaterFrames) {
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    1e20f, 1e34f}) {
    SCOPED_TRACE(bad);
    Isolator isolator(IsolatorMode::Denoise);
    for (int i = 0; i < 5; ++i) {
      Frame frame = LoudFrame();
      isolator.process_frame(frame);
    }
    Frame poisoned = LoudFrame();
    poisoned[100] = bad;
    ASSERT_TRUE(isolator.process_frame(poisoned).ok());
    for (int i = 0; i < 40; ++i) {
      SCOPED_TRACE(i);
      Frame frame = LoudFrame();
      const FrameResult result = isolator.process_frame(frame);
      ASSERT_TRUE(result.ok());
      ASSERT_TRUE(std::isfinite(result.score()));
      ASSERT_TRUE(
          std::all_of(frame.begin(), frame.end(), [](float s) { return std::isfinite(s); }));
    }
  }
}

}  // namespace
}  // namespace quiro
