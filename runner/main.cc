#include "my_application.h"

int main(int argc, char** argv) {
  // The Flutter view is only supported on X11; a backend chosen by the user still stands.
  g_setenv("GDK_BACKEND", "x11", FALSE);
  g_autoptr(MyApplication) app = my_application_new();
  return g_application_run(G_APPLICATION(app), argc, argv);
}
