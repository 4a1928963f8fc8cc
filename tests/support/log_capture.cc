#include "log_capture.h"

namespace corvel_test {

LogCapture::LogCapture(GLogLevelFlags levels, Scope scope) : scope_(scope) {
  if (scope_ == Scope::kNoDomain) {
    handler_id_ = g_log_set_handler(nullptr, levels, Record, this);
  } else {
    previous_default_ = g_log_set_default_handler(Record, this);
  }
}

LogCapture::~LogCapture() {
  if (scope_ == Scope::kNoDomain) {
    g_log_remove_handler(nullptr, handler_id_);
  } else {
    g_log_set_default_handler(previous_default_, previous_default_data_);
  }
}

void LogCapture::Record(const gchar* domain, GLogLevelFlags level, const gchar* message,
                        gpointer data) {
  auto* self = static_cast<LogCapture*>(data);
  self->lines_.push_back({domain ? domain : "",
                          static_cast<GLogLevelFlags>(level & G_LOG_LEVEL_MASK),
                          message ? message : ""});
}

}  // namespace corvel_test
