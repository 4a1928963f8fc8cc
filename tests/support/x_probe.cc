#include "x_probe.h"

#include <gtest/gtest.h>

#include <vector>

#include "host_harness.h"

// After GoogleTest: Xlib defines macros such as None and Bool.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace corvel_test {

namespace {

std::vector<Window> RootChildren(Display* display) {
  Window root_return, parent_return;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> result;
  if (XQueryTree(display, DefaultRootWindow(display), &root_return, &parent_return, &children,
                 &count)) {
    result.assign(children, children + count);  // Bottom-most first.
  }
  if (children != nullptr) XFree(children);
  return result;
}

}  // namespace

XProbe::XProbe(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}

unsigned long XProbe::AtomNamed(const char* name) { return XInternAtom(display_, name, False); }

XProbe::~XProbe() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

std::optional<Window> XProbe::FindMainWindow(const std::string& res_name) {
  for (Window window : RootChildren(display_)) {
    XClassHint hint{};
    if (!XGetClassHint(display_, window, &hint)) continue;
    bool matches = hint.res_name != nullptr && res_name == hint.res_name;
    XFree(hint.res_name);
    XFree(hint.res_class);
    if (matches && HasProperty(window, "_NET_WM_WINDOW_TYPE")) return window;
  }
  return std::nullopt;
}

bool XProbe::IsOnScreen(Window window) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display_, window, &attributes) && attributes.map_state == IsViewable;
}

std::pair<int, int> XProbe::Size(Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display_, window, &attributes)) return {0, 0};
  return {attributes.width, attributes.height};
}

bool XProbe::HasProperty(Window window, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0, remaining = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(display_, window, AtomNamed(name), 0, 0, False, AnyPropertyType, &type,
                     &format, &items, &remaining, &data);
  if (data != nullptr) XFree(data);
  return type != None;
}

std::string XProbe::TextProperty(Window window, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0, remaining = 0;
  unsigned char* data = nullptr;
  std::string text;
  if (XGetWindowProperty(display_, window, AtomNamed(name), 0, 1024, False, AnyPropertyType, &type,
                         &format, &items, &remaining, &data) == Success &&
      format == 8 && data != nullptr) {
    text.assign(reinterpret_cast<char*>(data), items);
  }
  if (data != nullptr) XFree(data);
  return text;
}

std::optional<long> XProbe::MotifDecorations(Window window) {
  constexpr unsigned long kDecorationsFlag = 1 << 1;
  Atom hints_atom = AtomNamed("_MOTIF_WM_HINTS");
  Atom type = None;
  int format = 0;
  unsigned long items = 0, remaining = 0;
  unsigned char* data = nullptr;
  std::optional<long> decorations;
  if (XGetWindowProperty(display_, window, hints_atom, 0, 5, False, hints_atom, &type, &format,
                         &items, &remaining, &data) == Success &&
      format == 32 && items >= 3) {
    // Flags, functions, decorations, ... as longs.
    const long* hints = reinterpret_cast<const long*>(data);
    if (hints[0] & kDecorationsFlag) decorations = hints[2];
  }
  if (data != nullptr) XFree(data);
  return decorations;
}

void XProbe::Unmap(Window window) {
  XUnmapWindow(display_, window);
  XSync(display_, False);
}

void XProbe::RequestClose(Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = AtomNamed("WM_PROTOCOLS");
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(AtomNamed("WM_DELETE_WINDOW"));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &event);
  XSync(display_, False);
}

Window XProbe::MapCoveringWindow() {
  Screen* screen = DefaultScreenOfDisplay(display_);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window window = XCreateWindow(display_, RootWindowOfScreen(screen), 0, 0, WidthOfScreen(screen),
                                HeightOfScreen(screen), 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect, &attributes);
  XMapRaised(display_, window);
  XSync(display_, False);
  return window;
}

bool XProbe::IsAbove(Window window, Window other) {
  int window_index = -1, other_index = -1, index = 0;
  for (Window child : RootChildren(display_)) {
    if (child == window) window_index = index;
    if (child == other) other_index = index;
    ++index;
  }
  return window_index >= 0 && other_index >= 0 && window_index > other_index;
}

std::optional<XWindow> WaitForViewableMainWindow(XProbe& probe, const std::string& res_name) {
  std::optional<XWindow> window;
  bool shown = RunUntil([&] {
    window = probe.FindMainWindow(res_name);
    return window && probe.IsOnScreen(*window);
  });
  if (!shown) {
    ADD_FAILURE() << "The " << res_name << " window did not appear";
    return std::nullopt;
  }
  return window;
}

}  // namespace corvel_test
