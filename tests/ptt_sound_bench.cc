// What Play costs its caller, with the worker serving a live server, with the
// server frozen (the worker hangs in a connection) and with no server at all;
// and how long a cue takes from Play(true) to its first audible sample on a
// null sink's monitor.

#include <benchmark/benchmark.h>
#include <glib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ptt_sound.h"
#include "support/pulse_daemon.h"

namespace {

using corvel_test::MonitorRecorder;
using corvel_test::PulseDaemon;
using namespace std::chrono_literals;

// First sample at -40 dBFS or louder counts as audible: the cue's fade-in
// crosses it within its first few milliseconds.
constexpr double kAudibleSample = 0.01;

// Starts `thing` (a daemon or a recorder) or ends the program: without it
// there is nothing to measure.
template <typename Startable>
void StartOrAbort(Startable& thing) {
  std::string error;
  if (!thing.Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::abort();
  }
}

// Started at first use, stopped at exit after the recorder.
PulseDaemon& Daemon() {
  static PulseDaemon daemon;
  static const bool started = (StartOrAbort(daemon), true);
  (void)started;
  return daemon;
}

MonitorRecorder& Recorder() {
  static MonitorRecorder recorder(Daemon().server(), Daemon().monitor_source());
  static const bool started = (StartOrAbort(recorder), true);
  (void)started;
  return recorder;
}

// Runs Play in a loop against the module started with `server`. Most calls
// find the queue full, which is the caller's usual lot during a burst.
void RunPlay(benchmark::State& state, const std::string& server) {
  g_setenv("PULSE_SERVER", server.c_str(), TRUE);
  ptt_sound::Init();
  bool on = true;
  for (auto _ : state) {
    ptt_sound::Play(on);
    on = !on;
  }
}

void BM_PlayWhileServing(benchmark::State& state) {
  RunPlay(state, Daemon().server());
  ptt_sound::Shutdown();
}
BENCHMARK(BM_PlayWhileServing);

void BM_PlayWhileServerFrozen(benchmark::State& state) {
  Daemon().Pause();
  RunPlay(state, Daemon().server());
  // The worker, stuck connecting, can only be joined once the server thaws.
  Daemon().Resume();
  ptt_sound::Shutdown();
}
BENCHMARK(BM_PlayWhileServerFrozen);

void BM_PlayWithoutServer(benchmark::State& state) {
  RunPlay(state, "unix:/nonexistent/corvel-bench/native");
  ptt_sound::Shutdown();
}
BENCHMARK(BM_PlayWithoutServer);

// Manual time: from Play(true) to the first audible sample of the on cue as
// recorded from the monitor. The recording path adds its own few
// milliseconds, so this is an upper bound.
void BM_PlayToFirstAudibleSample(benchmark::State& state) {
  MonitorRecorder& recorder = Recorder();
  g_setenv("PULSE_SERVER", Daemon().server().c_str(), TRUE);
  ptt_sound::Init();
  for (auto _ : state) {
    // Start from silence: the previous cue has ended.
    recorder.WaitForWindows(recorder.windows() + 20, 5s);
    const size_t from = recorder.windows();
    const auto played = MonitorRecorder::Clock::now();
    ptt_sound::Play(true);
    if (!recorder.WaitForTone(800.0, 5s, from)) {
      state.SkipWithError("the on cue was never heard");
      break;
    }
    const auto audible = recorder.FirstLoudSample(from, kAudibleSample);
    state.SetIterationTime(std::chrono::duration<double>(*audible - played).count());
  }
  ptt_sound::Shutdown();
}
BENCHMARK(BM_PlayToFirstAudibleSample)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
