#include "flutter_linux/fl_view.h"

#include "fl_private.h"
#include "json_values.h"

// The engine renders its first frame off-screen about one frame interval after it starts.
constexpr guint kFirstFrameDelayMs = 16;

struct _FlView {
  GtkDrawingArea parent_instance;
  FlDartProject* project;    // Owned reference.
  FlEngine* engine;          // Owned reference.
  GdkRGBA background;        // Painted where the Flutter UI would be.
  guint first_frame_source;  // Pending first-frame timeout; 0 when none.
  gboolean first_frame_drawn;
};

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlView, fl_view, GTK_TYPE_DRAWING_AREA,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_view_plugin_registry_iface_init))

enum { kSignalFirstFrame, kLastSignal };
static guint fl_view_signals[kLastSignal];

static FlPluginRegistrar* fl_view_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                           const gchar* name) {
  FlView* self = FL_VIEW(registry);
  fl_engine_send_event(
      self->engine,
      flutter_standin::MakeEvent("registrar", {{"plugin", flutter_standin::JsonString(name)}}));
  return fl_plugin_registrar_new(self, fl_engine_get_binary_messenger(self->engine), name);
}

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = fl_view_get_registrar_for_plugin;
}

// Called by the main loop once the engine has had time to draw its first frame.
static gboolean first_frame_cb(gpointer data) {
  FlView* self = FL_VIEW(data);
  self->first_frame_source = 0;
  self->first_frame_drawn = TRUE;
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(self));
  // Tells the driver whether the window was already on screen when the frame was ready.
  fl_engine_send_event(
      self->engine,
      flutter_standin::MakeEvent(
          "first_frame",
          {{"window_mapped",
            json_node_init_boolean(json_node_alloc(), gtk_widget_get_mapped(toplevel))}}));
  g_signal_emit(self, fl_view_signals[kSignalFirstFrame], 0);
  return G_SOURCE_REMOVE;
}

static void fl_view_realize(GtkWidget* widget) {
  FlView* self = FL_VIEW(widget);
  GTK_WIDGET_CLASS(fl_view_parent_class)->realize(widget);
  g_autoptr(GError) error = nullptr;
  if (!fl_engine_start(self->engine, &error)) {
    g_warning("Failed to start Flutter engine: %s", error->message);
    return;
  }
  if (!self->first_frame_drawn && self->first_frame_source == 0) {
    self->first_frame_source = g_timeout_add(kFirstFrameDelayMs, first_frame_cb, self);
  }
}

static gboolean fl_view_draw(GtkWidget* widget, cairo_t* cr) {
  FlView* self = FL_VIEW(widget);
  gdk_cairo_set_source_rgba(cr, &self->background);
  cairo_paint(cr);
  return TRUE;
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  if (self->first_frame_source != 0) {
    g_source_remove(self->first_frame_source);
    self->first_frame_source = 0;
  }
  g_clear_object(&self->engine);
  g_clear_object(&self->project);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  GTK_WIDGET_CLASS(klass)->realize = fl_view_realize;
  GTK_WIDGET_CLASS(klass)->draw = fl_view_draw;
  fl_view_signals[kSignalFirstFrame] =
      g_signal_new("first-frame", fl_view_get_type(), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
                   nullptr, G_TYPE_NONE, 0);
}

static void fl_view_init(FlView* self) {
  self->background = GdkRGBA{0.0, 0.0, 0.0, 1.0};
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
}

FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  auto* self = FL_VIEW(g_object_new(fl_view_get_type(), nullptr));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  self->engine = fl_engine_new(project);
  return self;
}

FlEngine* fl_view_get_engine(FlView* self) {
  g_return_val_if_fail(FL_IS_VIEW(self), nullptr);
  return self->engine;
}

void fl_view_set_background_color(FlView* self, const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(self));
  g_return_if_fail(color != nullptr);
  self->background = *color;
  gtk_widget_queue_draw(GTK_WIDGET(self));
}
