// The application object in this process: its states from creation to dispose, on a private
// Xvfb and session bus, with the stand-in engine's Dart side played by the harness's driver.
#include "my_application.h"

#include <gtest/gtest.h>

#include "host_harness.h"
#include "log_capture.h"

namespace {

using corvel_test::HostEnvironment;

TEST(MyApplicationTest, DisposeOfUnregisteredApplicationIsHarmlessTwice) {
  MyApplication* app = my_application_new();
  ASSERT_TRUE(MY_IS_APPLICATION(app));
  EXPECT_STREQ(g_get_prgname(), "corvel");
  g_autofree gchar* id = nullptr;
  g_object_get(app, "application-id", &id, nullptr);
  EXPECT_TRUE(g_str_has_suffix(id, ".corvel")) << id;
  g_object_run_dispose(G_OBJECT(app));
  g_object_run_dispose(G_OBJECT(app));
  g_object_unref(app);
}

// Points this process at the environment's display, bus and driver, as corvel's would be.
void UseEnvironment(const HostEnvironment& env) {
  for (const std::string& entry : env.Environment()) {
    size_t equals = entry.find('=');
    g_setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), TRUE);
  }
  // The application shares this process's session bus connection, which would otherwise end
  // the test process when the environment stops its bus.
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus != nullptr) g_dbus_connection_set_exit_on_close(bus, FALSE);
}

// What the test does inside the application's main loop.
struct DestroyThenActivate {
  HostEnvironment* env;
  MyApplication* app;
  bool window_was_visible = false;
  bool window_rebuilt = false;
  bool timed_out = false;
  guint poll_source = 0;  // The polling callback, until it has run its course.
};

// Polled from the main loop: once the first frame is drawn, closes the window the hard way and
// activates again, as a later launch would.
gboolean DestroyWindowAfterFirstFrame(gpointer data) {
  auto* step = static_cast<DestroyThenActivate*>(data);
  if (step->env->dart().EventsNamed("first_frame").empty()) return G_SOURCE_CONTINUE;
  step->poll_source = 0;
  GList* windows = gtk_application_get_windows(GTK_APPLICATION(step->app));
  if (windows == nullptr) return G_SOURCE_REMOVE;
  step->window_was_visible = gtk_widget_get_visible(GTK_WIDGET(windows->data));
  gtk_widget_destroy(GTK_WIDGET(windows->data));
  g_application_activate(G_APPLICATION(step->app));
  step->window_rebuilt = gtk_application_get_windows(GTK_APPLICATION(step->app)) != nullptr;
  return G_SOURCE_REMOVE;
}

gboolean GiveUp(gpointer data) {
  auto* step = static_cast<DestroyThenActivate*>(data);
  step->timed_out = true;
  g_application_quit(G_APPLICATION(step->app));
  return G_SOURCE_REMOVE;
}

// Once the window is gone, a later activation must neither touch the destroyed window nor build
// a second one: no second engine, registration or channel. Dispose then runs in the state the
// application ends in, twice.
TEST(MyApplicationTest, ActivationAfterTheWindowIsDestroyedDoesNothing) {
  HostEnvironment env;
  ASSERT_TRUE(env.Start());
  UseEnvironment(env);
  corvel_test::LogCapture log(G_LOG_LEVEL_MASK, corvel_test::LogCapture::Scope::kAllDomains);
  MyApplication* app = my_application_new();
  DestroyThenActivate step{.env = &env, .app = app};
  step.poll_source = g_timeout_add(5, DestroyWindowAfterFirstFrame, &step);
  guint give_up = g_timeout_add(corvel_test::kDefaultTimeoutMs, GiveUp, &step);
  const char* argv[] = {"corvel", nullptr};
  EXPECT_EQ(g_application_run(G_APPLICATION(app), 1, const_cast<char**>(argv)), 0);
  g_source_remove(give_up);
  g_clear_handle_id(&step.poll_source, g_source_remove);
  ASSERT_FALSE(step.timed_out) << "the window never drew its first frame";
  EXPECT_TRUE(step.window_was_visible);
  EXPECT_FALSE(step.window_rebuilt);

  // The activity channel outlives the view and engine it was made on; releasing it is quiet.
  g_object_run_dispose(G_OBJECT(app));
  g_object_run_dispose(G_OBJECT(app));
  g_object_unref(app);
  EXPECT_EQ(env.dart().connections(), 1u);
  EXPECT_EQ(env.dart().EventsNamed("started").size(), 1u);
  EXPECT_EQ(env.dart().EventsNamed("registrar").size(), 19u);
  for (const corvel_test::LoggedLine& line : log.lines()) {
    EXPECT_FALSE(line.level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        << line.domain << ": " << line.message;
  }
  // GDK ends the process when its X server goes away under it.
  gdk_display_close(gdk_display_get_default());
}

}  // namespace
