#include "flutter_linux/fl_binary_messenger.h"

#include "fl_private.h"

struct _FlBinaryMessenger {
  GObject parent_instance;
  FlEngine* engine;      // Not owned (the engine owns the messenger); null once it is gone.
  GHashTable* channels;  // Channel name (owned) -> FlMethodChannel (not owned; removed on dispose).
};

G_DEFINE_TYPE(FlBinaryMessenger, fl_binary_messenger, G_TYPE_OBJECT)

static void fl_binary_messenger_dispose(GObject* object) {
  FlBinaryMessenger* self = FL_BINARY_MESSENGER(object);
  self->engine = nullptr;
  g_clear_pointer(&self->channels, g_hash_table_unref);
  G_OBJECT_CLASS(fl_binary_messenger_parent_class)->dispose(object);
}

static void fl_binary_messenger_class_init(FlBinaryMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_binary_messenger_dispose;
}

static void fl_binary_messenger_init(FlBinaryMessenger* self) {
  self->channels = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
}

FlBinaryMessenger* fl_binary_messenger_new(FlEngine* engine) {
  auto* self = FL_BINARY_MESSENGER(g_object_new(fl_binary_messenger_get_type(), nullptr));
  self->engine = engine;
  return self;
}

void fl_binary_messenger_detach_engine(FlBinaryMessenger* self) { self->engine = nullptr; }

FlEngine* fl_binary_messenger_get_engine(FlBinaryMessenger* self) { return self->engine; }

void fl_binary_messenger_add_channel(FlBinaryMessenger* self, const gchar* name,
                                     FlMethodChannel* channel) {
  if (self->channels == nullptr) return;
  // A newer channel on the same name takes over, as the real messenger does.
  g_hash_table_insert(self->channels, g_strdup(name), channel);
}

void fl_binary_messenger_remove_channel(FlBinaryMessenger* self, const gchar* name,
                                        FlMethodChannel* channel) {
  if (self->channels == nullptr) return;
  if (g_hash_table_lookup(self->channels, name) == channel) {
    g_hash_table_remove(self->channels, name);
  }
}

void fl_binary_messenger_dispatch_call(FlBinaryMessenger* self, const gchar* channel_name,
                                       FlMethodCall* method_call) {
  FlMethodChannel* channel =
      self->channels != nullptr
          ? FL_METHOD_CHANNEL(g_hash_table_lookup(self->channels, channel_name))
          : nullptr;
  if (channel != nullptr) {
    fl_method_channel_handle_call(channel, method_call);
    return;
  }
  g_autoptr(FlMethodNotImplementedResponse) response = fl_method_not_implemented_response_new();
  fl_method_call_respond(method_call, FL_METHOD_RESPONSE(response), nullptr);
}
