// The frame path allocates nothing: every byte an Isolator needs is
// obtained when it is created. Counts C++ allocations through a replaced
// global operator new, so it is built only into the plain test binary.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

#include "isolator.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace quiro {
namespace {

TEST(IsolatorAllocationTest, FramePathAllocatesNothing) {
  for (IsolatorMode mode : {IsolatorMode::Denoise, IsolatorMode::VoiceGate, IsolatorMode::Bypass}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Isolator isolator(mode);
    std::array<float, kFrameSamples> frame;
    std::array<float, kFrameSamples - 1> short_frame{};
    const long before = g_allocations.load();
    for (int n = 0; n < 50; ++n) {
      // Loud and quiet stretches, so every gate path runs.
      const float amplitude = n % 20 < 5 ? 0.3f : 0.0001f;
      for (std::size_t i = 0; i < kFrameSamples; ++i) {
        frame[i] = amplitude * std::sin(0.05f * static_cast<float>(n * kFrameSamples + i));
      }
      isolator.process_frame(frame);
      isolator.process_frame(short_frame);
    }
    EXPECT_EQ(g_allocations.load(), before);
  }
}

}  // namespace
}  // namespace quiro
