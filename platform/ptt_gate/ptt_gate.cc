#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "corvel_ptt_gate.h"

namespace {

std::mutex g_mutex;
CorvelPttGateCounts g_counts{};
std::string g_last_track;
CorvelPttGateObserver g_observer = nullptr;
void* g_observer_data = nullptr;

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Opened once: the host expects the enable call to return quickly, so the
// hot path is a single append.
int LogFd() {
  static const int fd = [] {
    const char* path = getenv(CORVEL_PTT_GATE_LOG_ENV);
    if (path == nullptr || *path == '\0') return -1;
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }();
  return fd;
}

// One write() per line so that lines from different threads never interleave.
void AppendLine(const std::string& line) {
  const int fd = LogFd();
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
    // Nothing to report to: the log is only read by tests, which notice gaps.
  }
}

}  // namespace

extern "C" {

void corvel_ptt_set_enabled(bool enabled) {
  const int64_t now_ns = MonotonicNs();
  CorvelPttGateObserver observer;
  void* observer_data;
  {
    std::lock_guard lock(g_mutex);
    ++g_counts.enabled_calls;
    if (enabled) ++g_counts.enable_true_calls;
    g_counts.last_enabled = enabled;
    observer = g_observer;
    observer_data = g_observer_data;
  }
  char line[64];
  snprintf(line, sizeof line, "enabled %d %" PRId64 "\n", enabled ? 1 : 0, now_ns);
  AppendLine(line);
  if (observer != nullptr) observer(enabled, now_ns, observer_data);
}

void corvel_ptt_set_track(const char* track_id, double gain) {
  const std::string id = track_id != nullptr ? track_id : "";
  {
    std::lock_guard lock(g_mutex);
    ++g_counts.track_calls;
    g_counts.last_gain = gain;
    g_last_track = id;
  }
  char gain_text[64];
  snprintf(gain_text, sizeof gain_text, "%.17g", gain);
  AppendLine(std::string("track ") + gain_text + " " + id + "\n");
}

CorvelPttGateCounts corvel_ptt_gate_counts(void) {
  std::lock_guard lock(g_mutex);
  return g_counts;
}

void corvel_ptt_gate_last_track(char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  std::lock_guard lock(g_mutex);
  snprintf(out, size, "%s", g_last_track.c_str());
}

void corvel_ptt_gate_reset(void) {
  std::lock_guard lock(g_mutex);
  g_counts = CorvelPttGateCounts{};
  g_last_track.clear();
}

void corvel_ptt_gate_set_observer(CorvelPttGateObserver observer, void* user_data) {
  std::lock_guard lock(g_mutex);
  g_observer = observer;
  g_observer_data = user_data;
}

}  // extern "C"
