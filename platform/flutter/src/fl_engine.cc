#include "flutter_linux/fl_engine.h"

#include <gio/gio.h>
#include <gio/gunixsocketaddress.h>

#include "fl_private.h"
#include "json_values.h"

using flutter_standin::JsonFromResponse;
using flutter_standin::JsonFromValue;
using flutter_standin::JsonString;
using flutter_standin::MakeEvent;
using flutter_standin::ValueFromJson;

// Names the Unix stream socket of the Dart side that this engine plays against.
constexpr char kDartSocketVariable[] = "FLUTTER_STANDIN_DART_SOCKET";

struct _FlEngine {
  GObject parent_instance;
  FlDartProject* project;        // Owned reference.
  FlBinaryMessenger* messenger;  // Owned reference; handed out borrowed.
  gboolean started;
  GSocketConnection* dart_side;     // Owned; null without a Dart side or after it went away.
  GDataInputStream* dart_lines;     // Owned; reads the Dart side's lines.
  GCancellable* cancellable;        // Owned; stops the pending read at dispose.
  DartCallObserver* call_observer;  // Owned; null when nobody observes.
};

G_DEFINE_TYPE(FlEngine, fl_engine, G_TYPE_OBJECT)

namespace {

// Where the response of one call from the Dart side goes.
struct DartReply {
  GWeakRef engine;
  gint64 id;
};

void DartReplyFree(gpointer data) {
  auto* reply = static_cast<DartReply*>(data);
  g_weak_ref_clear(&reply->engine);
  delete reply;
}

// Called once with the host's response to a call from the Dart side.
void SendReplyToDart(FlMethodResponse* response, gpointer data) {
  auto* reply = static_cast<DartReply*>(data);
  g_autoptr(FlEngine) engine = FL_ENGINE(g_weak_ref_get(&reply->engine));
  if (engine == nullptr) return;  // The engine is gone: nobody waits for the answer.
  fl_engine_send_event(
      engine, MakeEvent("response", {{"id", json_node_init_int(json_node_alloc(), reply->id)},
                                     {"result", JsonFromResponse(response)}}));
}

void CloseDartSide(FlEngine* self) {
  if (self->cancellable != nullptr) g_cancellable_cancel(self->cancellable);
  g_clear_object(&self->dart_lines);
  if (self->dart_side != nullptr) g_io_stream_close(G_IO_STREAM(self->dart_side), nullptr, nullptr);
  g_clear_object(&self->dart_side);
}

// Turns one driver line {"id":N,"channel":C,"method":M,"args":V} into a call on the host.
void DeliverDartLine(FlEngine* self, const gchar* line) {
  g_autoptr(JsonParser) parser = json_parser_new();
  g_autoptr(GError) error = nullptr;
  if (!json_parser_load_from_data(parser, line, -1, &error) ||
      !JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
    g_warning("flutter stand-in: ignoring a malformed line from the Dart side: %s", line);
    return;
  }
  JsonObject* message = json_node_get_object(json_parser_get_root(parser));
  const gchar* channel = json_object_get_string_member_with_default(message, "channel", nullptr);
  const gchar* method = json_object_get_string_member_with_default(message, "method", nullptr);
  if (channel == nullptr || method == nullptr || !json_object_has_member(message, "id")) {
    g_warning("flutter stand-in: a call from the Dart side needs id, channel and method: %s", line);
    return;
  }
  JsonNode* args_node = json_object_get_member(message, "args");
  g_autoptr(FlValue) args =
      args_node != nullptr && !JSON_NODE_HOLDS_NULL(args_node) ? ValueFromJson(args_node) : nullptr;
  auto* reply = new DartReply{};
  g_weak_ref_init(&reply->engine, self);
  reply->id = json_object_get_int_member(message, "id");
  g_autoptr(FlMethodCall) call =
      fl_method_call_new(method, args, SendReplyToDart, reply, DartReplyFree);
  fl_binary_messenger_dispatch_call(self->messenger, channel, call);
}

void ReadNextDartLine(FlEngine* self);

// Called on the main loop with each line the Dart side writes.
void OnDartLine(GObject* source, GAsyncResult* result, gpointer data) {
  g_autoptr(GError) error = nullptr;
  g_autofree gchar* line = g_data_input_stream_read_line_finish_utf8(G_DATA_INPUT_STREAM(source),
                                                                     result, nullptr, &error);
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;  // Engine disposed.
  // A handler may drop the last outside reference to the engine (closing the view).
  g_autoptr(FlEngine) self = FL_ENGINE(g_object_ref(data));
  if (line == nullptr) {
    CloseDartSide(self);  // End of stream or a broken socket: the Dart side is gone.
    return;
  }
  if (*line != '\0') DeliverDartLine(self, line);
  if (self->dart_lines != nullptr) ReadNextDartLine(self);
}

void ReadNextDartLine(FlEngine* self) {
  g_data_input_stream_read_line_async(self->dart_lines, G_PRIORITY_DEFAULT, self->cancellable,
                                      OnDartLine, self);
}

gboolean ConnectDartSide(FlEngine* self, const gchar* path, GError** error) {
  g_autoptr(GSocketClient) client = g_socket_client_new();
  g_autoptr(GSocketAddress) address = g_unix_socket_address_new(path);
  self->dart_side = g_socket_client_connect(client, G_SOCKET_CONNECTABLE(address), nullptr, error);
  if (self->dart_side == nullptr) return FALSE;
  self->cancellable = g_cancellable_new();
  self->dart_lines =
      g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(self->dart_side)));
  ReadNextDartLine(self);
  return TRUE;
}

JsonNode* JsonFromStrv(gchar** strings) {
  JsonArray* array = json_array_new();
  for (gchar** s = strings; s != nullptr && *s != nullptr; ++s) {
    json_array_add_string_element(array, *s);
  }
  JsonNode* node = json_node_init_array(json_node_alloc(), array);
  json_array_unref(array);
  return node;
}

}  // namespace

static void fl_engine_dispose(GObject* object) {
  FlEngine* self = FL_ENGINE(object);
  CloseDartSide(self);
  g_clear_object(&self->cancellable);
  // Channels may hold the messenger longer than the engine lives; they must find it detached.
  if (self->messenger != nullptr) fl_binary_messenger_detach_engine(self->messenger);
  g_clear_object(&self->messenger);
  g_clear_object(&self->project);
  delete self->call_observer;
  self->call_observer = nullptr;
  G_OBJECT_CLASS(fl_engine_parent_class)->dispose(object);
}

static void fl_engine_class_init(FlEngineClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_dispose;
}

static void fl_engine_init(FlEngine* self) { self->messenger = fl_binary_messenger_new(self); }

FlEngine* fl_engine_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  auto* self = FL_ENGINE(g_object_new(fl_engine_get_type(), nullptr));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  return self;
}

FlEngine* fl_engine_new_headless(FlDartProject* project) { return fl_engine_new(project); }

gboolean fl_engine_start(FlEngine* self, GError** error) {
  g_return_val_if_fail(FL_IS_ENGINE(self), FALSE);
  if (self->started) return TRUE;
  const gchar* path = g_getenv(kDartSocketVariable);
  if (path != nullptr && !ConnectDartSide(self, path, error)) return FALSE;
  self->started = TRUE;
  fl_engine_send_event(
      self,
      MakeEvent(
          "started",
          {{"args", JsonFromStrv(fl_dart_project_get_dart_entrypoint_arguments(self->project))}}));
  return TRUE;
}

FlBinaryMessenger* fl_engine_get_binary_messenger(FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), nullptr);
  return self->messenger;
}

void fl_engine_send_event(FlEngine* self, JsonNode* event) {
  g_autoptr(JsonNode) owned_event = event;
  if (self->dart_side == nullptr) return;
  g_autofree gchar* text = json_to_string(owned_event, FALSE);
  g_autofree gchar* line = g_strconcat(text, "\n", nullptr);
  GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(self->dart_side));
  if (!g_output_stream_write_all(out, line, strlen(line), nullptr, nullptr, nullptr)) {
    CloseDartSide(self);  // The Dart side went away; the host carries on without it.
  }
}

void fl_engine_send_call_to_dart(FlEngine* self, const gchar* channel, const gchar* method,
                                 FlValue* args) {
  if (self->call_observer != nullptr) (*self->call_observer)(channel, method, args);
  fl_engine_send_event(self, MakeEvent("call", {{"channel", JsonString(channel)},
                                                {"method", JsonString(method)},
                                                {"args", JsonFromValue(args)}}));
}

void fl_engine_set_dart_call_observer(FlEngine* self, DartCallObserver observer) {
  delete self->call_observer;
  self->call_observer = observer ? new DartCallObserver(std::move(observer)) : nullptr;
}
