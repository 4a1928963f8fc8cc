#include "ptt_inprocess.h"

#include <flutter_standin/testing.h>

#include "corvel_ptt_gate.h"

namespace ptt_test {

GateWatcher::GateWatcher() { corvel_ptt_gate_set_observer(&GateWatcher::Observe, this); }

GateWatcher::~GateWatcher() { corvel_ptt_gate_set_observer(nullptr, nullptr); }

void GateWatcher::Observe(bool enabled, int64_t monotonic_ns, void* self) {
  auto* watcher = static_cast<GateWatcher*>(self);
  {
    std::lock_guard lock(watcher->mutex_);
    watcher->calls_.push_back({enabled, monotonic_ns});
  }
  watcher->arrived_.notify_all();
}

bool GateWatcher::WaitForCalls(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
}

std::vector<GateCall> GateWatcher::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

LogCapture& LogCapture::Get() {
  static LogCapture* const capture = [] {
    auto* created = new LogCapture();
    g_log_set_writer_func(&LogCapture::Write, created, nullptr);
    return created;
  }();
  return *capture;
}

void LogCapture::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

void LogCapture::SetEcho(bool echo) {
  std::lock_guard lock(mutex_);
  echo_ = echo;
}

GLogWriterOutput LogCapture::Write(GLogLevelFlags level, const GLogField* fields, gsize n_fields,
                                   gpointer self) {
  const int64_t logged_us = g_get_monotonic_time();
  auto* capture = static_cast<LogCapture*>(self);
  bool echo;
  {
    std::lock_guard lock(capture->mutex_);
    for (gsize i = 0; i < n_fields; ++i) {
      if (g_strcmp0(fields[i].key, "MESSAGE") != 0) continue;
      capture->lines_.push_back({static_cast<const char*>(fields[i].value), logged_us});
    }
    echo = capture->echo_;
  }
  return echo ? g_log_writer_default(level, fields, n_fields, nullptr) : G_LOG_WRITER_HANDLED;
}

std::vector<std::string> LogCapture::LinesStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> found;
  for (const Line& line : lines_) {
    if (line.text.starts_with(prefix)) found.push_back(line.text);
  }
  return found;
}

std::vector<int64_t> LogCapture::TimesOfLinesStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<int64_t> found;
  for (const Line& line : lines_) {
    if (line.text.starts_with(prefix)) found.push_back(line.logged_us);
  }
  return found;
}

bool RunLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  bool timed_out = false;
  const guint timer = g_timeout_add(
      static_cast<guint>(timeout.count()),
      [](gpointer flag) {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &timed_out);
  while (!done() && !timed_out) g_main_context_iteration(nullptr, TRUE);
  if (!timed_out) g_source_remove(timer);
  return !timed_out;
}

FlValue* RegisterArgs(const char* action, int64_t keycode) {
  FlValue* args = fl_value_new_map();
  fl_value_set_string_take(args, "action", fl_value_new_string(action));
  fl_value_set_string_take(args, "keycode", fl_value_new_int(keycode));
  return args;
}

std::string CallPtt(FlBinaryMessenger* messenger, const char* method, FlValue* args) {
  g_autoptr(FlMethodResponse) response =
      flutter_standin::CallFromDart(messenger, kChannel, method, args);
  if (response == nullptr) return "no response";
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    auto* error = FL_METHOD_ERROR_RESPONSE(response);
    return std::string("error ") + fl_method_error_response_get_code(error) + ": " +
           fl_method_error_response_get_message(error);
  }
  if (FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) return "not implemented";
  FlValue* result = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
  if (result == nullptr || fl_value_get_type(result) == FL_VALUE_TYPE_NULL) return "null";
  return "success " + std::to_string(fl_value_get_type(result));
}

}  // namespace ptt_test
