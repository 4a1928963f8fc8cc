// Looks at the windows of a test's X server from outside the program under test.
#ifndef TESTS_SUPPORT_X_PROBE_H_
#define TESTS_SUPPORT_X_PROBE_H_

#include <optional>
#include <string>
#include <utility>

struct _XDisplay;  // Xlib's Display.

namespace corvel_test {

// An X window id. Xlib's headers stay out of here: their macros clash with GoogleTest's names.
using XWindow = unsigned long;

class XProbe {
 public:
  // Connects to `display`; connected() tells whether that worked.
  explicit XProbe(const std::string& display);
  ~XProbe();
  XProbe(const XProbe&) = delete;
  XProbe& operator=(const XProbe&) = delete;

  bool connected() const { return display_ != nullptr; }

  // The top-level window of the program whose WM_CLASS name is `res_name` (the one that is a
  // normal window, not its hidden client leader).
  std::optional<XWindow> FindMainWindow(const std::string& res_name);
  bool IsOnScreen(XWindow window);
  // Width and height; zeros when the window is gone.
  std::pair<int, int> Size(XWindow window);
  bool HasProperty(XWindow window, const char* name);
  // A UTF8_STRING or STRING property; empty when absent.
  std::string TextProperty(XWindow window, const char* name);
  // Decorations asked for in _MOTIF_WM_HINTS (GTK asks for none when it draws its own title
  // bar); nullopt when the window does not say.
  std::optional<long> MotifDecorations(XWindow window);

  // Acts as a user would through a window manager.
  void Unmap(XWindow window);
  void RequestClose(XWindow window);
  // Maps a window of the probe's own over the whole screen, on top of all others.
  XWindow MapCoveringWindow();
  // Whether `window` is stacked above `other` among the root's children.
  bool IsAbove(XWindow window, XWindow other);

 private:
  unsigned long AtomNamed(const char* name);

  ::_XDisplay* display_;
};

// Waits until the main window of `res_name` is on screen; nullopt and a test failure on timeout.
std::optional<XWindow> WaitForViewableMainWindow(XProbe& probe, const std::string& res_name);

}  // namespace corvel_test

#endif  // TESTS_SUPPORT_X_PROBE_H_
