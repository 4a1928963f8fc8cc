#include "my_application.h"

#include <dirent.h>
#include <flutter_linux/flutter_linux.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "generated_plugin_registrant.h"
#include "my_application_internal.h"
#include "ptt_keyboard_hook.h"

constexpr char kApplicationId[] = "app.corvel.corvel";
constexpr char kProgramName[] = "corvel";
constexpr char kWindowTitle[] = "Corvel";
constexpr char kActivityChannel[] = "corvel/activity";
constexpr char kDefaultProcDir[] = "/proc";
// One command name: at most 255 characters and the terminating NUL.
constexpr int kCommandNameBufferSize = 256;

struct _MyApplication {
  GtkApplication parent_instance;
  gchar** dart_entrypoint_arguments;  // Owned; the arguments after the program name.
  GtkWindow* window;                  // Not owned; the main window, null once destroyed.
  FlMethodChannel* activity_channel;  // Owned; "corvel/activity".
  gboolean activated;                 // The first activation has built the window.
};

G_DEFINE_TYPE(MyApplication, my_application, GTK_TYPE_APPLICATION)

namespace {

const char* g_proc_dir = kDefaultProcDir;

// True for a whole, positive decimal number, the way process directories are named. strtol also
// accepts a sign and leading zeros, so "+7" and "007" pass here and fail later to open.
bool IsProcessEntryName(const char* name) {
  char* end = nullptr;
  long value = strtol(name, &end, 10);
  return end != name && *end == '\0' && value > 0;
}

// The process's command name from `comm`, or null when it cannot be read or is empty.
FlValue* ReadCommandName(const char* proc_dir, const char* entry_name) {
  g_autofree gchar* path = g_build_filename(proc_dir, entry_name, "comm", nullptr);
  FILE* file = fopen(path, "r");
  if (file == nullptr) return nullptr;
  char line[kCommandNameBufferSize];
  FlValue* name = nullptr;
  if (fgets(line, sizeof(line), file) != nullptr) {
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    if (length > 0) name = fl_value_new_string(line);
  }
  fclose(file);
  return name;
}

// The command names of all processes under `proc_dir`, in directory order, duplicates kept.
FlValue* ListRunningProcessNames(const char* proc_dir) {
  FlValue* names = fl_value_new_list();
  DIR* dir = opendir(proc_dir);
  if (dir == nullptr) return names;
  while (struct dirent* entry = readdir(dir)) {
    if (!IsProcessEntryName(entry->d_name)) continue;
    FlValue* name = ReadCommandName(proc_dir, entry->d_name);
    if (name != nullptr) fl_value_append_take(names, name);
  }
  closedir(dir);
  return names;
}

}  // namespace

void activity_set_proc_dir_for_testing(const char* dir) {
  g_proc_dir = dir != nullptr ? dir : kDefaultProcDir;
}

// Called on the main loop for each method call on "corvel/activity".
void activity_method_call_cb(FlMethodChannel*, FlMethodCall* method_call, gpointer) {
  g_autoptr(FlMethodResponse) response = nullptr;
  if (strcmp(fl_method_call_get_name(method_call), "getRunningProcessNames") == 0) {
    g_autoptr(FlValue) names = ListRunningProcessNames(g_proc_dir);
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(names));
  } else {
    response = FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond(method_call, response, &error)) {
    g_warning("Failed to respond to activity method call: %s", error->message);
  }
}

// A header bar on GNOME Shell and off X11; elsewhere the window manager draws the title.
static gboolean use_header_bar(GtkWindow* window) {
  GdkScreen* screen = gtk_window_get_screen(window);
#ifdef GDK_WINDOWING_X11
  if (GDK_IS_X11_SCREEN(screen)) {
    const gchar* wm_name = gdk_x11_screen_get_window_manager_name(screen);
    return g_strcmp0(wm_name, "GNOME Shell") == 0;
  }
#endif
  return TRUE;
}

static void set_title(GtkWindow* window) {
  if (!use_header_bar(window)) {
    gtk_window_set_title(window, kWindowTitle);
    return;
  }
  GtkHeaderBar* header_bar = GTK_HEADER_BAR(gtk_header_bar_new());
  gtk_widget_show(GTK_WIDGET(header_bar));
  gtk_header_bar_set_title(header_bar, kWindowTitle);
  gtk_header_bar_set_show_close_button(header_bar, TRUE);
  gtk_window_set_titlebar(window, GTK_WIDGET(header_bar));
}

// Called when the main window is destroyed; a later activation must not present it.
static void window_destroy_cb(MyApplication* self) { self->window = nullptr; }

// Called when the view has drawn its first frame: only now does the window appear.
static void first_frame_cb(MyApplication*, FlView* view) {
  gtk_widget_show(gtk_widget_get_toplevel(GTK_WIDGET(view)));
}

static void present_window(MyApplication* self) {
  if (self->window == nullptr) return;  // Destroyed: the application is on its way out.
  gtk_widget_show(GTK_WIDGET(self->window));
  gtk_window_deiconify(self->window);
  gtk_window_present_with_time(self->window, 0);
}

static void open_activity_channel(MyApplication* self, FlView* view) {
  FlEngine* engine = fl_view_get_engine(view);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  self->activity_channel = fl_method_channel_new(fl_engine_get_binary_messenger(engine),
                                                 kActivityChannel, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(self->activity_channel, activity_method_call_cb, self,
                                            nullptr);
}

// Builds the hidden main window around the Flutter view; it is shown at the first frame.
static void build_main_window(MyApplication* self) {
  GtkWindow* window = GTK_WINDOW(gtk_application_window_new(GTK_APPLICATION(self)));
  self->window = window;
  self->activated = TRUE;
  g_signal_connect_swapped(window, "destroy", G_CALLBACK(window_destroy_cb), self);
  set_title(window);
  gtk_window_set_default_size(window, 1280, 720);

  g_autoptr(FlDartProject) project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(project, self->dart_entrypoint_arguments);

  FlView* view = fl_view_new(project);
  GdkRGBA background_color;
  gdk_rgba_parse(&background_color, "#000000");
  fl_view_set_background_color(view, &background_color);
  gtk_widget_show(GTK_WIDGET(view));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));

  g_signal_connect_swapped(view, "first-frame", G_CALLBACK(first_frame_cb), self);
  gtk_widget_realize(GTK_WIDGET(view));

  fl_register_plugins(FL_PLUGIN_REGISTRY(view));
  open_activity_channel(self, view);
  ptt_hook::Init(fl_engine_get_binary_messenger(fl_view_get_engine(view)));

  gtk_widget_grab_focus(GTK_WIDGET(view));
}

static void my_application_activate(GApplication* application) {
  MyApplication* self = MY_APPLICATION(application);
  if (self->activated) {
    present_window(self);
    return;
  }
  build_main_window(self);
}

static gboolean my_application_local_command_line(GApplication* application, gchar*** arguments,
                                                  int* exit_status) {
  MyApplication* self = MY_APPLICATION(application);
  // Everything after the program name goes to Dart; an empty vector has no program name either.
  gchar** argv = *arguments;
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  self->dart_entrypoint_arguments = g_strdupv(argv[0] != nullptr ? argv + 1 : argv);

  g_autoptr(GError) error = nullptr;
  if (!g_application_register(application, nullptr, &error)) {
    g_warning("Failed to register: %s", error->message);
    *exit_status = 1;
    return TRUE;
  }
  g_application_activate(application);
  *exit_status = 0;
  return TRUE;
}

static void my_application_startup(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->startup(application);
}

static void my_application_shutdown(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->shutdown(application);
}

static void my_application_dispose(GObject* object) {
  MyApplication* self = MY_APPLICATION(object);
  // First, so that the key monitor and the cue player stop before the channels go.
  ptt_hook::Shutdown();
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  g_clear_object(&self->activity_channel);
  if (self->window != nullptr) {
    g_signal_handlers_disconnect_by_data(self->window, self);
    self->window = nullptr;
  }
  G_OBJECT_CLASS(my_application_parent_class)->dispose(object);
}

static void my_application_class_init(MyApplicationClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = my_application_dispose;
  G_APPLICATION_CLASS(klass)->startup = my_application_startup;
  G_APPLICATION_CLASS(klass)->activate = my_application_activate;
  G_APPLICATION_CLASS(klass)->local_command_line = my_application_local_command_line;
  G_APPLICATION_CLASS(klass)->shutdown = my_application_shutdown;
}

static void my_application_init(MyApplication*) {}

MyApplication* my_application_new() {
  // Set before the object exists and before GTK starts, so both see "corvel".
  g_set_prgname(kProgramName);
  return MY_APPLICATION(g_object_new(my_application_get_type(), "application-id", kApplicationId,
                                     "flags", G_APPLICATION_DEFAULT_FLAGS, nullptr));
}
