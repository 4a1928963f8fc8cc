#include "log_capture.h"

namespace corvel_test {

LogCapture::LogCapture(GLogLevelFlags levels)
    : handler_id_(g_log_set_handler(nullptr, levels, Record, this)) {}

LogCapture::~LogCapture() { g_log_remove_handler(nullptr, handler_id_); }

void LogCapture::Record(const gchar*, GLogLevelFlags level, const gchar* message, gpointer data) {
  auto* self = static_cast<LogCapture*>(data);
  self->lines_.push_back(
      {static_cast<GLogLevelFlags>(level & G_LOG_LEVEL_MASK), message ? message : ""});
}

}  // namespace corvel_test
