// Prints how long push-to-talk takes through the key monitor, loaded into
// this process over the input-device fake:
//  - key record written to the device -> the gate's enable call (reader
//    thread), with the main loop idle, kept busy, and parked;
//  - the dispatch hop: gate call -> DispatchOnMain running on the main loop.
// Usage: ptt_latency [EDGES_PER_MODE]   (root: it mounts the fake on /dev/input)
#include <flutter_linux/flutter_linux.h>
#include <flutter_standin/testing.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "evdev_fake.h"
#include "ptt_inprocess.h"
#include "ptt_keyboard_hook.h"

namespace {

using namespace std::chrono_literals;

constexpr int64_t kHidA = 0x070004;
constexpr uint16_t kKeyA = 30;
constexpr const char* kHopPrefix = "ptt_hook: ptt ";

// What the main loop does while the edges arrive.
struct LoopLoad {
  const char* name;
  std::chrono::microseconds work_per_dispatch;  // 0: nothing, the loop sleeps in poll
};

struct Percentiles {
  double median_us;
  double p99_us;
  double max_us;
};

Percentiles Summarise(std::vector<double> samples_us) {
  std::sort(samples_us.begin(), samples_us.end());
  auto at = [&](double q) {
    return samples_us[static_cast<size_t>(q * static_cast<double>(samples_us.size() - 1))];
  };
  return {at(0.5), at(0.99), samples_us.back()};
}

int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Keeps the main loop occupied: a default-priority idle callback that works
// (spins) for the given time on every dispatch.
gboolean Occupy(gpointer data) {
  const auto work = *static_cast<std::chrono::microseconds*>(data);
  const auto until = std::chrono::steady_clock::now() + work;
  while (std::chrono::steady_clock::now() < until) {
  }
  return G_SOURCE_CONTINUE;
}

void Measure(const LoopLoad& load, evdev_fake::FakeInputDir& input, int edges) {
  ptt_test::GateWatcher gate;
  ptt_test::LogCapture::Get().Clear();
  auto work = load.work_per_dispatch;
  const guint occupier = work.count() > 0 ? g_idle_add(Occupy, &work) : 0;

  std::vector<int64_t> written_ns(edges);
  bool writer_ok = true;
  std::thread writer([&] {
    for (int i = 0; i < edges && writer_ok; ++i) {
      written_ns[i] = MonotonicNs();
      input.Key("event0", kKeyA, i % 2 == 0 ? evdev_fake::kPress : evdev_fake::kRelease);
      writer_ok = gate.WaitForCalls(i + 1, 5s);
      // Let the reader go back to poll, so that each edge finds it waiting.
      std::this_thread::sleep_for(300us);
    }
  });
  const bool all_dispatched = ptt_test::RunLoopUntil(
      [&] {
        return ptt_test::LogCapture::Get().LinesStartingWith(kHopPrefix).size() >=
               static_cast<size_t>(edges);
      },
      120s);
  writer.join();
  if (occupier != 0) g_source_remove(occupier);
  if (!writer_ok || !all_dispatched) {
    fprintf(stderr, "ptt_latency: %s: edges went missing\n", load.name);
    exit(1);
  }

  const auto gate_calls = gate.calls();
  const auto hop_logged_us = ptt_test::LogCapture::Get().TimesOfLinesStartingWith(kHopPrefix);
  std::vector<double> to_gate_us;
  std::vector<double> hop_us;
  for (int i = 0; i < edges; ++i) {
    to_gate_us.push_back(static_cast<double>(gate_calls[i].monotonic_ns - written_ns[i]) / 1e3);
    hop_us.push_back(static_cast<double>(hop_logged_us[i]) -
                     static_cast<double>(gate_calls[i].monotonic_ns) / 1e3);
  }
  const Percentiles gate_figures = Summarise(to_gate_us);
  const Percentiles hop_figures = Summarise(hop_us);
  printf("%-34s record->gate  median %7.1f us  p99 %8.1f us  max %8.1f us\n", load.name,
         gate_figures.median_us, gate_figures.p99_us, gate_figures.max_us);
  printf("%-34s dispatch hop  median %7.1f us  p99 %8.1f us  max %8.1f us\n", "",
         hop_figures.median_us, hop_figures.p99_us, hop_figures.max_us);
}

}  // namespace

int main(int argc, char** argv) {
  const int edges = argc > 1 ? atoi(argv[1]) : 4000;
  if (edges < 2) {
    fprintf(stderr, "usage: ptt_latency [EDGES_PER_MODE >= 2]\n");
    return 2;
  }
  if (const std::string why = evdev_fake::EnterPrivateMountNamespace(); !why.empty()) {
    fprintf(stderr, "ptt_latency: cannot fake /dev/input: %s\n", why.c_str());
    return 1;
  }
  evdev_fake::FakeInputDir input;
  input.AddDevice("event0");
  // Debug mode makes DispatchOnMain log each hop; the log's time stamps give
  // the moment the edge reached the main loop.
  g_setenv("CORVEL_PTT_DEBUG", "", TRUE);
  ptt_test::LogCapture::Get().SetEcho(false);
  FlEngine* engine = flutter_standin::NewTestEngine();
  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(engine);
  ptt_hook::Init(messenger);
  g_autoptr(FlValue) args = ptt_test::RegisterArgs("ptt", kHidA);
  if (ptt_test::CallPtt(messenger, "register", args) != "null") {
    fprintf(stderr, "ptt_latency: register failed\n");
    return 1;
  }

  printf("%d edges per mode\n", edges);
  const LoopLoad loads[] = {
      {"main loop idle", 0us},
      {"main loop busy (2 ms slices)", 2000us},
      {"main loop parked (50 ms slices)", 50000us},
  };
  for (const LoopLoad& load : loads) Measure(load, input, edges);

  ptt_hook::Shutdown();
  g_object_unref(engine);
  return 0;
}
