#include "host_harness.h"

#include <fcntl.h>
#include <gio/gunixinputstream.h>
#include <gio/gunixsocketaddress.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>

namespace corvel_test {

namespace {

// How long a process that was asked to stop may take before it is killed.
constexpr unsigned kStopTimeoutMs = 3000;

gboolean MarkTrue(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

// Reads one line from a pipe the child writes to (Xvfb's display number, the bus address, the
// window manager's "ready"), running the main loop while waiting. Takes over `fd`.
std::optional<std::string> ReadLineFromPipe(int fd, unsigned timeout_ms) {
  g_autoptr(GInputStream) raw = g_unix_input_stream_new(fd, TRUE);
  g_autoptr(GDataInputStream) lines = g_data_input_stream_new(raw);
  struct State {
    bool done = false;
    gchar* line = nullptr;
  } state;
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  g_data_input_stream_read_line_async(
      lines, G_PRIORITY_DEFAULT, cancellable,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* state = static_cast<State*>(data);
        state->line = g_data_input_stream_read_line_finish_utf8(G_DATA_INPUT_STREAM(source), result,
                                                                nullptr, nullptr);
        state->done = true;
      },
      &state);
  if (!RunUntil([&] { return state.done; }, timeout_ms)) {
    g_cancellable_cancel(cancellable);
    RunUntil([&] { return state.done; }, kStopTimeoutMs);
  }
  g_autofree gchar* line = state.line;
  if (line == nullptr) return std::nullopt;
  return std::string(line);
}

std::string BusConfig(const std::string& socket_dir, bool deny_bus_names) {
  return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:dir=" +
         socket_dir +
         "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "    <" +
         (deny_bus_names ? "deny" : "allow") +
         " own=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

}  // namespace

bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms) {
  bool timed_out = false;
  guint timeout = g_timeout_add(timeout_ms, MarkTrue, &timed_out);
  // Conditions on outside state (an X window's map state) change without waking the loop, so
  // it wakes at least every few milliseconds to look again.
  guint tick = g_timeout_add(
      5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && !timed_out) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
  if (!timed_out) g_source_remove(timeout);
  return done();
}

TempDir::TempDir() {
  g_autofree gchar* path = g_dir_make_tmp("corvel-test-XXXXXX", nullptr);
  path_ = path != nullptr ? path : "";
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  g_autoptr(GFile) dir = g_file_new_for_path(path_.c_str());
  // Depth first: GIO deletes only empty directories.
  std::function<void(GFile*)> remove_tree = [&](GFile* file) {
    g_autoptr(GFileEnumerator) children =
        g_file_enumerate_children(file, G_FILE_ATTRIBUTE_STANDARD_NAME,
                                  G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, nullptr);
    while (children != nullptr) {
      GFile* child = nullptr;
      if (!g_file_enumerator_iterate(children, nullptr, &child, nullptr, nullptr) || !child) break;
      remove_tree(child);
    }
    g_file_delete(file, nullptr, nullptr);
  };
  remove_tree(dir);
}

std::string ReadFileOrEmpty(const std::string& path) {
  g_autofree gchar* contents = nullptr;
  if (path.empty() || !g_file_get_contents(path.c_str(), &contents, nullptr, nullptr)) return {};
  return contents;
}

// ChildProcess ----------------------------------------------------------------------------------

std::unique_ptr<ChildProcess> ChildProcess::Spawn(const Options& options, GError** error) {
  auto flags = static_cast<GSubprocessFlags>(
      (options.stdout_path.empty() ? G_SUBPROCESS_FLAGS_STDOUT_SILENCE : 0) |
      (options.stderr_path.empty() ? G_SUBPROCESS_FLAGS_STDERR_SILENCE : 0));
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(flags);
  if (!options.stdout_path.empty()) {
    g_subprocess_launcher_set_stdout_file_path(launcher, options.stdout_path.c_str());
  }
  if (!options.stderr_path.empty()) {
    g_subprocess_launcher_set_stderr_file_path(launcher, options.stderr_path.c_str());
  }
  std::vector<const gchar*> environment;
  for (const std::string& entry : options.environment) environment.push_back(entry.c_str());
  environment.push_back(nullptr);
  g_subprocess_launcher_set_environ(launcher, const_cast<gchar**>(environment.data()));
  if (options.pass_fd >= 0) g_subprocess_launcher_take_fd(launcher, dup(options.pass_fd), 3);
  // A test that dies must not leave its X server and bus behind.
  g_subprocess_launcher_set_child_setup(
      launcher, [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }, nullptr, nullptr);
  std::vector<const gchar*> argv;
  for (const std::string& arg : options.argv) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv.data(), error);
  if (process == nullptr) return nullptr;
  return std::unique_ptr<ChildProcess>(
      new ChildProcess(process, options.stdout_path, options.stderr_path));
}

ChildProcess::ChildProcess(GSubprocess* process, std::string stdout_path, std::string stderr_path)
    : process_(process),
      stdout_path_(std::move(stdout_path)),
      stderr_path_(std::move(stderr_path)),
      running_(std::make_shared<bool>(true)) {
  g_subprocess_wait_async(process_, nullptr, OnExited, new std::shared_ptr<bool>(running_));
}

void ChildProcess::OnExited(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<std::shared_ptr<bool>> running(static_cast<std::shared_ptr<bool>*>(data));
  g_subprocess_wait_finish(G_SUBPROCESS(source), result, nullptr);
  **running = false;
}

ChildProcess::~ChildProcess() {
  if (*running_) {
    g_subprocess_send_signal(process_, SIGTERM);
    if (!RunUntil([this] { return !*running_; }, kStopTimeoutMs)) {
      g_subprocess_force_exit(process_);
      RunUntil([this] { return !*running_; }, kStopTimeoutMs);
    }
  }
  g_object_unref(process_);
}

std::optional<int> ChildProcess::WaitForExit(unsigned timeout_ms) {
  if (!RunUntil([this] { return !*running_; }, timeout_ms)) return std::nullopt;
  if (!g_subprocess_get_if_exited(process_)) return std::nullopt;
  return g_subprocess_get_exit_status(process_);
}

bool ChildProcess::exited() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  return !*running_;
}

int ChildProcess::pid() const {
  const gchar* id = g_subprocess_get_identifier(process_);
  return id != nullptr ? atoi(id) : -1;
}

void ChildProcess::Signal(int signal_number) {
  if (*running_) g_subprocess_send_signal(process_, signal_number);
}

// DartDriver ------------------------------------------------------------------------------------

DartDriver::~DartDriver() {
  if (cancellable_ != nullptr) {
    g_cancellable_cancel(cancellable_);
    // Let the cancelled reads and accepts finish before the objects they point at go.
    RunUntil([this] { return pending_ == 0; }, kStopTimeoutMs);
  }
  for (JsonObject* event : events_) json_object_unref(event);
  for (GSocketConnection* connection : connections_) {
    g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
    g_object_unref(connection);
  }
  g_clear_object(&listener_);
  g_clear_object(&cancellable_);
}

bool DartDriver::Listen(const std::string& path, GError** error) {
  listener_ = g_socket_listener_new();
  cancellable_ = g_cancellable_new();
  g_autoptr(GSocketAddress) address = g_unix_socket_address_new(path.c_str());
  if (!g_socket_listener_add_address(listener_, address, G_SOCKET_TYPE_STREAM,
                                     G_SOCKET_PROTOCOL_DEFAULT, nullptr, nullptr, error)) {
    return false;
  }
  AcceptNext();
  return true;
}

void DartDriver::AcceptNext() {
  ++pending_;
  g_socket_listener_accept_async(listener_, cancellable_, OnAccepted, this);
}

void DartDriver::OnAccepted(GObject* source, GAsyncResult* result, gpointer data) {
  auto* self = static_cast<DartDriver*>(data);
  --self->pending_;
  GSocketConnection* connection =
      g_socket_listener_accept_finish(G_SOCKET_LISTENER(source), result, nullptr, nullptr);
  if (connection == nullptr) return;  // Cancelled: the driver is going away.
  self->connections_.push_back(connection);
  GDataInputStream* lines =
      g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(connection)));
  self->ReadNextLine(lines);
  g_object_unref(lines);  // The pending read keeps it.
  self->AcceptNext();
}

void DartDriver::ReadNextLine(GDataInputStream* lines) {
  ++pending_;
  g_data_input_stream_read_line_async(lines, G_PRIORITY_DEFAULT, cancellable_, OnLine, this);
}

void DartDriver::OnLine(GObject* source, GAsyncResult* result, gpointer data) {
  auto* self = static_cast<DartDriver*>(data);
  --self->pending_;
  g_autofree gchar* line = g_data_input_stream_read_line_finish_utf8(G_DATA_INPUT_STREAM(source),
                                                                     result, nullptr, nullptr);
  if (line == nullptr) return;  // The engine closed the socket, or the driver is going away.
  g_autoptr(JsonParser) parser = json_parser_new();
  g_autoptr(GError) error = nullptr;
  if (json_parser_load_from_data(parser, line, -1, &error) &&
      JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
    self->events_.push_back(json_object_ref(json_node_get_object(json_parser_get_root(parser))));
  } else {
    ADD_FAILURE() << "The engine wrote a line that is not a JSON object: " << line;
  }
  self->ReadNextLine(G_DATA_INPUT_STREAM(source));
}

std::vector<JsonObject*> DartDriver::EventsNamed(const std::string& name) const {
  std::vector<JsonObject*> named;
  for (JsonObject* event : events_) {
    if (StringMember(event, "event") == name) named.push_back(event);
  }
  return named;
}

JsonObject* DartDriver::WaitForEvent(const std::string& name, size_t nth, unsigned timeout_ms) {
  if (!RunUntil([&] { return EventsNamed(name).size() > nth; }, timeout_ms)) {
    ADD_FAILURE() << "No event \"" << name << "\" #" << nth << " within " << timeout_ms << " ms";
    return nullptr;
  }
  return EventsNamed(name)[nth];
}

int64_t DartDriver::Call(const std::string& channel, const std::string& method,
                         const std::string& args_json) {
  if (!RunUntil([this] { return !connections_.empty(); })) {
    ADD_FAILURE() << "No engine connected to the driver";
    return -1;
  }
  g_autoptr(JsonParser) parser = json_parser_new();
  if (!json_parser_load_from_data(parser, args_json.c_str(), -1, nullptr)) {
    ADD_FAILURE() << "Arguments are not JSON: " << args_json;
    return -1;
  }
  int64_t id = next_id_++;
  g_autoptr(JsonBuilder) builder = json_builder_new();
  json_builder_begin_object(builder);
  json_builder_set_member_name(builder, "id");
  json_builder_add_int_value(builder, id);
  json_builder_set_member_name(builder, "channel");
  json_builder_add_string_value(builder, channel.c_str());
  json_builder_set_member_name(builder, "method");
  json_builder_add_string_value(builder, method.c_str());
  json_builder_set_member_name(builder, "args");
  json_builder_add_value(builder, json_node_copy(json_parser_get_root(parser)));
  json_builder_end_object(builder);
  g_autoptr(JsonNode) message = json_builder_get_root(builder);
  g_autofree gchar* text = json_to_string(message, FALSE);
  std::string line = std::string(text) + "\n";
  GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(connections_.back()));
  g_autoptr(GError) error = nullptr;
  if (!g_output_stream_write_all(out, line.data(), line.size(), nullptr, nullptr, &error)) {
    ADD_FAILURE() << "Cannot write to the engine: " << error->message;
  }
  return id;
}

JsonObject* DartDriver::WaitForResponse(int64_t id, unsigned timeout_ms) {
  auto find = [&]() -> JsonObject* {
    for (JsonObject* event : EventsNamed("response")) {
      if (json_object_get_int_member_with_default(event, "id", -1) == id) {
        return json_object_get_object_member(event, "result");
      }
    }
    return nullptr;
  };
  if (!RunUntil([&] { return find() != nullptr; }, timeout_ms)) {
    ADD_FAILURE() << "No response to call " << id << " within " << timeout_ms << " ms";
    return nullptr;
  }
  return find();
}

JsonObject* DartDriver::CallAndWait(const std::string& channel, const std::string& method,
                                    const std::string& args_json) {
  int64_t id = Call(channel, method, args_json);
  return id < 0 ? nullptr : WaitForResponse(id);
}

// HostEnvironment -------------------------------------------------------------------------------

std::string CorvelPath() { return CORVEL_BUNDLE_DIR "/corvel"; }

HostEnvironment::~HostEnvironment() {
  // Clients first, then the servers they talk to.
  window_manager_.reset();
  bus_.reset();
  xvfb_.reset();
}

::testing::AssertionResult HostEnvironment::Start(const EnvironmentOptions& options) {
  if (dir_.path().empty()) return ::testing::AssertionFailure() << "No temporary directory";
  if (auto started = StartXServer(); !started) return started;
  if (auto started = StartBus(options.deny_bus_names); !started) return started;
  if (!options.window_manager_name.empty()) {
    if (auto started = StartWindowManager(options.window_manager_name); !started) return started;
  }
  g_autoptr(GError) error = nullptr;
  if (!dart_.Listen(dir_.Child("dart.sock"), &error)) {
    return ::testing::AssertionFailure() << "Cannot listen for the engine: " << error->message;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult HostEnvironment::SpawnAndReadLine(ChildProcess::Options options,
                                                             const char* what,
                                                             std::unique_ptr<ChildProcess>* child,
                                                             std::string* line) {
  int fds[2];
  g_autoptr(GError) error = nullptr;
  if (!g_unix_open_pipe(fds, FD_CLOEXEC, &error)) {
    return ::testing::AssertionFailure() << error->message;
  }
  options.pass_fd = fds[1];
  *child = ChildProcess::Spawn(options, &error);
  close(fds[1]);
  if (!*child) {
    close(fds[0]);
    return ::testing::AssertionFailure() << "Cannot start " << what << ": " << error->message;
  }
  std::optional<std::string> read = ReadLineFromPipe(fds[0], kDefaultTimeoutMs);
  if (!read || read->empty()) {
    return ::testing::AssertionFailure() << what << " did not start: " << (*child)->Stderr();
  }
  *line = *read;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult HostEnvironment::StartXServer() {
  // -displayfd: Xvfb takes the first free display and writes its number once it is ready.
  std::string number;
  auto started = SpawnAndReadLine({.argv = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                            "-noreset", "-screen", "0", "1280x1024x24"},
                                   .environment = {"PATH=" + std::string(g_getenv("PATH"))},
                                   .stderr_path = dir_.Child("xvfb.stderr")},
                                  "Xvfb", &xvfb_, &number);
  display_ = ":" + number;
  return started;
}

::testing::AssertionResult HostEnvironment::StartBus(bool deny_bus_names) {
  std::string config = dir_.Child("bus.conf");
  if (!g_file_set_contents(config.c_str(), BusConfig(dir_.path(), deny_bus_names).c_str(), -1,
                           nullptr)) {
    return ::testing::AssertionFailure() << "Cannot write " << config;
  }
  return SpawnAndReadLine(
      {.argv = {"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=3"},
       .environment = {"PATH=" + std::string(g_getenv("PATH"))},
       .stderr_path = dir_.Child("dbus.stderr")},
      "dbus-daemon", &bus_, &bus_address_);
}

::testing::AssertionResult HostEnvironment::StartWindowManager(const std::string& name) {
  // It writes "ready" once its check window and name are in place.
  std::string ready;
  return SpawnAndReadLine({.argv = {CORVEL_STANDIN_WM, name},
                           .environment = {"DISPLAY=" + display_},
                           .stderr_path = dir_.Child("wm.stderr")},
                          "the stand-in window manager", &window_manager_, &ready);
}

std::vector<std::string> HostEnvironment::Environment(const LaunchOptions& options) const {
  std::map<std::string, std::string> environment;
  g_auto(GStrv) inherited = g_get_environ();
  for (gchar** entry = inherited; *entry != nullptr; ++entry) {
    const gchar* equals = strchr(*entry, '=');
    if (equals != nullptr) environment[std::string(*entry, equals - *entry)] = equals + 1;
  }
  // Nothing of the caller's desktop session may leak in.
  for (const char* name : {"WAYLAND_DISPLAY", "GDK_BACKEND", "CORVEL_PTT_DEBUG",
                           "FLUTTER_STANDIN_DART_SOCKET", "DBUS_SESSION_BUS_PID"}) {
    environment.erase(name);
  }
  environment["DISPLAY"] = display_;
  environment["DBUS_SESSION_BUS_ADDRESS"] = bus_address_;
  environment["NO_AT_BRIDGE"] = "1";             // No accessibility bus to look for.
  environment["GSETTINGS_BACKEND"] = "memory";   // No dconf on a private bus.
  environment["XDG_RUNTIME_DIR"] = dir_.path();  // Private, and 0700 as required.
  if (options.connect_dart) environment["FLUTTER_STANDIN_DART_SOCKET"] = dir_.Child("dart.sock");
  for (const auto& [name, value] : options.env) environment[name] = value;
  for (const std::string& name : options.unset_env) environment.erase(name);
  std::vector<std::string> result;
  for (const auto& [name, value] : environment) result.push_back(name + "=" + value);
  return result;
}

std::unique_ptr<ChildProcess> HostEnvironment::LaunchCorvel(const LaunchOptions& options) {
  std::vector<std::string> argv = options.wrapper;
  argv.push_back(CorvelPath());
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  int launch = ++launches_;
  g_autoptr(GError) error = nullptr;
  auto process = ChildProcess::Spawn(
      {.argv = argv,
       .environment = Environment(options),
       .stdout_path = dir_.Child("corvel" + std::to_string(launch) + ".stdout"),
       .stderr_path = dir_.Child("corvel" + std::to_string(launch) + ".stderr")},
      &error);
  if (!process) ADD_FAILURE() << "Cannot start corvel: " << error->message;
  return process;
}

std::string StringMember(JsonObject* object, const char* name) {
  if (object == nullptr) return {};
  JsonNode* node = json_object_get_member(object, name);
  if (node == nullptr || json_node_get_value_type(node) != G_TYPE_STRING) return {};
  return json_node_get_string(node);
}

std::vector<std::string> StringListMember(JsonObject* object, const char* name) {
  std::vector<std::string> strings;
  if (object == nullptr) return strings;
  JsonNode* node = json_object_get_member(object, name);
  if (node == nullptr || !JSON_NODE_HOLDS_ARRAY(node)) return strings;
  JsonArray* array = json_node_get_array(node);
  for (guint i = 0; i < json_array_get_length(array); ++i) {
    JsonNode* element = json_array_get_element(array, i);
    if (json_node_get_value_type(element) == G_TYPE_STRING) {
      strings.push_back(json_node_get_string(element));
    }
  }
  return strings;
}

}  // namespace corvel_test
