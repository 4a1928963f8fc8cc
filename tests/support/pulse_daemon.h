#ifndef TESTS_SUPPORT_PULSE_DAEMON_H_
#define TESTS_SUPPORT_PULSE_DAEMON_H_

// A private PulseAudio daemon with one null sink for tests, and a recorder of
// that sink's monitor that tells when a tone of a given frequency is audible.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvel_test {

// A `pulseaudio` process of the test's own, listening on a socket in a
// temporary directory and playing into a null sink. Works as root: HOME and
// XDG_RUNTIME_DIR point into the temporary directory. The daemon dies with
// the thread that started it (start it from the test's main thread).
class PulseDaemon {
 public:
  explicit PulseDaemon(std::string sink_name = "cue");
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  // Starts the daemon (again, after Kill) and waits until its sink's monitor
  // accepts a record stream. Returns false with a reason in `error`.
  bool Start(std::string* error);
  // Kills the daemon with SIGKILL and reaps it; its clients see the
  // connection drop. Harmless when not running.
  void Kill();
  // Freezes (SIGSTOP) and thaws (SIGCONT) the daemon: clients then block as
  // on a server that does not answer.
  void Pause();
  void Resume();

  // The server string for PULSE_SERVER or pa_simple_new.
  std::string server() const { return "unix:" + directory_ + "/native"; }
  std::string monitor_source() const { return sink_name_ + ".monitor"; }
  // The daemon's standard output and error, for failure messages.
  std::string log() const;

 private:
  std::string sink_name_;
  std::string directory_;
  pid_t pid_ = -1;
};

// Records a source (normally a null sink's monitor) at 44100 Hz mono on a
// thread of its own, in windows of 10 ms.
class MonitorRecorder {
 public:
  static constexpr uint32_t kRate = 44100;
  static constexpr size_t kWindowSamples = kRate / 100;

  // When a window was read; its last sample reached the monitor shortly
  // before.
  using Clock = std::chrono::steady_clock;

  MonitorRecorder(std::string server, std::string source);
  ~MonitorRecorder();
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  // Connects and waits until the recording is live.
  bool Start(std::string* error);
  void Stop();

  // Windows recorded so far.
  size_t windows() const;
  // Waits until `hz` is audible in a window at or after `from_window` and
  // returns that window's index, or nothing after `timeout`.
  std::optional<size_t> WaitForTone(double hz, Clock::duration timeout, size_t from_window = 0);
  // Waits until at least `count` windows are recorded; false after `timeout`.
  bool WaitForWindows(size_t count, Clock::duration timeout);
  // Whether `hz` is audible in each recorded window from `from_window` on.
  std::vector<bool> Audible(double hz, size_t from_window = 0) const;
  // When the window holding the first sample at or after `from_window` that
  // reaches `threshold` (a fraction of full scale) was in the recorder's
  // hands; nothing when all is quiet. The sink renders ahead of the clock, so
  // a sample's own moment cannot be told more closely than its window.
  std::optional<Clock::time_point> FirstLoudSample(size_t from_window, double threshold) const;

 private:
  void ReadLoop(void* stream);
  bool AudibleIn(size_t window, double hz) const;

  std::string server_;
  std::string source_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable recorded_;
  bool stop_ = false;
  std::vector<int16_t> samples_;
  std::vector<Clock::time_point> window_read_at_;
};

// Amplitude, as a fraction of full scale, of the `hz` component of `samples`
// at `rate` (a single-bin DFT).
double ToneAmplitude(const int16_t* samples, size_t count, uint32_t rate, double hz);

}  // namespace corvel_test

#endif  // TESTS_SUPPORT_PULSE_DAEMON_H_
