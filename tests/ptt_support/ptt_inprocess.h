// Helpers for running the ptt_hook module inside a test process against the
// stand-in embedder's in-process Dart side and the gate stand-in.
#ifndef TESTS_PTT_SUPPORT_PTT_INPROCESS_H_
#define TESTS_PTT_SUPPORT_PTT_INPROCESS_H_

#include <flutter_linux/flutter_linux.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ptt_test {

inline constexpr const char* kChannel = "corvel/ptt_hook";

// One corvel_ptt_set_enabled call as the gate saw it.
struct GateCall {
  bool enabled;
  int64_t monotonic_ns;
};

// Watches the gate stand-in's enable calls, which arrive on the reader thread.
class GateWatcher {
 public:
  GateWatcher();
  ~GateWatcher();
  GateWatcher(const GateWatcher&) = delete;
  GateWatcher& operator=(const GateWatcher&) = delete;

  // Blocks the calling thread until `count` calls have arrived in all;
  // false after `timeout`.
  bool WaitForCalls(size_t count, std::chrono::milliseconds timeout);
  std::vector<GateCall> calls() const;

 private:
  static void Observe(bool enabled, int64_t monotonic_ns, void* self);

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<GateCall> calls_;
};

// Keeps every GLib log line of the process (the default writer still prints
// them). Installed once per process on first use.
class LogCapture {
 public:
  static LogCapture& Get();
  // Forgets the lines kept so far.
  void Clear();
  // Whether lines still go to the default writer (they do at first).
  void SetEcho(bool echo);
  // Lines logged so far that begin with `prefix`.
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const;
  // Time (monotonic, µs) at which each line starting with `prefix` was logged.
  std::vector<int64_t> TimesOfLinesStartingWith(const std::string& prefix) const;

 private:
  struct Line {
    std::string text;
    int64_t logged_us;
  };
  LogCapture() = default;
  static GLogWriterOutput Write(GLogLevelFlags level, const GLogField* fields, gsize n_fields,
                                gpointer self);
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  bool echo_ = true;
};

// Runs the default main context until `done` returns true; false when
// `timeout` passes first.
bool RunLoopUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// {"action": action, "keycode": keycode}
FlValue* RegisterArgs(const char* action, int64_t keycode);

// Calls `method` on the push-to-talk channel as the Dart side; returns a
// description of the response: "null" for success with a null result,
// "error <code>: <message>", "not implemented", "no response", or
// "success <type>" for another result.
std::string CallPtt(FlBinaryMessenger* messenger, const char* method, FlValue* args);

}  // namespace ptt_test

#endif  // TESTS_PTT_SUPPORT_PTT_INPROCESS_H_
