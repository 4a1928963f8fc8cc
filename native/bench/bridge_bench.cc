// The bridge's cost: round trip from dispatch_async of one frame to the post
// function receiving its result, beside a direct Isolator call on the same
// frames, and frames per second with several handles fed at once.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "quiro_bench.h"
#include "quiro_bridge.h"

namespace quiro_bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kCreate = 1;
constexpr std::int32_t kProcessF32 = 2;

// Stands in for the Dart VM: notes when each result arrives and on which
// port, then collects it at once.
class ResultSink {
 public:
  struct Arrival {
    Dart_Port port;
    Clock::time_point at;
    std::uint64_t handle;  // Only meaningful for create results.
  };

  static ResultSink& Get() {
    static ResultSink* sink = new ResultSink;  // Workers may post until exit.
    return *sink;
  }

  static bool Post(Dart_Port port, Dart_CObject* object) {
    const Clock::time_point at = Clock::now();
    const auto& external = object->value.as_external_typed_data;
    std::uint64_t handle = 0;
    if (external.length == 13) std::memcpy(&handle, external.data + 1, sizeof handle);
    external.callback(nullptr, external.peer);
    Get().Push({port, at, handle});
    return true;
  }

  Arrival Wait() {
    std::unique_lock lock(mutex_);
    arrived_.wait(lock, [this] { return !arrivals_.empty(); });
    Arrival arrival = arrivals_.front();
    arrivals_.pop_front();
    return arrival;
  }

 private:
  void Push(Arrival arrival) {
    std::lock_guard lock(mutex_);
    arrivals_.push_back(arrival);
    arrived_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Arrival> arrivals_;
};

std::uint64_t CreateHandle() {
  const std::int32_t body[4] = {0, 0, 0, 0};  // Empty byte list, three numbers.
  std::uint8_t* buffer = quiro_bridge_buffer_new(sizeof body);
  std::memcpy(buffer, body, sizeof body);
  quiro_bridge_dispatch_async(kCreate, 0, buffer, sizeof body, sizeof body);
  return ResultSink::Get().Wait().handle;
}

// Builds the request as the Dart side does and dispatches it; returns the
// moment of dispatch.
Clock::time_point SendFrame(std::uint64_t handle, Dart_Port port, const Frame& frame) {
  constexpr std::int32_t kLength = 8 + 4 + 4 * quiro::kFrameSamples;
  constexpr std::int32_t kCount = quiro::kFrameSamples;
  std::uint8_t* buffer = quiro_bridge_buffer_new(kLength);
  std::memcpy(buffer, &handle, 8);
  std::memcpy(buffer + 8, &kCount, 4);
  std::memcpy(buffer + 12, frame.data(), sizeof frame);
  quiro_bridge_handle_retain(handle);
  const Clock::time_point sent = Clock::now();
  quiro_bridge_dispatch_async(kProcessF32, port, buffer, kLength, kLength);
  return sent;
}

// Median and 99th percentile of the per-frame times, in microseconds.
void ReportLatency(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

double MicrosBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

void BM_DirectIsolatorRoundTrip(benchmark::State& state) {
  const std::vector<Frame>& frames = SpeechInNoise();
  quiro::Isolator isolator(quiro::IsolatorMode::VoiceGate);
  std::vector<double> micros;
  Frame frame;
  std::size_t n = 0;
  for (auto _ : state) {
    frame = frames[n++ % frames.size()];
    const Clock::time_point start = Clock::now();
    benchmark::DoNotOptimize(isolator.process_frame(frame).score());
    micros.push_back(MicrosBetween(start, Clock::now()));
  }
  ReportLatency(state, micros);
}
BENCHMARK(BM_DirectIsolatorRoundTrip)->UseRealTime();

void BM_BridgeRoundTrip(benchmark::State& state) {
  quiro_bridge_store_post_function(&ResultSink::Post);
  const std::vector<Frame>& frames = SpeechInNoise();
  const std::uint64_t handle = CreateHandle();
  std::vector<double> micros;
  std::size_t n = 0;
  for (auto _ : state) {
    const Clock::time_point sent = SendFrame(handle, 1, frames[n++ % frames.size()]);
    micros.push_back(MicrosBetween(sent, ResultSink::Get().Wait().at));
  }
  quiro_bridge_handle_release(handle);
  ReportLatency(state, micros);
}
BENCHMARK(BM_BridgeRoundTrip)->UseRealTime();

// Each handle is a stream with one frame in flight, as a Dart caller that
// awaits each result would keep it; an iteration is one processed frame.
void BM_BridgeThroughput(benchmark::State& state) {
  quiro_bridge_store_post_function(&ResultSink::Post);
  const std::vector<Frame>& frames = SpeechInNoise();
  std::vector<std::uint64_t> handles(static_cast<std::size_t>(state.range(0)));
  for (std::uint64_t& handle : handles) handle = CreateHandle();
  std::size_t n = 0;
  for (std::size_t stream = 0; stream < handles.size(); ++stream) {
    SendFrame(handles[stream], static_cast<Dart_Port>(stream), frames[n++ % frames.size()]);
  }
  for (auto _ : state) {
    const auto stream = static_cast<std::size_t>(ResultSink::Get().Wait().port);
    SendFrame(handles[stream], static_cast<Dart_Port>(stream), frames[n++ % frames.size()]);
  }
  for (std::size_t i = 0; i < handles.size(); ++i) ResultSink::Get().Wait();
  for (const std::uint64_t handle : handles) quiro_bridge_handle_release(handle);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BridgeThroughput)->Arg(1)->Arg(2)->Arg(4)->UseRealTime();

}  // namespace
}  // namespace quiro_bench
