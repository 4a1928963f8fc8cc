// Shared by the benchmark files of quiro-bench.
#pragma once

#include <array>
#include <vector>

#include "isolator.h"

namespace quiro_bench {

// The benchmark every other one is compared with.
inline constexpr const char* kBaselineName = "BM_RnnoiseProcessFrame";

using Frame = std::array<float, quiro::kFrameSamples>;

// Two seconds of a voiced, speech-like signal in brown noise, unit scale.
const std::vector<Frame>& SpeechInNoise();

}  // namespace quiro_bench
