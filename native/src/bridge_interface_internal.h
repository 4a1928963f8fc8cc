// The object a Dart-side IsolatorHandle stands for, shared by the bridge
// interface and its tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "isolator.h"

namespace quiro::bridge {

inline constexpr std::int32_t kContentHash = 1257734925;

// 16-bit input sample on the unit scale. The divisor is 32767, so -32768
// lands slightly below -1.0.
inline float FromPcm16(std::int16_t sample) { return sample / 32767.0f; }

// 16-bit output sample: clamped, scaled by 32767 and truncated, so -1.0 gives
// -32767 like +1.0 gives 32767. NaN is tested first: casting it is undefined.
inline std::int16_t ToPcm16(float sample) {
  if (std::isnan(sample)) return 0;
  return static_cast<std::int16_t>(std::clamp(sample, -1.0f, 1.0f) * 32767.0f);
}

struct SharedIsolator {
  SharedIsolator() : isolator(IsolatorMode::VoiceGate) {}

  // Every operation takes this shared; kept so an exclusive operation can be
  // added without changing the wire format.
  std::shared_mutex outer;
  // Lets one frame at a time through to `isolator`.
  std::mutex mutex;
  // Set when an operation ends abnormally while holding `mutex`; never cleared.
  bool poisoned = false;
  Isolator isolator;
};

}  // namespace quiro::bridge
