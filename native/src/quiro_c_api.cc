// The native C interface: plain functions over one heap Isolator per handle.

#include <cstdio>
#include <cstdlib>
#include <new>
#include <span>

#include "isolator.h"
#include "quiro.h"

namespace {

quiro::Isolator* FromHandle(QuiroIsolator* handle) {
  return reinterpret_cast<quiro::Isolator*>(handle);
}

}  // namespace

extern "C" {

QuiroIsolator* quiro_isolator_create(int32_t mode) {
  try {
    return reinterpret_cast<QuiroIsolator*>(new quiro::Isolator(quiro::ModeFromCode(mode)));
  } catch (const std::bad_alloc&) {
    // No error may cross this boundary and the interface cannot report one.
    std::fputs("quiro: out of memory creating an isolator\n", stderr);
    std::abort();
  }
}

void quiro_isolator_destroy(QuiroIsolator* isolator) { delete FromHandle(isolator); }

int32_t quiro_isolator_process_frame_f32(QuiroIsolator* isolator, float* samples, size_t count) {
  if (isolator == nullptr || samples == nullptr) return QUIRO_ERROR_NULL_ARGUMENT;
  if (count != quiro::kFrameSamples) return QUIRO_ERROR_FRAME_SIZE;
  const quiro::FrameResult result = FromHandle(isolator)->process_frame(std::span(samples, count));
  return result.ok() ? QUIRO_OK : QUIRO_ERROR_PROCESSING;
}

size_t quiro_frame_samples(void) { return quiro::kFrameSamples; }

uint32_t quiro_sample_rate(void) { return quiro::kSampleRate; }

void* quiro_c_api_keep_symbols(void) { return reinterpret_cast<void*>(&quiro_isolator_create); }

}  // extern "C"
