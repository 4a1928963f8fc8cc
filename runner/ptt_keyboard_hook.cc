#include "ptt_keyboard_hook.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ptt_sound.h"

namespace ptt_hook {
namespace {

using SetEnabledFn = void (*)(bool);
using SetTrackFn = void (*)(const char*, double);

// One key edge on its way from the reader thread to the main loop.
struct KeyDispatch {
  std::string action;
  bool down;
  gint64 posted_us;  // monotonic clock, just before posting
};

// USB HID usage on the Keyboard/Keypad page (7) -> Linux input-event key
// code; 0 marks a key that is not supported.
constexpr std::array<uint8_t, 256> MakeHidToEvdev() {
  constexpr uint8_t kFromUsage0x00[] = {
      0,   0,   0,   0,   30,  48,  46,  32,  18,  33,  34,  35,  23,  36,  37,  38,   // 0x00
      50,  49,  24,  25,  16,  19,  31,  20,  22,  47,  17,  45,  21,  44,  2,   3,    // 0x10
      4,   5,   6,   7,   8,   9,   10,  11,  28,  1,   14,  15,  57,  12,  13,  26,   // 0x20
      27,  43,  43,  39,  40,  41,  51,  52,  53,  58,  59,  60,  61,  62,  63,  64,   // 0x30
      65,  66,  67,  68,  87,  88,  99,  70,  119, 110, 102, 104, 111, 107, 109, 106,  // 0x40
      105, 108, 103, 69,  98,  55,  74,  78,  96,  79,  80,  81,  75,  76,  77,  71,   // 0x50
      72,  73,  82,  83,  86,  127, 116, 117, 183, 184, 185, 186, 187, 188, 189, 190,  // 0x60
      191, 192, 193, 194, 134, 138, 130, 132, 128, 129, 131, 137, 133, 135, 136, 113,  // 0x70
      115, 114, 0,   0,   0,   121, 0,   89,  93,  124, 92,  94,  95,  0,   0,   0,    // 0x80
      122, 123, 90,  91,  85,                                                          // 0x90
  };
  // The eight modifiers: left control, shift, alt, GUI, then the right ones.
  constexpr uint8_t kFromUsage0xE0[] = {29, 42, 56, 125, 97, 54, 100, 126};
  static_assert(std::size(kFromUsage0x00) == 0x95);
  std::array<uint8_t, 256> table{};
  for (size_t i = 0; i < std::size(kFromUsage0x00); ++i) table[i] = kFromUsage0x00[i];
  for (size_t i = 0; i < std::size(kFromUsage0xE0); ++i) table[0xE0 + i] = kFromUsage0xE0[i];
  return table;
}
constexpr std::array<uint8_t, 256> kHidToEvdev = MakeHidToEvdev();

constexpr int kDispatchPriority = G_PRIORITY_HIGH;  // ahead of default-priority work
constexpr guint kPumpIntervalMs = 8;
constexpr double kPumpStarvedMs = 50.0;
constexpr int kKeyAutoRepeat = 2;
constexpr short kDeviceGoneEvents = POLLERR | POLLHUP | POLLNVAL;
static_assert(sizeof(input_event) == 24, "the reader reads whole 64-bit event records");

// Binding table and key states; the reader thread reads both and writes the
// key states. Guarded by g_mutex, which is never held while calling out.
std::map<int, std::string> g_code_to_action;
std::map<int, bool> g_key_down;
std::mutex g_mutex;

// Main-thread state.
FlMethodChannel* g_channel = nullptr;  // owned; non-null once initialised
GMainContext* g_main_ctx = nullptr;    // owned; where edges are posted
GSource* g_pump_source = nullptr;      // owned
gint64 g_last_pump_us = 0;

// Set before the reader thread starts and changed only after it has been
// joined, so the reader reads them without a lock.
SetEnabledFn g_ptt_set_enabled = nullptr;
SetTrackFn g_ptt_set_track = nullptr;
int g_stop_efd = -1;
GThread* g_thread = nullptr;

std::atomic<bool> g_ptt_armed{false};
std::atomic<bool> g_ptt_cue{true};
std::atomic<bool> g_running{false};

// Read at every use so that the switch can be flipped on a running program.
bool DebugMode() { return g_getenv("CORVEL_PTT_DEBUG") != nullptr; }

// Of the Dart side's key code only the low 32 bits count: a HID usage on page
// 7, with the page in bits 16-23 or in bits 8-15 and the usage in bits 0-7.
// Returns 0 for a key that cannot be bound.
int EvdevCodeFromHid(int64_t keycode) {
  const uint32_t v = static_cast<uint32_t>(keycode);
  const bool keyboard_page = ((v >> 16) & 0xFF) == 7 || ((v >> 8) & 0xFF) == 7;
  return keyboard_page ? kHidToEvdev[v & 0xFF] : 0;
}

const char* MethodForAction(const std::string& action) {
  if (action == "mute") return "muteEvent";
  if (action == "deafen") return "deafenEvent";
  return "keyEvent";
}

// ---------------------------------------------------------------------------
// Main loop side.

void FreeDispatch(gpointer data) { delete static_cast<KeyDispatch*>(data); }

// Runs on g_main_ctx once per posted edge. The record is freed by the
// source's destroy notification, so an edge still pending when its context
// goes away is freed too.
gboolean DispatchOnMain(gpointer data) {
  const auto* dispatch = static_cast<const KeyDispatch*>(data);
  if (DebugMode()) {
    g_message("ptt_hook: %s %s dispatch hop %.1f ms", dispatch->action.c_str(),
              dispatch->down ? "down" : "up",
              static_cast<double>(g_get_monotonic_time() - dispatch->posted_us) / 1000.0);
  }
  if (g_channel != nullptr) {
    FlValue* args = fl_value_new_map();
    fl_value_set_string_take(args, "down", fl_value_new_bool(dispatch->down));
    fl_method_channel_invoke_method(g_channel, MethodForAction(dispatch->action), args, nullptr,
                                    nullptr, nullptr);
    fl_value_unref(args);
  }
  return G_SOURCE_REMOVE;
}

// Called every 8 ms on g_main_ctx while the monitor runs; in debug mode it
// reports the gaps that show a parked main loop.
gboolean PumpTick(gpointer) {
  if (!DebugMode()) return G_SOURCE_CONTINUE;
  const gint64 now_us = g_get_monotonic_time();
  if (g_last_pump_us != 0) {
    const double gap_ms = static_cast<double>(now_us - g_last_pump_us) / 1000.0;
    if (gap_ms > kPumpStarvedMs)
      g_message("ptt_hook: pump starved %.0f ms (main loop parked)", gap_ms);
  }
  g_last_pump_us = now_us;
  return G_SOURCE_CONTINUE;
}

void StartPump() {
  g_last_pump_us = 0;
  g_pump_source = g_timeout_source_new(kPumpIntervalMs);
  g_source_set_priority(g_pump_source, G_PRIORITY_DEFAULT);
  g_source_set_callback(g_pump_source, PumpTick, nullptr, nullptr);
  g_source_attach(g_pump_source, g_main_ctx);
}

// ---------------------------------------------------------------------------
// Reader thread "ptt-evdev".

// Reader thread. Always an idle source attached to the context, never
// g_main_context_invoke: that runs the callback right here whenever this
// thread can acquire the context (its default is the main one), and the
// callback touches the channel. A null context attaches to GLib's default.
void PostToMainLoop(KeyDispatch* dispatch) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, kDispatchPriority);
  g_source_set_callback(source, DispatchOnMain, dispatch, FreeDispatch);
  g_source_attach(source, g_main_ctx);
  g_source_unref(source);
}

// Reader thread. Records the key's new state and returns its action when the
// record is an edge of a bound key: one state per code for all devices, so a
// second press or a release of a key not held is no edge.
std::optional<std::string> TakeEdge(int code, bool down) {
  std::lock_guard lock(g_mutex);
  const auto binding = g_code_to_action.find(code);
  if (binding == g_code_to_action.end()) return std::nullopt;
  bool& held = g_key_down[code];
  if (held == down) return std::nullopt;
  held = down;
  return binding->second;
}

// Reader thread. The gate comes first and without a lock: push-to-talk must
// not wait for the cue player or the main loop.
void ProcessRecord(const input_event& record) {
  if (record.type != EV_KEY || record.value == kKeyAutoRepeat) return;
  const bool down = record.value == 1;
  std::optional<std::string> action = TakeEdge(record.code, down);
  if (!action) return;
  if (*action == "ptt") {
    if (g_ptt_set_enabled != nullptr) g_ptt_set_enabled(down);
    if (g_ptt_armed.load() && g_ptt_cue.load()) ptt_sound::Play(down);
  }
  PostToMainLoop(new KeyDispatch{std::move(*action), down, g_get_monotonic_time()});
}

bool ReportsKeyEvents(int fd) {
  uint32_t event_types = 0;
  return ioctl(fd, EVIOCGBIT(0, sizeof event_types), &event_types) >= 0 &&
         (event_types & (1u << EV_KEY)) != 0;
}

// Opens every event device that reports keys. Devices are not grabbed: other
// programs keep receiving their events.
std::vector<pollfd> ScanDevices() {
  std::vector<pollfd> devices;
  int permission_denied = 0;
  if (DIR* dir = opendir("/dev/input")) {
    while (const dirent* entry = readdir(dir)) {
      if (strncmp(entry->d_name, "event", 5) != 0) continue;
      char path[300];
      snprintf(path, sizeof path, "/dev/input/%s", entry->d_name);
      const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        if (errno == EACCES) ++permission_denied;
        continue;
      }
      if (ReportsKeyEvents(fd)) {
        devices.push_back({.fd = fd, .events = POLLIN, .revents = 0});
      } else {
        close(fd);
      }
    }
    closedir(dir);
  }
  if (devices.empty() && permission_denied > 0) {
    g_warning(
        "ptt_hook: no readable input devices (%d permission-denied). Add your user to the 'input' "
        "group for global push-to-talk (sudo usermod -aG input $USER, then log out and back in).",
        permission_denied);
  }
  return devices;
}

void DrainDevice(int fd) {
  input_event record;
  while (read(fd, &record, sizeof record) == static_cast<ssize_t>(sizeof record)) {
    ProcessRecord(record);
  }
}

// Serves one wake-up of the device entries (all but the last, the stop
// entry). Returns whether a device went away; its entry is marked with -1.
bool ServeDevices(std::vector<pollfd>& poll_set) {
  bool device_gone = false;
  for (size_t i = 0; i + 1 < poll_set.size(); ++i) {
    pollfd& device = poll_set[i];
    if (device.revents & POLLIN) DrainDevice(device.fd);
    if (device.revents & kDeviceGoneEvents) {
      close(device.fd);
      device.fd = -1;
      device_gone = true;
    }
  }
  return device_gone;
}

gpointer EvdevThreadFunc(gpointer) {
  std::vector<pollfd> poll_set = ScanDevices();
  poll_set.push_back({.fd = g_stop_efd, .events = POLLIN, .revents = 0});
  while (g_running.load()) {
    if (poll(poll_set.data(), poll_set.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // Stop at once; events pending in this wake-up are not delivered.
    if (poll_set.back().revents & POLLIN) break;
    if (ServeDevices(poll_set)) {
      std::erase_if(poll_set, [](const pollfd& entry) { return entry.fd == -1; });
    }
  }
  // The stop eventfd is closed by StopRecording after the join.
  for (size_t i = 0; i + 1 < poll_set.size(); ++i) {
    if (poll_set[i].fd >= 0) close(poll_set[i].fd);
  }
  return nullptr;
}

bool StartRecording() {
  g_stop_efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (g_stop_efd < 0) {
    const int error = errno;
    g_warning("ptt_hook: eventfd failed: %s", g_strerror(error));
    return false;
  }
  g_running = true;
  g_thread = g_thread_new("ptt-evdev", EvdevThreadFunc, nullptr);
  return true;
}

void StopRecording() {
  if (g_pump_source != nullptr) {
    g_source_destroy(g_pump_source);
    g_clear_pointer(&g_pump_source, g_source_unref);
  }
  if (g_thread != nullptr) {
    g_running = false;
    if (g_stop_efd >= 0) {
      const uint64_t one = 1;
      // A count of 1 cannot overflow the eventfd, so this write cannot fail.
      (void)!write(g_stop_efd, &one, sizeof one);
    }
    g_thread_join(g_thread);
    g_thread = nullptr;
  }
  if (g_stop_efd >= 0) {
    close(g_stop_efd);
    g_stop_efd = -1;
  }
  std::lock_guard lock(g_mutex);
  g_key_down.clear();
}

void ClearBindings() {
  std::lock_guard lock(g_mutex);
  g_code_to_action.clear();
}

// ---------------------------------------------------------------------------
// Method channel "corvel/ptt_hook".

FlMethodResponse* Success() { return FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr)); }

FlMethodResponse* Error(const char* code, const char* message) {
  return FL_METHOD_RESPONSE(fl_method_error_response_new(code, message, nullptr));
}

bool HasType(FlValue* value, FlValueType type) {
  return value != nullptr && fl_value_get_type(value) == type;
}

FlMethodResponse* HandleRegister(FlValue* args) {
  if (!HasType(args, FL_VALUE_TYPE_MAP)) return Error("invalid_args", "register requires a map");
  FlValue* action_value = fl_value_lookup_string(args, "action");
  FlValue* keycode_value = fl_value_lookup_string(args, "keycode");
  if (!HasType(action_value, FL_VALUE_TYPE_STRING) || !HasType(keycode_value, FL_VALUE_TYPE_INT)) {
    return Error("invalid_args", "register requires {action: String, keycode: int}");
  }
  std::string action = fl_value_get_string(action_value);
  if (action != "ptt" && action != "mute" && action != "deafen") {
    return Error("invalid_args", "action must be ptt|mute|deafen");
  }
  const int code = EvdevCodeFromHid(fl_value_get_int(keycode_value));
  if (code == 0) return Success();
  {
    std::lock_guard lock(g_mutex);
    g_code_to_action[code] = std::move(action);
    // A rebound key starts afresh: its next press counts as a press.
    g_key_down.erase(code);
  }
  if (g_thread == nullptr) {
    // The binding stays, so the next "register" tries to start again.
    if (!StartRecording()) return Error("record_failed", "could not start global key monitor");
    if (g_pump_source == nullptr && g_main_ctx != nullptr) StartPump();
  }
  return Success();
}

FlMethodResponse* HandleUnregister() {
  StopRecording();
  ClearBindings();
  return Success();
}

// Every call starts from the defaults; nothing carries over from the last.
FlMethodResponse* HandleSetPttTrack(FlValue* args) {
  std::string track_id;
  double gain = 2.0;
  bool cue = true;
  if (HasType(args, FL_VALUE_TYPE_MAP)) {
    FlValue* value = fl_value_lookup_string(args, "trackId");
    if (HasType(value, FL_VALUE_TYPE_STRING)) track_id = fl_value_get_string(value);
    value = fl_value_lookup_string(args, "gain");
    if (HasType(value, FL_VALUE_TYPE_FLOAT)) gain = fl_value_get_float(value);
    if (HasType(value, FL_VALUE_TYPE_INT)) gain = static_cast<double>(fl_value_get_int(value));
    value = fl_value_lookup_string(args, "cue");
    if (HasType(value, FL_VALUE_TYPE_BOOL)) cue = fl_value_get_bool(value);
  }
  g_ptt_armed = !track_id.empty();
  g_ptt_cue = cue;
  if (g_ptt_set_track != nullptr) g_ptt_set_track(track_id.c_str(), gain);
  return Success();
}

void Respond(FlMethodCall* call, FlMethodResponse* response) {
  GError* error = nullptr;
  if (!fl_method_call_respond(call, response, &error)) {
    g_warning("ptt_hook: failed to respond: %s", error != nullptr ? error->message : "unknown");
  }
  g_clear_error(&error);
  g_object_unref(response);
}

// Called by the embedder on the main thread for each call from the Dart side.
void MethodCallCb(FlMethodChannel*, FlMethodCall* call, gpointer) {
  const gchar* method = fl_method_call_get_name(call);
  FlValue* args = fl_method_call_get_args(call);
  FlMethodResponse* response;
  if (strcmp(method, "register") == 0) {
    response = HandleRegister(args);
  } else if (strcmp(method, "unregister") == 0) {
    response = HandleUnregister();
  } else if (strcmp(method, "setPttTrack") == 0) {
    response = HandleSetPttTrack(args);
  } else {
    response = FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  Respond(call, response);
}

// The gate is a library loaded with the program; it is found by name so that
// the host runs (without a gate) where it is missing.
void LookUpGate() {
  g_ptt_set_enabled = reinterpret_cast<SetEnabledFn>(dlsym(RTLD_DEFAULT, "corvel_ptt_set_enabled"));
  g_ptt_set_track = reinterpret_cast<SetTrackFn>(dlsym(RTLD_DEFAULT, "corvel_ptt_set_track"));
  if (DebugMode()) {
    g_message("ptt_hook: native gate %s", g_ptt_set_enabled != nullptr ? "resolved" : "NOT FOUND");
  }
}

}  // namespace

void Init(FlBinaryMessenger* messenger) {
  if (g_channel != nullptr) return;
  if (g_ptt_set_enabled == nullptr) LookUpGate();
  ptt_sound::Init();
  g_main_ctx = g_main_context_ref_thread_default();
  if (DebugMode()) {
    g_message("ptt_hook: g_main_ctx %s g_main_context_default()",
              g_main_ctx == g_main_context_default() ? "==" : "!=");
  }
  FlStandardMethodCodec* codec = fl_standard_method_codec_new();
  g_channel = fl_method_channel_new(messenger, "corvel/ptt_hook", FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(g_channel, MethodCallCb, nullptr, nullptr);
  g_object_unref(codec);
}

void Shutdown() {
  StopRecording();
  ClearBindings();
  g_clear_object(&g_channel);
  g_clear_pointer(&g_main_ctx, g_main_context_unref);
  ptt_sound::Shutdown();
}

}  // namespace ptt_hook
