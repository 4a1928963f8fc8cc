#include "isolator.h"

#include <rnnoise.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <type_traits>

#include "isolator_internal.h"

namespace quiro {
namespace {

constexpr float kToDenoiserScale = 32768.0f;
constexpr float kFromDenoiserScale = 1.0f / 32768.0f;
// Score of a frame silenced by the level gate; not derived from the
// voice gate's attenuation.
constexpr float kLevelGatedScore = -30.0f;
constexpr float kScoreProbabilityMin = 0.001f;
constexpr float kScoreProbabilityMax = 0.999f;

// Lower bound first, then upper; a NaN fails both tests and stays NaN.
float Clamp(float value, float low, float high) {
  if (value < low) value = low;
  if (value > high) value = high;
  return value;
}

// Single precision, in sample order (the core is built without contraction,
// so no fused multiply-add changes the sum).
float Rms(std::span<const float> frame) {
  float sum = 0.0f;
  for (float sample : frame) sum += sample * sample;
  return std::sqrt(sum / static_cast<float>(kFrameSamples));
}

// A NaN or infinity that reaches RNNoise poisons its recurrent state for
// good: every later output of the stream would be NaN. So does a finite
// sample large enough to overflow RNNoise's own arithmetic (one sample of 1e18
// already does). Such samples go in as silence; anything up to this bound,
// about 180 dB above full scale, goes in unclamped.
constexpr float kLargestDenoiserInput = 1e9f;

void ScaleIn(std::span<const float> frame, std::span<float, kFrameSamples> input) {
  for (std::size_t i = 0; i < kFrameSamples; ++i) {
    // Written so that NaN fails the test too.
    const bool usable = std::fabs(frame[i]) <= kLargestDenoiserInput;
    input[i] = usable ? frame[i] * kToDenoiserScale : 0.0f;
  }
}

void ScaleOut(std::span<const float, kFrameSamples> output, float gain, std::span<float> frame) {
  if (std::fabs(gain - 1.0f) < std::numeric_limits<float>::epsilon()) {
    for (std::size_t i = 0; i < kFrameSamples; ++i) {
      frame[i] = Clamp(output[i] * kFromDenoiserScale, -1.0f, 1.0f);
    }
  } else {
    for (std::size_t i = 0; i < kFrameSamples; ++i) {
      frame[i] = Clamp(gain * (output[i] * kFromDenoiserScale), -1.0f, 1.0f);
    }
  }
}

// Log-odds of the voice probability in decibels.
float VoiceScore(float probability) {
  const float q = Clamp(probability, kScoreProbabilityMin, kScoreProbabilityMax);
  return 20.0f * std::log10(q / (1.0f - q));
}

class RnnoiseDenoiser final : public Denoiser {
 public:
  RnnoiseDenoiser() : state_(CreateState()) {}
  ~RnnoiseDenoiser() override { rnnoise_destroy(state_); }
  RnnoiseDenoiser(const RnnoiseDenoiser&) = delete;
  RnnoiseDenoiser& operator=(const RnnoiseDenoiser&) = delete;

  float ProcessFrame(std::span<const float, kFrameSamples> input,
                     std::span<float, kFrameSamples> output) override {
    return rnnoise_process_frame(state_, output.data(), input.data());
  }

 private:
  static DenoiseState* CreateState() {
    // A system RNNoise sets up its shared tables on the first creation
    // without a lock of its own.
    static std::mutex creation_mutex;
    std::lock_guard<std::mutex> lock(creation_mutex);
    DenoiseState* state = rnnoise_create(nullptr);
    if (state == nullptr) {
      std::fputs("quiro: could not allocate an RNNoise state\n", stderr);
      std::abort();
    }
    return state;
  }

  DenoiseState* state_;
};

}  // namespace

IsolatorMode ModeFromCode(std::int32_t code) {
  switch (code) {
    case 1:
      return IsolatorMode::VoiceGate;
    case 2:
      return IsolatorMode::Bypass;
    default:
      return IsolatorMode::Denoise;
  }
}

std::string IsolatorError::message() const {
  return std::visit(
      [](const auto& kind) -> std::string {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<Kind, ModelLoad>) {
          return "model load failed: " + kind.text;
        } else if constexpr (std::is_same_v<Kind, FrameSizeMismatch>) {
          return "frame size mismatch: expected " + std::to_string(kind.expected) + ", got " +
                 std::to_string(kind.got);
        } else if constexpr (std::is_same_v<Kind, Inference>) {
          return "inference failed: " + kind.text;
        } else {
          return kind.inner ? kind.inner->message() : std::string();
        }
      },
      kind_);
}

std::unique_ptr<Denoiser> MakeRnnoiseDenoiser() { return std::make_unique<RnnoiseDenoiser>(); }

Isolator::Isolator(IsolatorMode mode)
    : Isolator(mode, mode == IsolatorMode::Bypass ? nullptr : MakeRnnoiseDenoiser()) {}

Isolator::Isolator(IsolatorMode mode, std::unique_ptr<Denoiser> denoiser) : mode_(mode) {
  if (mode != IsolatorMode::Bypass) {
    denoiser_ = std::make_unique<DenoiserBlock>();
    denoiser_->engine = std::move(denoiser);
  }
}

Isolator::~Isolator() = default;

std::unique_ptr<Isolator> IsolatorInternals::CreateWithDenoiser(
    IsolatorMode mode, std::unique_ptr<Denoiser> denoiser) {
  return std::unique_ptr<Isolator>(new Isolator(mode, std::move(denoiser)));
}

FrameResult Isolator::process_frame(std::span<float> frame) {
  if (frame.size() != kFrameSamples) {
    return IsolatorError(IsolatorError::FrameSizeMismatch{kFrameSamples, frame.size()});
  }
  if (!PassesLevelGate(frame)) {
    std::fill(frame.begin(), frame.end(), 0.0f);
    last_outcome_ = FrameOutcome::LevelGated;
    return kLevelGatedScore;
  }
  if (!denoiser_) {
    last_outcome_ = FrameOutcome::Passed;
    return 0.0f;
  }
  ScaleIn(frame, denoiser_->input);
  const float probability = denoiser_->engine->ProcessFrame(denoiser_->input, denoiser_->output);
  const float gain = VoiceGateGain(probability);
  ScaleOut(denoiser_->output, gain, frame);
  return VoiceScore(probability);
}

// An rms that is not a number counts as quiet.
bool Isolator::PassesLevelGate(std::span<const float> frame) {
  if (Rms(frame) >= level_threshold_) {
    level_hold_left_ = level_hold_frames_;
    return true;
  }
  if (level_hold_left_ > 0) {
    --level_hold_left_;
    return true;
  }
  return false;
}

float Isolator::VoiceGateGain(float probability) {
  last_outcome_ = FrameOutcome::Passed;
  if (mode_ != IsolatorMode::VoiceGate) return 1.0f;
  if (probability >= vad_threshold_) {
    vad_hold_left_ = vad_hold_frames_;
    return 1.0f;
  }
  if (vad_hold_left_ > 0) {
    --vad_hold_left_;
    return 1.0f;
  }
  last_outcome_ = FrameOutcome::Attenuated;
  return std::pow(10.0f, vad_attenuation_db_ / 20.0f);
}

}  // namespace quiro
