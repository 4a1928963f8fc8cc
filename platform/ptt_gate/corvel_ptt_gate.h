// Stand-in for the native push-to-talk gate that the host finds by name in
// the process's global symbol scope. It gates nothing: it records every call
// so that tests and measuring tools can see what the host asked of it.
#ifndef PLATFORM_PTT_GATE_CORVEL_PTT_GATE_H_
#define PLATFORM_PTT_GATE_CORVEL_PTT_GATE_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CORVEL_PTT_GATE_EXPORT __attribute__((visibility("default")))

// The gate's interface, as the host calls it.
CORVEL_PTT_GATE_EXPORT void corvel_ptt_set_enabled(bool enabled);
CORVEL_PTT_GATE_EXPORT void corvel_ptt_set_track(const char* track_id, double gain);

// Environment variable naming a file to which every call is appended as one
// line, for tests that drive the host from another process:
//   "enabled 1 <monotonic ns>" / "enabled 0 <monotonic ns>"
//   "track <gain> <track id>"  (the track id last, so it may hold spaces)
#define CORVEL_PTT_GATE_LOG_ENV "CORVEL_PTT_GATE_LOG"

// In-process queries, for tests that load the host's code into themselves.
typedef struct {
  int64_t enabled_calls;  // all corvel_ptt_set_enabled calls so far
  int64_t enable_true_calls;
  int64_t track_calls;
  bool last_enabled;
  double last_gain;
} CorvelPttGateCounts;

CORVEL_PTT_GATE_EXPORT CorvelPttGateCounts corvel_ptt_gate_counts(void);
// Copies the last track id (NUL-terminated, cut to the buffer) into `out`.
CORVEL_PTT_GATE_EXPORT void corvel_ptt_gate_last_track(char* out, size_t size);
CORVEL_PTT_GATE_EXPORT void corvel_ptt_gate_reset(void);

// Called on the caller's thread inside every corvel_ptt_set_enabled, with the
// monotonic time of the call in nanoseconds. Pass NULL to remove it.
typedef void (*CorvelPttGateObserver)(bool enabled, int64_t monotonic_ns, void* user_data);
CORVEL_PTT_GATE_EXPORT void corvel_ptt_gate_set_observer(CorvelPttGateObserver observer,
                                                         void* user_data);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_PTT_GATE_CORVEL_PTT_GATE_H_
