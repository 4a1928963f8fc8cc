// A stand-in window manager for tests. It manages nothing: it only claims a name the EWMH way
// (a check window named on the root window and on itself), which is all GDK reads to tell the
// window manager's name. Writes "ready" to descriptor 3 once the claim is in place, then waits
// until it is killed.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s NAME\n", argv[0]);
    return 2;
  }
  const char* name = argv[1];
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "standin_wm: cannot open the display\n");
    return 1;
  }
  Window root = DefaultRootWindow(display);
  Window check = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
  Atom supporting_check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom wm_name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom utf8_string = XInternAtom(display, "UTF8_STRING", False);
  // GDK ignores a name of type STRING: it must be UTF8_STRING.
  XChangeProperty(display, check, wm_name, utf8_string, 8, PropModeReplace,
                  (const unsigned char*)name, (int)strlen(name));
  XChangeProperty(display, check, supporting_check, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XChangeProperty(display, root, supporting_check, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XSync(display, False);
  if (write(3, "ready\n", 6) != 6) return 1;
  close(3);
  for (;;) {
    XEvent event;
    XNextEvent(display, &event);
  }
}
