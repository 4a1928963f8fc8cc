#include "flutter_linux/fl_plugin_registrar.h"

#include "fl_private.h"
#include "flutter_standin/plugin_report.h"
#include "json_values.h"

struct _FlPluginRegistrar {
  GObject parent_instance;
  FlView* view;                  // Weak pointer; null once the view is gone.
  FlBinaryMessenger* messenger;  // Owned reference.
  gchar* plugin_name;            // Owned; the name the registrar was requested for.
};

G_DEFINE_TYPE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

static void fl_plugin_registrar_dispose(GObject* object) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(object);
  if (self->view != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(self->view), reinterpret_cast<gpointer*>(&self->view));
    self->view = nullptr;
  }
  g_clear_object(&self->messenger);
  g_clear_pointer(&self->plugin_name, g_free);
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->dispose(object);
}

static void fl_plugin_registrar_class_init(FlPluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_plugin_registrar_dispose;
}

static void fl_plugin_registrar_init(FlPluginRegistrar*) {}

FlPluginRegistrar* fl_plugin_registrar_new(FlView* view, FlBinaryMessenger* messenger,
                                           const gchar* plugin_name) {
  auto* self = FL_PLUGIN_REGISTRAR(g_object_new(fl_plugin_registrar_get_type(), nullptr));
  self->view = view;
  if (view != nullptr) {
    g_object_add_weak_pointer(G_OBJECT(view), reinterpret_cast<gpointer*>(&self->view));
  }
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->plugin_name = g_strdup(plugin_name);
  return self;
}

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return self->messenger;
}

FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return self->view;
}

void flutter_standin_report_plugin_registered(FlPluginRegistrar* self, const char* plugin) {
  g_return_if_fail(FL_IS_PLUGIN_REGISTRAR(self));
  FlEngine* engine = fl_binary_messenger_get_engine(self->messenger);
  if (engine == nullptr) return;
  fl_engine_send_event(
      engine,
      flutter_standin::MakeEvent("plugin_registered",
                                 {{"plugin", flutter_standin::JsonString(plugin)},
                                  {"registrar", flutter_standin::JsonString(self->plugin_name)}}));
}
