// Captures what the code under test logs through GLib.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <glib.h>

#include <string>
#include <vector>

namespace corvel_test {

struct LoggedLine {
  std::string domain;  // Empty for none.
  GLogLevelFlags level;
  std::string message;
};

// While it lives, log lines are recorded instead of printed: with kNoDomain those logged without
// a domain at the given levels (the host's own), with kAllDomains every line of every domain
// (GTK's and GLib's criticals included).
class LogCapture {
 public:
  enum class Scope { kNoDomain, kAllDomains };

  explicit LogCapture(GLogLevelFlags levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING |
                                                                          G_LOG_LEVEL_MESSAGE |
                                                                          G_LOG_LEVEL_CRITICAL),
                      Scope scope = Scope::kNoDomain);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LoggedLine>& lines() const { return lines_; }

 private:
  static void Record(const gchar* domain, GLogLevelFlags level, const gchar* message,
                     gpointer data);

  Scope scope_;
  guint handler_id_ = 0;
  GLogFunc previous_default_ = nullptr;
  gpointer previous_default_data_ = nullptr;
  std::vector<LoggedLine> lines_;
};

}  // namespace corvel_test

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
