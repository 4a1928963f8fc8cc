#include "flutter_linux/fl_method_call.h"

#include <gio/gio.h>

#include "fl_private.h"

struct _FlMethodCall {
  GObject parent_instance;
  gchar* name;                   // Owned.
  FlValue* args;                 // Owned reference; may be null.
  FlMethodCallReplyFunc reply;   // Where the response goes; null when the caller is unreachable.
  gpointer reply_data;           // Released with `reply_destroy`.
  GDestroyNotify reply_destroy;  // May be null.
  gboolean responded;            // A response was accepted (or refused for an unreachable caller).
};

G_DEFINE_TYPE(FlMethodCall, fl_method_call, G_TYPE_OBJECT)

static void fl_method_call_dispose(GObject* object) {
  FlMethodCall* self = FL_METHOD_CALL(object);
  // A handler that drops a call leaves the Dart side waiting for ever: say so loudly. `name` is
  // cleared by the first dispose, so a second one stays quiet.
  if (!self->responded && self->name != nullptr) {
    g_critical("Method call \"%s\" was released without a response", self->name);
  }
  g_clear_pointer(&self->name, g_free);
  g_clear_pointer(&self->args, fl_value_unref);
  if (self->reply_destroy != nullptr) {
    g_clear_pointer(&self->reply_data, self->reply_destroy);
  }
  G_OBJECT_CLASS(fl_method_call_parent_class)->dispose(object);
}

static void fl_method_call_class_init(FlMethodCallClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_call_dispose;
}

static void fl_method_call_init(FlMethodCall*) {}

FlMethodCall* fl_method_call_new(const gchar* name, FlValue* args, FlMethodCallReplyFunc reply,
                                 gpointer reply_data, GDestroyNotify reply_destroy) {
  auto* self = FL_METHOD_CALL(g_object_new(fl_method_call_get_type(), nullptr));
  self->name = g_strdup(name);
  self->args = args != nullptr ? fl_value_ref(args) : nullptr;
  self->reply = reply;
  self->reply_data = reply_data;
  self->reply_destroy = reply_destroy;
  return self;
}

const gchar* fl_method_call_get_name(FlMethodCall* self) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), nullptr);
  return self->name;
}

FlValue* fl_method_call_get_args(FlMethodCall* self) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), nullptr);
  return self->args;
}

gboolean fl_method_call_respond(FlMethodCall* self, FlMethodResponse* response, GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CALL(self), FALSE);
  g_return_val_if_fail(FL_IS_METHOD_RESPONSE(response), FALSE);
  if (self->responded) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_EXISTS, "Method call \"%s\" already has a response",
                self->name);
    return FALSE;
  }
  self->responded = TRUE;
  if (self->reply == nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_CLOSED,
                "The caller of method \"%s\" can no longer be reached", self->name);
    return FALSE;
  }
  self->reply(response, self->reply_data);
  return TRUE;
}
