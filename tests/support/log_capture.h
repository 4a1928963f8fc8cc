// Captures what the code under test logs through GLib with no log domain.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <glib.h>

#include <string>
#include <vector>

namespace corvel_test {

struct LoggedLine {
  GLogLevelFlags level;
  std::string message;
};

// While it lives, lines logged without a domain at the given levels are recorded instead of
// printed (and warnings do not abort a test run with fatal warnings).
class LogCapture {
 public:
  explicit LogCapture(GLogLevelFlags levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING |
                                                                          G_LOG_LEVEL_MESSAGE |
                                                                          G_LOG_LEVEL_CRITICAL));
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LoggedLine>& lines() const { return lines_; }

 private:
  static void Record(const gchar* domain, GLogLevelFlags level, const gchar* message,
                     gpointer data);

  guint handler_id_;
  std::vector<LoggedLine> lines_;
};

}  // namespace corvel_test

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
