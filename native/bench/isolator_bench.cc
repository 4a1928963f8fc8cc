// Time per frame of the isolator in each mode, beside a bare RNNoise call
// on the same frames: the difference is the core's own cost.

#include <benchmark/benchmark.h>
#include <rnnoise.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include "quiro_bench.h"

namespace quiro_bench {

const std::vector<Frame>& SpeechInNoise() {
  static const std::vector<Frame> frames = [] {
    constexpr int kFrames = 200;
    std::mt19937 rng(3);
    std::normal_distribution<float> white(0.0f, 1.0f);
    std::vector<Frame> out(kFrames);
    float brown = 0.0f;
    float phase = 0.0f;
    for (int n = 0; n < kFrames; ++n) {
      for (std::size_t i = 0; i < quiro::kFrameSamples; ++i) {
        const float t = static_cast<float>(n * quiro::kFrameSamples + i) / quiro::kSampleRate;
        // A 120-140 Hz glottal-like tone rich in harmonics, in syllables of
        // about 250 ms.
        const float pitch = 130.0f + 10.0f * std::sin(2.0f * std::numbers::pi_v<float> * 3.0f * t);
        phase += 2.0f * std::numbers::pi_v<float> * pitch / quiro::kSampleRate;
        float voice = 0.0f;
        for (int h = 1; h <= 20; ++h) voice += std::sin(h * phase) / h;
        const float syllable =
            std::max(0.0f, std::sin(2.0f * std::numbers::pi_v<float> * 2.0f * t));
        brown = 0.995f * brown + white(rng);
        out[n][i] = 0.1f * syllable * voice + 0.002f * brown;
      }
    }
    return out;
  }();
  return frames;
}

namespace {

void BM_RnnoiseProcessFrame(benchmark::State& state) {
  std::vector<Frame> scaled = SpeechInNoise();
  for (Frame& frame : scaled) {
    for (float& sample : frame) sample *= 32768.0f;
  }
  DenoiseState* denoiser = rnnoise_create(nullptr);
  Frame in, out;
  std::size_t n = 0;
  for (auto _ : state) {
    in = scaled[n++ % scaled.size()];
    benchmark::DoNotOptimize(rnnoise_process_frame(denoiser, out.data(), in.data()));
    benchmark::ClobberMemory();
  }
  rnnoise_destroy(denoiser);
}
BENCHMARK(BM_RnnoiseProcessFrame);

void BM_Isolator(benchmark::State& state, quiro::IsolatorMode mode) {
  const std::vector<Frame>& frames = SpeechInNoise();
  quiro::Isolator isolator(mode);
  Frame frame;
  std::size_t n = 0;
  for (auto _ : state) {
    frame = frames[n++ % frames.size()];
    benchmark::DoNotOptimize(isolator.process_frame(frame).score());
    benchmark::ClobberMemory();
  }
}
BENCHMARK_CAPTURE(BM_Isolator, Denoise, quiro::IsolatorMode::Denoise);
BENCHMARK_CAPTURE(BM_Isolator, VoiceGate, quiro::IsolatorMode::VoiceGate);
BENCHMARK_CAPTURE(BM_Isolator, Bypass, quiro::IsolatorMode::Bypass);

}  // namespace
}  // namespace quiro_bench
