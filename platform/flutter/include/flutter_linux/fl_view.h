#ifndef FLUTTER_LINUX_FL_VIEW_H_
#define FLUTTER_LINUX_FL_VIEW_H_

#include <flutter_linux/fl_dart_project.h>
#include <flutter_linux/fl_engine.h>
#include <gtk/gtk.h>

G_BEGIN_DECLS

// The widget that shows the Flutter UI. It runs its engine from the moment it is realized and
// emits "first-frame" once that engine has drawn its first frame.
G_DECLARE_FINAL_TYPE(FlView, fl_view, FL, VIEW, GtkDrawingArea)

// Keeps a reference to `project`.
FlView* fl_view_new(FlDartProject* project);
FlEngine* fl_view_get_engine(FlView* view);
void fl_view_set_background_color(FlView* view, const GdkRGBA* color);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VIEW_H_
