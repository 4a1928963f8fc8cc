// Isolator core: level gate, RNNoise denoiser and voice gate over 480-sample
// frames at 48 kHz. Internal C++ interface shared by the native C interface,
// the Dart bridge, the tools and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>

namespace quiro {

class Denoiser;
struct DenoiserBlock;
struct IsolatorInternals;

inline constexpr std::size_t kFrameSamples = 480;
inline constexpr std::uint32_t kSampleRate = 48000;

enum class IsolatorMode : std::uint8_t { Denoise = 0, VoiceGate = 1, Bypass = 2 };

// Which gate decided the fate of a frame.
enum class FrameOutcome : std::uint8_t { None, LevelGated, Passed, Attenuated };

// Integer mode codes from outside: 1 and 2 name their modes, anything else
// (the whole 32-bit value is compared) is Denoise.
IsolatorMode ModeFromCode(std::int32_t code);

class IsolatorError {
 public:
  struct ModelLoad {
    std::string text;
  };
  struct FrameSizeMismatch {
    std::size_t expected;
    std::size_t got;
  };
  struct Inference {
    std::string text;
  };
  // Any other error that renders a message; shown as its own message.
  struct Other {
    std::shared_ptr<const IsolatorError> inner;
  };
  using Kind = std::variant<ModelLoad, FrameSizeMismatch, Inference, Other>;

  explicit IsolatorError(Kind kind) : kind_(std::move(kind)) {}
  const Kind& kind() const { return kind_; }
  std::string message() const;

 private:
  Kind kind_;
};

// Outcome of one frame: the voice score in dB, or the error.
class FrameResult {
 public:
  FrameResult(float score) : value_(score) {}
  FrameResult(IsolatorError error) : value_(std::move(error)) {}
  bool ok() const { return std::holds_alternative<float>(value_); }
  float score() const { return std::get<float>(value_); }
  const IsolatorError& error() const { return std::get<IsolatorError>(value_); }

 private:
  std::variant<float, IsolatorError> value_;
};

// One mono 48 kHz speech stream. Not thread-safe: calls on one Isolator must
// not overlap; different Isolators share nothing.
class Isolator {
 public:
  explicit Isolator(IsolatorMode mode);
  ~Isolator();
  Isolator(const Isolator&) = delete;
  Isolator& operator=(const Isolator&) = delete;

  // Processes `frame` in place; a frame of any length but kFrameSamples is
  // refused with FrameSizeMismatch and changes nothing.
  FrameResult process_frame(std::span<float> frame);

  IsolatorMode mode() const { return mode_; }

 private:
  friend struct IsolatorInternals;

  Isolator(IsolatorMode mode, std::unique_ptr<Denoiser> denoiser);

  bool PassesLevelGate(std::span<const float> frame);
  float VoiceGateGain(float probability);

  // Present exactly when the mode is not Bypass.
  std::unique_ptr<DenoiserBlock> denoiser_;
  // Fixed at creation.
  const float level_threshold_ = 0.002f;  // rms, unit scale (about -54 dBFS)
  const std::uint32_t level_hold_frames_ = 30;
  const float vad_threshold_ = 0.85f;  // voice probability
  const float vad_attenuation_db_ = -30.0f;
  const std::uint32_t vad_hold_frames_ = 20;
  // What carries from frame to frame besides the denoiser's state.
  std::uint32_t level_hold_left_ = 0;
  std::uint32_t vad_hold_left_ = 0;
  IsolatorMode mode_;
  // What the last frame went through; for diagnostics only, it changes
  // nothing in how the next frame is processed.
  FrameOutcome last_outcome_ = FrameOutcome::None;
};

}  // namespace quiro
