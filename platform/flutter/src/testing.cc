#include "flutter_standin/testing.h"

#include "fl_private.h"

namespace flutter_standin {

namespace {

// Holds the response of a call delivered by CallFromDart. Shared with the call, which a handler
// may keep and answer after CallFromDart gave up waiting.
struct ResponseSlot {
  ~ResponseSlot() { g_clear_object(&response); }
  FlMethodResponse* response = nullptr;
};
using SharedSlot = std::shared_ptr<ResponseSlot>;

void KeepResponse(FlMethodResponse* response, gpointer data) {
  auto& slot = *static_cast<SharedSlot*>(data);
  slot->response = FL_METHOD_RESPONSE(g_object_ref(response));
}

void ReleaseSlot(gpointer data) { delete static_cast<SharedSlot*>(data); }

gboolean MarkTimedOut(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

FlEngine* NewTestEngine() {
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  FlEngine* engine = fl_engine_new_headless(project);
  fl_engine_start(engine, nullptr);
  return engine;
}

DartCallRecorder::DartCallRecorder(FlEngine* engine)
    : calls_(std::make_shared<std::vector<DartCall>>()) {
  g_weak_ref_init(&engine_, engine);
  fl_engine_set_dart_call_observer(
      engine, [calls = calls_](const gchar* channel, const gchar* method, FlValue* args) {
        std::shared_ptr<FlValue> kept;
        if (args != nullptr) kept.reset(fl_value_ref(args), fl_value_unref);
        calls->push_back(DartCall{channel, method, std::move(kept)});
      });
}

DartCallRecorder::~DartCallRecorder() {
  g_autoptr(FlEngine) engine = FL_ENGINE(g_weak_ref_get(&engine_));
  if (engine != nullptr) fl_engine_set_dart_call_observer(engine, nullptr);
  g_weak_ref_clear(&engine_);
}

FlMethodResponse* CallFromDart(FlBinaryMessenger* messenger, const char* channel,
                               const char* method, FlValue* args, ReplyLink link,
                               unsigned timeout_ms) {
  auto slot = std::make_shared<ResponseSlot>();
  g_autoptr(FlMethodCall) call =
      link == ReplyLink::kOpen
          ? fl_method_call_new(method, args, KeepResponse, new SharedSlot(slot), ReleaseSlot)
          : fl_method_call_new(method, args, nullptr, nullptr, nullptr);
  fl_binary_messenger_dispatch_call(messenger, channel, call);
  if (link == ReplyLink::kBroken) return nullptr;
  bool timed_out = false;
  guint timeout = g_timeout_add(timeout_ms, MarkTimedOut, &timed_out);
  while (slot->response == nullptr && !timed_out) g_main_context_iteration(nullptr, TRUE);
  if (!timed_out) g_source_remove(timeout);
  return static_cast<FlMethodResponse*>(g_steal_pointer(&slot->response));
}

}  // namespace flutter_standin
