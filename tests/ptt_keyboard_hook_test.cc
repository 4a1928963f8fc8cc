// End-to-end tests of the global key monitor: the real bundle, driven through
// the stand-in Dart side, reads FIFOs mounted on /dev/input (evdev_fake) and
// calls the gate stand-in, which logs to a file.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "corvel_ptt_gate.h"
#include "evdev_fake.h"
#include "host_harness.h"
#include "support/pulse_daemon.h"

namespace {

using namespace std::chrono_literals;
using corvel_test::HostEnvironment;
using corvel_test::RunUntil;
using evdev_fake::DeviceKind;
using evdev_fake::kPress;
using evdev_fake::kRelease;
using evdev_fake::kRepeat;

constexpr const char* kChannel = "corvel/ptt_hook";
constexpr uint16_t kKeyA = 30;      // HID 0x070004
constexpr uint16_t kKeyS = 31;      // HID 0x070016
constexpr uint16_t kKeySpace = 57;  // HID 0x07002C, the fence key
constexpr const char* kHidA = "458756";
constexpr const char* kHidS = "458774";
const std::vector<std::string> kFenceEdges = {"deafenEvent down", "deafenEvent up"};

std::string RegisterArgs(const std::string& action, const std::string& keycode) {
  return R"({"action":")" + action + R"(","keycode":)" + keycode + "}";
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class PttHookTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = evdev_fake::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    input_ = std::make_unique<evdev_fake::FakeInputDir>();
    ASSERT_TRUE(env_.Start());
  }

  // Starts corvel with the shim preloaded and the gate logging to a file.
  void Launch(std::map<std::string, std::string> extra_env = {}) {
    extra_env["LD_PRELOAD"] = evdev_fake::ShimLibraryPath();
    extra_env[CORVEL_PTT_GATE_LOG_ENV] = GateLogPath();
    extra_env[evdev_fake::kEventfdFailEnv] = EventfdFailTrigger();
    corvel_ = env_.LaunchCorvel({.env = extra_env});
    ASSERT_TRUE(corvel_);
    ASSERT_NE(env_.dart().WaitForEvent("started"), nullptr);
  }

  std::string GateLogPath() const { return env_.dir().Child("gate.log"); }
  std::string EventfdFailTrigger() const { return env_.dir().Child("eventfd-fails"); }

  // The response as "null", "error <code>: <message>", "not implemented" or
  // "success <json>".
  std::string Call(const std::string& method, const std::string& args_json = "null") {
    JsonObject* result = env_.dart().CallAndWait(kChannel, method, args_json);
    if (result == nullptr) return "no response";
    if (json_object_has_member(result, "not_implemented")) return "not implemented";
    if (json_object_has_member(result, "error")) {
      JsonObject* error = json_object_get_object_member(result, "error");
      return "error " + corvel_test::StringMember(error, "code") + ": " +
             corvel_test::StringMember(error, "message");
    }
    JsonNode* success = json_object_get_member(result, "success");
    if (success == nullptr) return "malformed response";
    if (JSON_NODE_HOLDS_NULL(success)) return "null";
    g_autofree gchar* text = json_to_string(success, FALSE);
    return std::string("success ") + text;
  }

  void Register(const std::string& action, const std::string& keycode) {
    ASSERT_EQ(Call("register", RegisterArgs(action, keycode)), "null");
  }

  // Binds the fence key: its press and release on a device prove that every
  // record written to that device before them has been handled.
  void BindFence() { Register("deafen", "458796"); }
  void Fence(const std::string& device) {
    const auto fence_ends = [&] {
      const auto edges = Edges();
      return std::count(edges.begin(), edges.end(), kFenceEdges.back());
    };
    const auto before = fence_ends();
    input_->Key(device, kKeySpace, kPress);
    input_->Key(device, kKeySpace, kRelease);
    ASSERT_TRUE(RunUntil([&] { return fence_ends() > before; }));
  }

  // "keyEvent down", "muteEvent up"... for each call the host made on the
  // push-to-talk channel, in order.
  std::vector<std::string> Edges() {
    std::vector<std::string> edges;
    for (JsonObject* call : env_.dart().EventsNamed("call")) {
      if (corvel_test::StringMember(call, "channel") != kChannel) continue;
      JsonObject* args = json_object_get_object_member(call, "args");
      const bool down =
          args != nullptr && json_object_get_boolean_member_with_default(args, "down", false);
      edges.push_back(corvel_test::StringMember(call, "method") + (down ? " down" : " up"));
    }
    return edges;
  }

  bool WaitForEdges(size_t count) {
    return RunUntil([&] { return Edges().size() >= count; });
  }

  // The gate's calls, as "enabled 1", "enabled 0" or "track <gain> <id>".
  std::vector<std::string> GateCalls() const {
    std::vector<std::string> calls;
    std::ifstream log(GateLogPath());
    for (std::string line; std::getline(log, line);) {
      if (line.starts_with("enabled ")) line = line.substr(0, line.rfind(' '));
      calls.push_back(line);
    }
    return calls;
  }

  std::vector<std::string> EnableCalls() const {
    std::vector<std::string> calls;
    for (const std::string& call : GateCalls()) {
      if (call.starts_with("enabled ")) calls.push_back(call);
    }
    return calls;
  }

  // Entries of a /proc/<corvel>/ folder, read through `read` (e.g. a thread
  // name or a link target).
  std::vector<std::string> ProcEntries(const std::string& folder, bool links) const {
    std::vector<std::string> entries;
    const std::string path = "/proc/" + std::to_string(corvel_->pid()) + "/" + folder;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return entries;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const std::string child = path + "/" + entry->d_name;
      if (links) {
        char target[4096];
        const ssize_t n = readlink(child.c_str(), target, sizeof target - 1);
        if (n > 0) entries.emplace_back(target, n);
      } else {
        std::ifstream comm(child + "/comm");
        std::string name;
        std::getline(comm, name);
        entries.push_back(name);
      }
    }
    closedir(dir);
    return entries;
  }

  bool ReaderThreadRunning() const {
    for (const auto& name : ProcEntries("task", false)) {
      if (name == "ptt-evdev") return true;
    }
    return false;
  }

  bool HoldsDeviceOpen(const std::string& device) const {
    for (const auto& target : ProcEntries("fd", true)) {
      if (target == "/dev/input/" + device) return true;
    }
    return false;
  }

  HostEnvironment env_;
  std::unique_ptr<evdev_fake::FakeInputDir> input_;
  std::unique_ptr<corvel_test::ChildProcess> corvel_;
};

// Every malformed "register" gets its error and starts nothing.
TEST_F(PttHookTest, AnswersEachCallAsTheDartSideExpects) {
  input_->AddDevice("event0");
  Launch();
  struct Case {
    const char* name;
    const char* method;
    std::string args;
    std::string expected;
  };
  const std::string needs_map = "error invalid_args: register requires a map";
  const std::string needs_fields =
      "error invalid_args: register requires {action: String, keycode: int}";
  const Case cases[] = {
      {"no arguments", "register", "null", needs_map},
      {"a list", "register", "[\"ptt\", 458756]", needs_map},
      {"no keycode", "register", R"({"action":"ptt"})", needs_fields},
      {"no action", "register", R"({"keycode":458756})", needs_fields},
      {"action not a string", "register", R"({"action":1,"keycode":458756})", needs_fields},
      {"float keycode", "register", R"({"action":"ptt","keycode":458756.0})", needs_fields},
      {"string keycode", "register", RegisterArgs("ptt", "\"458756\""), needs_fields},
      {"action in capitals", "register", RegisterArgs("PTT", kHidA),
       "error invalid_args: action must be ptt|mute|deafen"},
      {"unknown action", "register", RegisterArgs("talk", kHidA),
       "error invalid_args: action must be ptt|mute|deafen"},
      {"unregister with nothing bound", "unregister", "null", "null"},
      {"unregister ignores arguments", "unregister", R"({"action":"ptt"})", "null"},
      {"unknown method", "registerKey", RegisterArgs("ptt", kHidA), "not implemented"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Call(c.method, c.args), c.expected);
    // After each call: a later "unregister" would stop a wrongly started thread.
    EXPECT_FALSE(ReaderThreadRunning());
  }
}

// Each call starts from track "", gain 2.0, cue true; the gate hears every one.
TEST_F(PttHookTest, SetPttTrackHandsTheGateTrackAndGain) {
  Launch();
  struct Case {
    const char* name;
    std::string args;
    std::string gate_call;
  };
  const Case cases[] = {
      {"no arguments", "null", "track 2 "},
      {"int gain", R"({"gain":1})", "track 1 "},
      {"track and float gain", R"({"trackId":"mic 1","gain":0.5,"cue":false})", "track 0.5 mic 1"},
      {"nothing carried over", R"({"cue":"no"})", "track 2 "},
      {"mistyped entries", R"({"trackId":7,"gain":"loud"})", "track 2 "},
      {"a list", "[\"mic\"]", "track 2 "},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Call("setPttTrack", c.args), "null");
    expected.push_back(c.gate_call);
    EXPECT_EQ(GateCalls(), expected);
  }
}

// Page 7 in bits 16-23 or 8-15, usage in bits 0-7, of the low 32 bits.
TEST_F(PttHookTest, ConvertsKeyboardUsagesToKeyCodes) {
  input_->AddDevice("event0");
  Launch();
  struct Case {
    const char* name;
    const char* keycode;
    uint16_t key_code;  // 0: binds nothing
  };
  const Case unbound[] = {
      {"consumer page volume up", "786665", 0},  // 0x0C00E9
      {"usage 0x00", "458752", 0},
      {"usage 0x95", "458901", 0},
      {"usage 0xFF", "459007", 0},
  };
  for (const Case& c : unbound) {
    SCOPED_TRACE(c.name);
    Register("ptt", c.keycode);
  }
  EXPECT_FALSE(ReaderThreadRunning());

  const Case bound[] = {
      {"A in bits 16-23", kHidA, kKeyA},
      {"left control", "458976", 29},              // 0x0700E0
      {"A in bits 8-15", "1796", kKeyA},           // 0x0704
      {"high bits ignored", "4278648836", kKeyA},  // 0xFF070004
      {"right GUI", "458983", 126},                // 0x0700E7
      {"keypad enter", "458840", 96},              // 0x070058
  };
  for (const Case& c : bound) {
    SCOPED_TRACE(c.name);
    const size_t before = Edges().size();
    Register("mute", c.keycode);
    input_->Key("event0", c.key_code, kPress);
    input_->Key("event0", c.key_code, kRelease);
    ASSERT_TRUE(WaitForEdges(before + 2));
    const auto edges = Edges();
    EXPECT_EQ(std::vector<std::string>(edges.begin() + before, edges.end()),
              (std::vector<std::string>{"muteEvent down", "muteEvent up"}));
    EXPECT_EQ(Call("unregister"), "null");
  }
}

// Auto-repeat, synchronisation reports and unbound keys make no edges: the
// key stays held until its release, and the gate and the Dart side each get
// one press and one release.
TEST_F(PttHookTest, PressRepeatAndReleaseGiveOneEdgeEach) {
  input_->AddDevice("event0");
  Launch();
  Register("ptt", kHidA);
  BindFence();
  input_->KeyWithSync("event0", kKeyA, kPress);
  for (int i = 0; i < 3; ++i) input_->KeyWithSync("event0", kKeyA, kRepeat);
  input_->KeyWithSync("event0", kKeyS, kPress);  // not bound
  input_->KeyWithSync("event0", kKeyS, kRelease);
  ASSERT_NO_FATAL_FAILURE(Fence("event0"));
  EXPECT_EQ(Edges(), Concat({"keyEvent down"}, kFenceEdges));
  EXPECT_EQ(EnableCalls(), std::vector<std::string>{"enabled 1"});

  input_->KeyWithSync("event0", kKeyA, kRelease);
  ASSERT_NO_FATAL_FAILURE(Fence("event0"));
  EXPECT_EQ(Edges(),
            Concat(Concat({"keyEvent down"}, kFenceEdges), Concat({"keyEvent up"}, kFenceEdges)));
  EXPECT_EQ(EnableCalls(), (std::vector<std::string>{"enabled 1", "enabled 0"}));
  EXPECT_EQ(corvel_->Stderr().find("dispatch hop"), std::string::npos);
}

// One state per key for all devices: the second press is no edge, the first
// release ends the hold.
TEST_F(PttHookTest, SameKeyOnTwoDevicesIsOneKey) {
  input_->AddDevice("event0");
  input_->AddDevice("event1");
  Launch();
  Register("ptt", kHidA);
  BindFence();
  input_->Key("event0", kKeyA, kPress);
  ASSERT_TRUE(WaitForEdges(1));
  input_->Key("event1", kKeyA, kPress);
  input_->Key("event1", kKeyA, kRelease);
  ASSERT_TRUE(WaitForEdges(2));
  input_->Key("event0", kKeyA, kRelease);
  ASSERT_NO_FATAL_FAILURE(Fence("event0"));
  ASSERT_NO_FATAL_FAILURE(Fence("event1"));

  EXPECT_EQ(Edges(), Concat(Concat({"keyEvent down", "keyEvent up"}, kFenceEdges), kFenceEdges));
  EXPECT_EQ(EnableCalls(), (std::vector<std::string>{"enabled 1", "enabled 0"}));
}

// Its release is dropped; the next press and release count.
TEST_F(PttHookTest, KeyHeldWhenTheMonitorStarts) {
  input_->AddDevice("event0");
  Launch();
  Register("ptt", kHidA);
  BindFence();
  input_->Key("event0", kKeyA, kRelease);
  input_->Key("event0", kKeyA, kPress);
  input_->Key("event0", kKeyA, kRelease);
  ASSERT_NO_FATAL_FAILURE(Fence("event0"));

  EXPECT_EQ(Edges(), Concat({"keyEvent down", "keyEvent up"}, kFenceEdges));
  EXPECT_EQ(EnableCalls(), (std::vector<std::string>{"enabled 1", "enabled 0"}));
}

// The new action applies at once and the key's held state is forgotten, so
// the release of the old press is dropped.
TEST_F(PttHookTest, RebindingReplacesTheActionAndForgetsTheHeldState) {
  input_->AddDevice("event0");
  Launch();
  Register("ptt", kHidA);
  BindFence();
  input_->Key("event0", kKeyA, kPress);
  ASSERT_TRUE(WaitForEdges(1));
  Register("mute", kHidA);
  input_->Key("event0", kKeyA, kRelease);
  input_->Key("event0", kKeyA, kPress);
  input_->Key("event0", kKeyA, kRelease);
  ASSERT_NO_FATAL_FAILURE(Fence("event0"));

  EXPECT_EQ(Edges(), Concat({"keyEvent down", "muteEvent down", "muteEvent up"}, kFenceEdges));
  EXPECT_EQ(EnableCalls(), std::vector<std::string>{"enabled 1"});
}

// Another "ptt" key adds a binding: either key opens and closes the gate.
TEST_F(PttHookTest, TwoPushToTalkKeys) {
  input_->AddDevice("event0");
  Launch();
  Register("ptt", kHidA);
  Register("ptt", kHidS);
  for (uint16_t key : {kKeyA, kKeyS}) {
    input_->Key("event0", key, kPress);
    input_->Key("event0", key, kRelease);
  }
  ASSERT_TRUE(WaitForEdges(4));
  EXPECT_EQ(Edges(), (std::vector<std::string>{"keyEvent down", "keyEvent up", "keyEvent down",
                                               "keyEvent up"}));
  EXPECT_EQ(EnableCalls(),
            (std::vector<std::string>{"enabled 1", "enabled 0", "enabled 1", "enabled 0"}));
}

// The push-to-talk cue is heard on the server when a track is armed and cues
// are wanted; not with an empty track id, and never for mute or deafen keys.
TEST_F(PttHookTest, CuesOnlyForArmedPushToTalk) {
  constexpr double kOnHz = 800;
  constexpr double kOffHz = 500;
  constexpr size_t kQuietWindows = 40;  // 400 ms of monitor audio
  corvel_test::PulseDaemon daemon;
  std::string error;
  ASSERT_TRUE(daemon.Start(&error)) << error;
  corvel_test::MonitorRecorder recorder(daemon.server(), daemon.monitor_source());
  ASSERT_TRUE(recorder.Start(&error)) << error;
  input_->AddDevice("event0");
  Launch({{"PULSE_SERVER", daemon.server()}});
  Register("ptt", kHidA);
  Register("mute", kHidS);
  BindFence();

  // Silent push-to-talk; the gate still opens and closes every time.
  struct SilentCase {
    const char* name;
    const char* track_args;
  };
  const SilentCase silent[] = {
      {"disarmed: empty track id", R"({"trackId":"","cue":true})"},
      {"armed, cues not wanted", R"({"trackId":"mic","cue":false})"},
  };
  size_t edges = 0;
  size_t from = 0;
  for (const SilentCase& c : silent) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Call("setPttTrack", c.track_args), "null");
    from = recorder.windows();
    input_->Key("event0", kKeyA, kPress);
    input_->Key("event0", kKeyA, kRelease);
    edges += 2;
    ASSERT_TRUE(WaitForEdges(edges));
    EXPECT_EQ(EnableCalls().size(), edges);
    ASSERT_TRUE(recorder.WaitForWindows(from + kQuietWindows, 10s));
    for (double hz : {kOnHz, kOffHz}) {
      for (bool audible : recorder.Audible(hz, from)) EXPECT_FALSE(audible) << hz << " Hz";
    }
  }

  // Armed, and a "cue" that is not a bool means the default, true, whatever
  // the last call chose: mute and deafen keys stay silent, push-to-talk plays
  // both cues.
  ASSERT_EQ(Call("setPttTrack", R"({"trackId":"mic","cue":"no"})"), "null");
  from = recorder.windows();
  input_->Key("event0", kKeyS, kPress);
  input_->Key("event0", kKeyS, kRelease);
  ASSERT_NO_FATAL_FAILURE(Fence("event0"));
  ASSERT_TRUE(recorder.WaitForWindows(from + kQuietWindows, 10s));
  for (double hz : {kOnHz, kOffHz}) {
    for (bool audible : recorder.Audible(hz, from)) EXPECT_FALSE(audible) << hz << " Hz";
  }
  EXPECT_EQ(EnableCalls().size(), edges);

  from = recorder.windows();
  input_->Key("event0", kKeyA, kPress);
  EXPECT_TRUE(recorder.WaitForTone(kOnHz, 10s, from)) << daemon.log();
  from = recorder.windows();
  input_->Key("event0", kKeyA, kRelease);
  EXPECT_TRUE(recorder.WaitForTone(kOffHz, 10s, from)) << daemon.log();
}

// The unplugged device is closed; the other goes on.
TEST_F(PttHookTest, UnpluggingOneDeviceKeepsTheOther) {
  input_->AddDevice("event0");
  input_->AddDevice("event1");
  Launch();
  Register("ptt", kHidA);
  BindFence();
  ASSERT_TRUE(RunUntil([&] { return HoldsDeviceOpen("event0") && HoldsDeviceOpen("event1"); }));
  input_->Unplug("event0");
  ASSERT_TRUE(RunUntil([&] { return !HoldsDeviceOpen("event0"); }));
  input_->Key("event1", kKeyA, kPress);
  input_->Key("event1", kKeyA, kRelease);
  ASSERT_TRUE(WaitForEdges(2));
  EXPECT_EQ(Edges(), (std::vector<std::string>{"keyEvent down", "keyEvent up"}));
  EXPECT_TRUE(HoldsDeviceOpen("event1"));
}

// A device that reports no key events (a pointer) is not kept open, so its
// records reach nobody.
TEST_F(PttHookTest, DeviceWithoutKeyEventsIsNotKept) {
  input_->AddDevice("event0", DeviceKind::kPointer);
  input_->AddDevice("event1");
  Launch();
  Register("ptt", kHidA);
  BindFence();
  ASSERT_TRUE(RunUntil([&] { return HoldsDeviceOpen("event1"); }));
  EXPECT_FALSE(HoldsDeviceOpen("event0"));
  input_->Key("event0", kKeyA, kPress);
  ASSERT_NO_FATAL_FAILURE(Fence("event1"));
  EXPECT_EQ(Edges(), kFenceEdges);
}

// Every device refused: the warning with the count, and the waiting thread
// still stops on "unregister".
TEST_F(PttHookTest, NoReadableDevices) {
  input_->AddDevice("event0", DeviceKind::kRefused);
  input_->AddDevice("event1", DeviceKind::kRefused);
  input_->AddDevice("mouse0");  // not an event device: not counted
  Launch();
  Register("ptt", kHidA);
  const std::string warning =
      "ptt_hook: no readable input devices (2 permission-denied). Add your user to the 'input' "
      "group for global push-to-talk (sudo usermod -aG input $USER, then log out and back in).";
  EXPECT_TRUE(RunUntil([&] { return corvel_->Stderr().find(warning) != std::string::npos; }))
      << corvel_->Stderr();
  EXPECT_TRUE(ReaderThreadRunning());
  EXPECT_EQ(Call("unregister"), "null");
  EXPECT_FALSE(ReaderThreadRunning());
}

// "unregister" stops at once: a key held then gets no release edge, and its
// release read by the next monitor is dropped.
TEST_F(PttHookTest, StoppingWhileAKeyIsHeldSendsNoRelease) {
  input_->AddDevice("event0");
  Launch();
  Register("ptt", kHidA);
  input_->Key("event0", kKeyA, kPress);
  ASSERT_TRUE(WaitForEdges(1));
  EXPECT_EQ(Call("unregister"), "null");
  EXPECT_FALSE(ReaderThreadRunning());
  input_->Key("event0", kKeyA, kRelease);
  Register("ptt", kHidA);
  BindFence();
  ASSERT_NO_FATAL_FAILURE(Fence("event0"));

  EXPECT_EQ(Edges(), Concat({"keyEvent down"}, kFenceEdges));
  EXPECT_EQ(EnableCalls(), std::vector<std::string>{"enabled 1"});
}

// A refused stop eventfd answers "record_failed"; the binding stays and the
// next "register" starts the monitor.
TEST_F(PttHookTest, RecordFailedKeepsTheBinding) {
  input_->AddDevice("event0");
  Launch();
  std::ofstream(EventfdFailTrigger()).put('\n');
  EXPECT_EQ(Call("register", RegisterArgs("ptt", kHidA)),
            "error record_failed: could not start global key monitor");
  EXPECT_NE(corvel_->Stderr().find("ptt_hook: eventfd failed: Too many open files"),
            std::string::npos)
      << corvel_->Stderr();
  EXPECT_FALSE(ReaderThreadRunning());

  ASSERT_EQ(unlink(EventfdFailTrigger().c_str()), 0);
  BindFence();
  input_->Key("event0", kKeyA, kPress);
  ASSERT_TRUE(WaitForEdges(1));
  EXPECT_EQ(Edges(), std::vector<std::string>{"keyEvent down"});
}

// Debug mode is on for any value, the empty one included.
TEST_F(PttHookTest, DebugLinesWithAnEmptyDebugValue) {
  input_->AddDevice("event0");
  Launch({{"CORVEL_PTT_DEBUG", ""}});
  Register("ptt", kHidA);
  input_->Key("event0", kKeyA, kPress);
  ASSERT_TRUE(WaitForEdges(1));
  const std::string hop = "ptt_hook: ptt down dispatch hop ";
  ASSERT_TRUE(RunUntil([&] { return corvel_->Stderr().find(hop) != std::string::npos; }));
  const std::string log = corvel_->Stderr();
  EXPECT_NE(log.find("ptt_hook: native gate resolved"), std::string::npos) << log;
  EXPECT_NE(log.find("ptt_hook: g_main_ctx == g_main_context_default()"), std::string::npos) << log;
  EXPECT_NE(log.find(hop), std::string::npos) << log;
}

}  // namespace
