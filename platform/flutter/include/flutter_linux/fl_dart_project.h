#ifndef FLUTTER_LINUX_FL_DART_PROJECT_H_
#define FLUTTER_LINUX_FL_DART_PROJECT_H_

#include <glib-object.h>

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

FlDartProject* fl_dart_project_new();

// Copies `argv`, a null-terminated vector; the caller keeps owning it.
void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project, char** argv);
gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_DART_PROJECT_H_
