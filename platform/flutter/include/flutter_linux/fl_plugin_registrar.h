#ifndef FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_
#define FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_

#include <flutter_linux/fl_binary_messenger.h>
#include <glib-object.h>

G_BEGIN_DECLS

typedef struct _FlView FlView;

// What one plugin gets from the registry to attach itself to the engine.
G_DECLARE_FINAL_TYPE(FlPluginRegistrar, fl_plugin_registrar, FL, PLUGIN_REGISTRAR, GObject)

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* registrar);
FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_PLUGIN_REGISTRAR_H_
