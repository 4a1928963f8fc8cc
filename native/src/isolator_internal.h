// Internals of the isolator core for the tools and the tests: the denoiser
// seam, the denoiser block and read access to the countdowns.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "isolator.h"

namespace quiro {

// One denoiser state. Frames are on the 16-bit scale (unit scale × 32768).
class Denoiser {
 public:
  virtual ~Denoiser() = default;
  // Denoises `input` into `output` and returns the voice probability in [0, 1].
  virtual float ProcessFrame(std::span<const float, kFrameSamples> input,
                             std::span<float, kFrameSamples> output) = 0;
};

// RNNoise with its built-in model.
std::unique_ptr<Denoiser> MakeRnnoiseDenoiser();

// The denoiser and its work buffers, which carry nothing between frames.
struct DenoiserBlock {
  std::unique_ptr<Denoiser> engine;
  std::array<float, kFrameSamples> input{};
  std::array<float, kFrameSamples> output{};
};

struct IsolatorInternals {
  // An Isolator running `denoiser` instead of RNNoise; in Bypass the
  // denoiser is dropped, as Bypass has none.
  static std::unique_ptr<Isolator> CreateWithDenoiser(IsolatorMode mode,
                                                      std::unique_ptr<Denoiser> denoiser);
  static std::uint32_t level_hold_left(const Isolator& isolator) {
    return isolator.level_hold_left_;
  }
  static std::uint32_t vad_hold_left(const Isolator& isolator) { return isolator.vad_hold_left_; }
  static FrameOutcome last_outcome(const Isolator& isolator) { return isolator.last_outcome_; }
};

}  // namespace quiro
