// The key monitor loaded into the test process, for what the end-to-end tests
// cannot show: where the main loop is parked or not running at all, and on
// which thread each step happens. Also built under ThreadSanitizer.
#include <flutter_linux/flutter_linux.h>
#include <flutter_standin/testing.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "corvel_ptt_gate.h"
#include "evdev_fake.h"
#include "ptt_inprocess.h"
#include "ptt_keyboard_hook.h"

namespace {

using namespace std::chrono_literals;
using evdev_fake::kPress;
using evdev_fake::kRelease;
using ptt_test::CallPtt;
using ptt_test::LogCapture;
using ptt_test::RegisterArgs;
using ptt_test::RunLoopUntil;

constexpr int64_t kHidA = 0x070004;  // key code 30
constexpr uint16_t kKeyA = 30;
constexpr int64_t kHidS = 0x070016;  // key code 31
constexpr uint16_t kKeyS = 31;

class PttHookInProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = evdev_fake::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    LogCapture::Get().Clear();
    g_unsetenv("CORVEL_PTT_DEBUG");
    input_ = std::make_unique<evdev_fake::FakeInputDir>();
    input_->AddDevice("event0");
    engine_ = flutter_standin::NewTestEngine();
    recorder_ = std::make_unique<flutter_standin::DartCallRecorder>(engine_);
    gate_ = std::make_unique<ptt_test::GateWatcher>();
    ptt_hook::Init(messenger());
  }

  void TearDown() override {
    if (engine_ == nullptr) return;
    ptt_hook::Shutdown();
    gate_.reset();
    recorder_.reset();
    g_clear_object(&engine_);
    input_.reset();
    g_unsetenv("CORVEL_PTT_DEBUG");
  }

  FlBinaryMessenger* messenger() { return fl_engine_get_binary_messenger(engine_); }

  void Register(const char* action, int64_t keycode) {
    g_autoptr(FlValue) args = RegisterArgs(action, keycode);
    ASSERT_EQ(CallPtt(messenger(), "register", args), "null");
  }

  size_t CallCount() const { return recorder_->calls().size(); }

  // "keyEvent down", "muteEvent up", ... for every call made on the Dart side.
  std::vector<std::string> Edges() const {
    std::vector<std::string> edges;
    for (const auto& call : recorder_->calls()) {
      FlValue* down = call.args ? fl_value_lookup_string(call.args.get(), "down") : nullptr;
      const bool is_down = down != nullptr && fl_value_get_bool(down);
      edges.push_back(call.method + (is_down ? " down" : " up"));
    }
    return edges;
  }

  std::unique_ptr<evdev_fake::FakeInputDir> input_;
  FlEngine* engine_ = nullptr;
  std::unique_ptr<flutter_standin::DartCallRecorder> recorder_;
  std::unique_ptr<ptt_test::GateWatcher> gate_;
};

// The main thread waits outside the loop: the gate is still called at once,
// but the Dart side hears of the edges only once the loop runs them, never
// from the reader thread.
TEST_F(PttHookInProcessTest, EdgesWaitForTheMainLoopWhileTheGateDoesNot) {
  Register("ptt", kHidA);
  Register("ptt", kHidS);
  input_->Key("event0", kKeyA, kPress);
  input_->Key("event0", kKeyA, kRelease);
  // The third gate call proves that the reader has finished with the first two edges.
  input_->Key("event0", kKeyS, kPress);
  ASSERT_TRUE(gate_->WaitForCalls(3, 5s));
  EXPECT_EQ(CallCount(), 0u) << "an edge reached the channel outside the main loop";

  ASSERT_TRUE(RunLoopUntil([&] { return CallCount() >= 3; }));
  EXPECT_EQ(Edges(), (std::vector<std::string>{"keyEvent down", "keyEvent up", "keyEvent down"}));
}

// A callback that parks the main loop does not hold up the gate; the edges
// reach the Dart side once the loop is back, and debug mode reports the gap.
TEST_F(PttHookInProcessTest, ParkedMainLoopDoesNotHoldUpTheGate) {
  g_setenv("CORVEL_PTT_DEBUG", "", TRUE);
  Register("ptt", kHidA);
  // Let the pump tick a few times so that the next gap is measured.
  RunLoopUntil([] { return false; }, 40ms);

  struct Stall {
    evdev_fake::FakeInputDir* input;
    ptt_test::GateWatcher* gate;
    bool gate_opened_and_closed = false;
  } stall{input_.get(), gate_.get()};
  g_idle_add(
      [](gpointer data) {
        auto* stall = static_cast<Stall*>(data);
        const auto parked_at = std::chrono::steady_clock::now();
        stall->input->Key("event0", kKeyA, kPress);
        stall->input->Key("event0", kKeyA, kRelease);
        stall->gate_opened_and_closed = stall->gate->WaitForCalls(2, 5s);
        // Stay parked past the pump's 50 ms starvation mark.
        std::this_thread::sleep_until(parked_at + 80ms);
        return G_SOURCE_REMOVE;
      },
      &stall);

  ASSERT_TRUE(RunLoopUntil([&] { return CallCount() >= 2; }));
  EXPECT_TRUE(stall.gate_opened_and_closed);
  const auto gate_calls = gate_->calls();
  ASSERT_EQ(gate_calls.size(), 2u);
  EXPECT_TRUE(gate_calls[0].enabled);
  EXPECT_FALSE(gate_calls[1].enabled);
  EXPECT_EQ(Edges(), (std::vector<std::string>{"keyEvent down", "keyEvent up"}));
  EXPECT_TRUE(RunLoopUntil(
      [] { return !LogCapture::Get().LinesStartingWith("ptt_hook: pump starved").empty(); }));
  EXPECT_EQ(LogCapture::Get().LinesStartingWith("ptt_hook: ptt down dispatch hop ").size(), 1u);
  EXPECT_EQ(LogCapture::Get().LinesStartingWith("ptt_hook: ptt up dispatch hop ").size(), 1u);
}

// The gate is called with none of the module's locks held: while a gate call
// is still running on the reader thread, "register" (which takes the lock)
// goes through on the main thread.
TEST_F(PttHookInProcessTest, GateRunsWithoutTheModuleLock) {
  struct Rendezvous {
    std::mutex mutex;
    std::condition_variable changed;
    bool in_gate = false;
    bool rebound = false;
    bool released_by_rebind = false;
    bool gate_returned = false;
  } rendezvous;
  corvel_ptt_gate_set_observer(
      [](bool, int64_t, void* data) {
        auto* r = static_cast<Rendezvous*>(data);
        std::unique_lock lock(r->mutex);
        r->in_gate = true;
        r->changed.notify_all();
        r->released_by_rebind = r->changed.wait_for(lock, 5s, [r] { return r->rebound; });
        r->gate_returned = true;
        r->changed.notify_all();
      },
      &rendezvous);
  Register("ptt", kHidA);
  input_->Key("event0", kKeyA, kPress);
  std::unique_lock lock(rendezvous.mutex);
  ASSERT_TRUE(rendezvous.changed.wait_for(lock, 5s, [&] { return rendezvous.in_gate; }));
  lock.unlock();

  Register("mute", kHidS);

  lock.lock();
  rendezvous.rebound = true;
  rendezvous.changed.notify_all();
  ASSERT_TRUE(rendezvous.changed.wait_for(lock, 10s, [&] { return rendezvous.gate_returned; }));
  corvel_ptt_gate_set_observer(nullptr, nullptr);
  EXPECT_TRUE(rendezvous.released_by_rebind) << "\"register\" waited for the gate call to end";
  // Deliver the edge here rather than to the next test's channel.
  lock.unlock();
  ASSERT_TRUE(RunLoopUntil([&] { return CallCount() >= 1; }));
  EXPECT_EQ(Edges(), std::vector<std::string>{"keyEvent down"});
}

TEST_F(PttHookInProcessTest, SecondInitChangesNothing) {
  g_setenv("CORVEL_PTT_DEBUG", "1", TRUE);
  Register("mute", kHidA);
  const size_t init_lines = LogCapture::Get().LinesStartingWith("ptt_hook: g_main_ctx").size();

  ptt_hook::Init(messenger());

  EXPECT_EQ(LogCapture::Get().LinesStartingWith("ptt_hook: g_main_ctx").size(), init_lines);
  // The binding and the running monitor survive.
  input_->Key("event0", kKeyA, kPress);
  ASSERT_TRUE(RunLoopUntil([&] { return CallCount() >= 1; }));
  EXPECT_EQ(Edges(), std::vector<std::string>{"muteEvent down"});
}

// An edge still on its way when the module shuts down is dropped, not sent on
// a released channel.
TEST_F(PttHookInProcessTest, EdgePendingAtShutdownIsNotSent) {
  g_setenv("CORVEL_PTT_DEBUG", "", TRUE);
  Register("ptt", kHidA);
  input_->Key("event0", kKeyA, kPress);
  ASSERT_TRUE(gate_->WaitForCalls(1, 5s));

  // Joins the reader, which has posted the edge by then.
  ptt_hook::Shutdown();

  const std::string hop = "ptt_hook: ptt down dispatch hop ";
  EXPECT_TRUE(RunLoopUntil([&] { return !LogCapture::Get().LinesStartingWith(hop).empty(); }));
  EXPECT_EQ(CallCount(), 0u);
}

TEST_F(PttHookInProcessTest, FailedAnswerIsLogged) {
  const std::string warning = "ptt_hook: failed to respond: ";
  g_autoptr(FlMethodResponse) response = flutter_standin::CallFromDart(
      messenger(), ptt_test::kChannel, "unregister", nullptr, flutter_standin::ReplyLink::kBroken);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(LogCapture::Get().LinesStartingWith(warning).size(), 1u);
}

}  // namespace
