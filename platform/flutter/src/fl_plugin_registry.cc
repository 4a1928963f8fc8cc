#include "flutter_linux/fl_plugin_registry.h"

G_DEFINE_INTERFACE(FlPluginRegistry, fl_plugin_registry, G_TYPE_OBJECT)

static void fl_plugin_registry_default_init(FlPluginRegistryInterface*) {}

FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* self,
                                                               const gchar* name) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRY(self), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  return FL_PLUGIN_REGISTRY_GET_IFACE(self)->get_registrar_for_plugin(self, name);
}
