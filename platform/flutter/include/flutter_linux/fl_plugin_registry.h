#ifndef FLUTTER_LINUX_FL_PLUGIN_REGISTRY_H_
#define FLUTTER_LINUX_FL_PLUGIN_REGISTRY_H_

#include <flutter_linux/fl_plugin_registrar.h>
#include <glib-object.h>

G_BEGIN_DECLS

G_DECLARE_INTERFACE(FlPluginRegistry, fl_plugin_registry, FL, PLUGIN_REGISTRY, GObject)

struct _FlPluginRegistryInterface {
  GTypeInterface g_iface;

  FlPluginRegistrar* (*get_registrar_for_plugin)(FlPluginRegistry* registry, const gchar* name);
};

// Returns a new reference.
FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                               const gchar* name);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_PLUGIN_REGISTRY_H_
