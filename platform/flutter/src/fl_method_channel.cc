#include "flutter_linux/fl_method_channel.h"

#include "fl_private.h"

struct _FlMethodChannel {
  GObject parent_instance;
  FlBinaryMessenger* messenger;  // Owned reference.
  gchar* name;                   // Owned.
  FlMethodCodec* codec;          // Owned reference.
  FlMethodChannelMethodCallHandler handler;
  gpointer handler_data;           // Released with `handler_destroy`.
  GDestroyNotify handler_destroy;  // May be null.
};

G_DEFINE_TYPE(FlMethodChannel, fl_method_channel, G_TYPE_OBJECT)

static void clear_handler(FlMethodChannel* self) {
  if (self->handler_destroy != nullptr) {
    g_clear_pointer(&self->handler_data, self->handler_destroy);
  }
  self->handler = nullptr;
  self->handler_data = nullptr;
  self->handler_destroy = nullptr;
}

static void fl_method_channel_dispose(GObject* object) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(object);
  if (self->messenger != nullptr) {
    fl_binary_messenger_remove_channel(self->messenger, self->name, self);
  }
  clear_handler(self);
  g_clear_object(&self->messenger);
  g_clear_object(&self->codec);
  g_clear_pointer(&self->name, g_free);
  G_OBJECT_CLASS(fl_method_channel_parent_class)->dispose(object);
}

static void fl_method_channel_class_init(FlMethodChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_channel_dispose;
}

static void fl_method_channel_init(FlMethodChannel*) {}

FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger, const gchar* name,
                                       FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  g_return_val_if_fail(FL_IS_METHOD_CODEC(codec), nullptr);
  auto* self = FL_METHOD_CHANNEL(g_object_new(fl_method_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  fl_binary_messenger_add_channel(messenger, name, self);
  return self;
}

void fl_method_channel_set_method_call_handler(FlMethodChannel* self,
                                               FlMethodChannelMethodCallHandler handler,
                                               gpointer user_data, GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  clear_handler(self);
  self->handler = handler;
  self->handler_data = user_data;
  self->handler_destroy = destroy_notify;
}

void fl_method_channel_handle_call(FlMethodChannel* self, FlMethodCall* method_call) {
  if (self->handler != nullptr) {
    self->handler(self, method_call, self->handler_data);
    return;
  }
  g_autoptr(FlMethodNotImplementedResponse) response = fl_method_not_implemented_response_new();
  fl_method_call_respond(method_call, FL_METHOD_RESPONSE(response), nullptr);
}

void fl_method_channel_invoke_method(FlMethodChannel* self, const gchar* method, FlValue* args,
                                     GCancellable* cancellable, GAsyncReadyCallback callback,
                                     gpointer user_data) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  g_return_if_fail(method != nullptr);
  FlEngine* engine = fl_binary_messenger_get_engine(self->messenger);
  if (engine != nullptr) fl_engine_send_call_to_dart(engine, self->name, method, args);
  if (callback == nullptr) return;
  // The Dart side of this embedder never answers calls made on it.
  g_autoptr(GTask) task = g_task_new(self, cancellable, callback, user_data);
  g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED,
                          "The Dart side sends no replies to method \"%s\"", method);
}

FlMethodResponse* fl_method_channel_invoke_method_finish(FlMethodChannel* self,
                                                         GAsyncResult* result, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), nullptr);
  g_return_val_if_fail(g_task_is_valid(result, self), nullptr);
  return FL_METHOD_RESPONSE(g_task_propagate_pointer(G_TASK(result), error));
}
