#include "pulse_daemon.h"

#include <fcntl.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace corvel_test {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStartPollInterval = std::chrono::milliseconds(20);
// A window counts as audible for a frequency when that component alone
// reaches this fraction of full scale (about -26 dBFS). Leakage of a cut-off
// tone into a bin three bins away stays near 0.02 for a 0.2 tone.
constexpr double kAudibleAmplitude = 0.05;

std::string MakeTempDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/corvel-pulse-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// The test's environment without anything that would point the daemon at
// another user's configuration or server, plus `overrides`.
std::vector<std::string> DaemonEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    if (name == "HOME" || name == "XDG_RUNTIME_DIR" || name == "XDG_CONFIG_HOME" ||
        name == "PULSE_SERVER" || name == "PULSE_RUNTIME_PATH") {
      continue;
    }
    result.emplace_back(text);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

std::vector<char*> NullTerminated(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

pa_simple* OpenRecord(const std::string& server, const std::string& source, int* error) {
  const pa_sample_spec spec = {
      .format = PA_SAMPLE_S16LE, .rate = MonitorRecorder::kRate, .channels = 1};
  // Small fragments so that each window is handed over as soon as it is full.
  const pa_buffer_attr attributes = {.maxlength = static_cast<uint32_t>(-1),
                                     .tlength = static_cast<uint32_t>(-1),
                                     .prebuf = static_cast<uint32_t>(-1),
                                     .minreq = static_cast<uint32_t>(-1),
                                     .fragsize = MonitorRecorder::kWindowSamples * 2};
  return pa_simple_new(server.c_str(), "corvel-test", PA_STREAM_RECORD, source.c_str(), "monitor",
                       &spec, nullptr, &attributes, error);
}

// Starts `argv` as a child that the kernel kills when the calling thread
// ends, so that a crashed test leaves no daemon behind. Its output goes to
// `log_path`. Returns the child's pid, or -1 with errno set.
pid_t SpawnKilledWithParent(std::vector<char*>& argv, std::vector<char*>& envp,
                            const std::string& log_path) {
  const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (log < 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // The test may run other threads: only async-signal-safe calls until exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  const int fork_error = errno;
  close(log);
  errno = fork_error;
  return pid;
}

}  // namespace

PulseDaemon::PulseDaemon(std::string sink_name)
    : sink_name_(std::move(sink_name)), directory_(MakeTempDirectory()) {
  mkdir((directory_ + "/home").c_str(), 0700);
  mkdir((directory_ + "/runtime").c_str(), 0700);
}

PulseDaemon::~PulseDaemon() {
  Kill();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

bool PulseDaemon::Start(std::string* error) {
  Kill();
  std::vector<std::string> arguments = {
      "pulseaudio",
      "-n",
      "--daemonize=no",
      "--exit-idle-time=-1",
      "--use-pid-file=no",
      "--disallow-exit",
      "--load=module-native-protocol-unix socket=" + directory_ + "/native auth-anonymous=1",
      "--load=module-null-sink sink_name=" + sink_name_};
  std::vector<std::string> environment = DaemonEnvironment(
      {"HOME=" + directory_ + "/home", "XDG_RUNTIME_DIR=" + directory_ + "/runtime"});
  std::vector<char*> argv = NullTerminated(arguments);
  std::vector<char*> envp = NullTerminated(environment);

  pid_ = SpawnKilledWithParent(argv, envp, directory_ + "/daemon.log");
  if (pid_ < 0) {
    *error = std::string("cannot start pulseaudio: ") + std::strerror(errno);
    return false;
  }

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = "pulseaudio exited early:\n" + log();
      return false;
    }
    int pa_error = 0;
    if (pa_simple* probe = OpenRecord(server(), monitor_source(), &pa_error)) {
      pa_simple_free(probe);
      return true;
    }
    std::this_thread::sleep_for(kStartPollInterval);
  }
  *error = "pulseaudio did not accept clients in time:\n" + log();
  Kill();
  return false;
}

void PulseDaemon::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void PulseDaemon::Pause() {
  if (pid_ > 0) kill(pid_, SIGSTOP);
}

void PulseDaemon::Resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

std::string PulseDaemon::log() const {
  std::ifstream file(directory_ + "/daemon.log");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

MonitorRecorder::MonitorRecorder(std::string server, std::string source)
    : server_(std::move(server)), source_(std::move(source)) {}

MonitorRecorder::~MonitorRecorder() { Stop(); }

bool MonitorRecorder::Start(std::string* error) {
  int pa_error = 0;
  pa_simple* stream = OpenRecord(server_, source_, &pa_error);
  if (stream == nullptr) {
    *error = "cannot record " + source_ + ": " + pa_strerror(pa_error);
    return false;
  }
  stop_ = false;
  reader_ = std::thread([this, stream] { ReadLoop(stream); });
  // An idle null sink renders in blocks of about two seconds until a client
  // asks for less; the recording is live once the first window arrives.
  if (!WaitForWindows(windows() + 1, kStartTimeout)) {
    *error = "no audio from " + source_;
    Stop();
    return false;
  }
  return true;
}

void MonitorRecorder::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  if (reader_.joinable()) reader_.join();
}

void MonitorRecorder::ReadLoop(void* opaque) {
  auto* stream = static_cast<pa_simple*>(opaque);
  std::vector<int16_t> window(kWindowSamples);
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) break;
    }
    // Ends when the daemon goes away.
    if (pa_simple_read(stream, window.data(), window.size() * sizeof(int16_t), nullptr) < 0) break;
    const Clock::time_point read_at = Clock::now();
    {
      std::lock_guard lock(mutex_);
      samples_.insert(samples_.end(), window.begin(), window.end());
      window_read_at_.push_back(read_at);
    }
    recorded_.notify_all();
  }
  pa_simple_free(stream);
  recorded_.notify_all();
}

size_t MonitorRecorder::windows() const {
  std::lock_guard lock(mutex_);
  return window_read_at_.size();
}

bool MonitorRecorder::AudibleIn(size_t window, double hz) const {
  return ToneAmplitude(samples_.data() + window * kWindowSamples, kWindowSamples, kRate, hz) >=
         kAudibleAmplitude;
}

std::optional<size_t> MonitorRecorder::WaitForTone(double hz, Clock::duration timeout,
                                                   size_t from_window) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(mutex_);
  size_t next = from_window;
  while (true) {
    for (; next < window_read_at_.size(); ++next) {
      if (AudibleIn(next, hz)) return next;
    }
    if (recorded_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < window_read_at_.size(); ++next) {
        if (AudibleIn(next, hz)) return next;
      }
      return std::nullopt;
    }
  }
}

bool MonitorRecorder::WaitForWindows(size_t count, Clock::duration timeout) {
  std::unique_lock lock(mutex_);
  return recorded_.wait_for(lock, timeout, [&] { return window_read_at_.size() >= count; });
}

std::vector<bool> MonitorRecorder::Audible(double hz, size_t from_window) const {
  std::lock_guard lock(mutex_);
  std::vector<bool> result;
  for (size_t window = from_window; window < window_read_at_.size(); ++window) {
    result.push_back(AudibleIn(window, hz));
  }
  return result;
}

std::optional<MonitorRecorder::Clock::time_point> MonitorRecorder::FirstLoudSample(
    size_t from_window, double threshold) const {
  std::lock_guard lock(mutex_);
  for (size_t i = from_window * kWindowSamples; i < samples_.size(); ++i) {
    if (std::abs(samples_[i]) >= threshold * 32768.0) return window_read_at_[i / kWindowSamples];
  }
  return std::nullopt;
}

double ToneAmplitude(const int16_t* samples, size_t count, uint32_t rate, double hz) {
  if (count == 0) return 0.0;
  double real = 0.0;
  double imaginary = 0.0;
  const double step = 2.0 * M_PI * hz / rate;
  for (size_t i = 0; i < count; ++i) {
    const double sample = samples[i] / 32768.0;
    real += sample * std::cos(step * static_cast<double>(i));
    imaginary -= sample * std::sin(step * static_cast<double>(i));
  }
  return 2.0 * std::hypot(real, imaginary) / static_cast<double>(count);
}

}  // namespace corvel_test
