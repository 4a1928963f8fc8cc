// The real denoiser really denoises: synthetic speech (espeak-ng, made at
// build time) in brown noise, through a Denoise isolator.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "isolator.h"

namespace quiro {
namespace {

using Frame = std::array<float, kFrameSamples>;

constexpr int kNoiseOnlyFrames = 150;  // 1.5 s of noise before and after the speech
constexpr int kWarmUpFrames = 50;      // the denoiser's estimates settle first
constexpr float kNoiseRms = 0.02f;     // about -34 dBFS
constexpr float kVoicedFrameRms = 0.05f;

std::vector<float> ReadSpeech() {
  SF_INFO info{};
  SNDFILE* file = sf_open(QUIRO_SPEECH_WAV, SFM_READ, &info);
  if (file == nullptr) {
    ADD_FAILURE() << "cannot open " << QUIRO_SPEECH_WAV << ": " << sf_strerror(nullptr);
    return {};
  }
  EXPECT_EQ(info.samplerate, static_cast<int>(kSampleRate));
  EXPECT_EQ(info.channels, 1);
  std::vector<float> samples(info.frames);
  samples.resize(sf_readf_float(file, samples.data(), info.frames));
  sf_close(file);
  return samples;
}

// Leaky integral of white noise, scaled to `rms`: most energy at low
// frequencies, like rumble and fans.
std::vector<float> BrownNoise(std::size_t length, float rms) {
  std::mt19937 rng(7);
  std::normal_distribution<float> white(0.0f, 1.0f);
  std::vector<float> noise(length);
  float state = 0.0f;
  double energy = 0.0;
  for (float& sample : noise) {
    state = 0.995f * state + white(rng);
    sample = state;
    energy += double{sample} * sample;
  }
  const float scale = rms / static_cast<float>(std::sqrt(energy / length));
  for (float& sample : noise) sample *= scale;
  return noise;
}

float FrameRms(const float* frame) {
  double sum = 0.0;
  for (std::size_t i = 0; i < kFrameSamples; ++i) sum += double{frame[i]} * frame[i];
  return static_cast<float>(std::sqrt(sum / kFrameSamples));
}

// The voice probability back from the score (exact up to its clamp).
double ProbabilityFromScore(float score_db) {
  return 1.0 / (1.0 + std::pow(10.0, -score_db / 20.0));
}

TEST(DenoiseQualityTest, SpeechScoresHighNoiseIsRemoved) {
  const std::vector<float> speech = ReadSpeech();
  ASSERT_GT(speech.size(), 100 * kFrameSamples);
  const int speech_frames = static_cast<int>(speech.size() / kFrameSamples);
  const int total_frames = speech_frames + 2 * kNoiseOnlyFrames;
  std::vector<float> clean(total_frames * kFrameSamples, 0.0f);
  std::copy(speech.begin(), speech.begin() + speech_frames * kFrameSamples,
            clean.begin() + kNoiseOnlyFrames * kFrameSamples);
  const std::vector<float> noise = BrownNoise(clean.size(), kNoiseRms);

  Isolator isolator(IsolatorMode::Denoise);
  double voiced_probability = 0.0, noise_probability = 0.0;
  double noise_in_energy = 0.0, noise_out_energy = 0.0;
  int voiced_count = 0, noise_count = 0;
  for (int n = 0; n < total_frames; ++n) {
    const float* clean_frame = clean.data() + n * kFrameSamples;
    Frame frame;
    for (std::size_t i = 0; i < kFrameSamples; ++i) {
      frame[i] = clean_frame[i] + noise[n * kFrameSamples + i];
    }
    const Frame input = frame;
    const FrameResult result = isolator.process_frame(frame);
    ASSERT_TRUE(result.ok());
    const bool noise_only = n < kNoiseOnlyFrames || n >= kNoiseOnlyFrames + speech_frames;
    if (noise_only && n >= kWarmUpFrames) {
      noise_probability += ProbabilityFromScore(result.score());
      ++noise_count;
      for (std::size_t i = 0; i < kFrameSamples; ++i) {
        noise_in_energy += double{input[i]} * input[i];
        noise_out_energy += double{frame[i]} * frame[i];
      }
    } else if (!noise_only && FrameRms(clean_frame) >= kVoicedFrameRms) {
      voiced_probability += ProbabilityFromScore(result.score());
      ++voiced_count;
    }
  }
  ASSERT_GT(voiced_count, 50);
  ASSERT_GT(noise_count, 100);
  voiced_probability /= voiced_count;
  noise_probability /= noise_count;
  const double attenuation_db = 10.0 * std::log10(noise_in_energy / noise_out_energy);
  std::printf("voiced frames: %d, mean voice probability %.3f\n", voiced_count, voiced_probability);
  std::printf("noise-only frames: %d, mean voice probability %.4f, noise attenuated by %.1f dB\n",
              noise_count, noise_probability, attenuation_db);
  RecordProperty("voiced_mean_probability", std::to_string(voiced_probability));
  RecordProperty("noise_mean_probability", std::to_string(noise_probability));
  RecordProperty("noise_attenuation_db", std::to_string(attenuation_db));

  EXPECT_GT(voiced_probability, 0.6);
  EXPECT_LT(noise_probability, 0.05);
  EXPECT_GT(attenuation_db, 25.0);
}

}  // namespace
}  // namespace quiro
