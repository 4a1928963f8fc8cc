#ifndef FLUTTER_LINUX_FL_ENGINE_H_
#define FLUTTER_LINUX_FL_ENGINE_H_

#include <flutter_linux/fl_binary_messenger.h>
#include <flutter_linux/fl_dart_project.h>
#include <glib-object.h>

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(FlEngine, fl_engine, FL, ENGINE, GObject)

// An engine that renders nothing; it runs once started.
FlEngine* fl_engine_new_headless(FlDartProject* project);
gboolean fl_engine_start(FlEngine* engine, GError** error);
FlBinaryMessenger* fl_engine_get_binary_messenger(FlEngine* engine);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_ENGINE_H_
