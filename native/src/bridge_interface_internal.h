// The object a Dart-side IsolatorHandle stands for, shared by the bridge
// interface and its tests.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "isolator.h"

namespace quiro::bridge {

inline constexpr std::int32_t kContentHash = 1257734925;

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
