// End-to-end harness for the host: runs build/bundle/corvel under a private Xvfb and a private
// D-Bus session bus, and plays its Dart side through the stand-in embedder's JSON-lines socket.
//
//   corvel_test::HostEnvironment env;
//   ASSERT_TRUE(env.Start());
//   auto corvel = env.LaunchCorvel({.args = {"a", "b"}, .env = {{"CORVEL_PTT_DEBUG", "1"}}});
//   ASSERT_TRUE(corvel);
//   JsonObject* started = env.dart().WaitForEvent("started");
//   JsonObject* result = env.dart().CallAndWait("corvel/activity", "getRunningProcessNames");
//
// Every wait runs the default main context and fails the test when its timeout passes.
// Link a test with `corvel_host_harness` (tests/CMakeLists.txt): that also builds the bundle.
// A launch takes extra environment (LD_PRELOAD of a shim, PULSE_SERVER, CORVEL_PTT_DEBUG...) and
// a command wrapper: LaunchCorvel({.env = {{"LD_PRELOAD", shim}}, .wrapper = {"unshare", "-m"}}).
// Events the engine sends: "started" {args}, "registrar" {plugin}, "plugin_registered" {plugin,
// registrar}, "first_frame" {window_mapped}, "call" {channel, method, args} for each method the
// host invokes on Dart, "response" {id, result} for each call the driver made.
#ifndef TESTS_SUPPORT_HOST_HARNESS_H_
#define TESTS_SUPPORT_HOST_HARNESS_H_

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <json-glib/json-glib.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvel_test {

// Long enough for a loaded CI machine; a healthy run answers in milliseconds.
constexpr unsigned kDefaultTimeoutMs = 15000;

// Runs the default main context until `done` holds; false when `timeout_ms` passed first.
bool RunUntil(const std::function<bool()>& done, unsigned timeout_ms = kDefaultTimeoutMs);

// A fresh temporary directory, removed with its contents when this object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Child(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFileOrEmpty(const std::string& path);

// A child process whose standard output and error go to files. Killed (SIGTERM, then SIGKILL)
// if still running when destroyed.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv = {};
    std::vector<std::string> environment = {};  // Complete, as "NAME=value".
    std::string stdout_path = {};               // Empty: /dev/null.
    std::string stderr_path = {};               // Empty: /dev/null.
    int pass_fd = -1;                           // Passed to the child as file descriptor 3.
  };

  static std::unique_ptr<ChildProcess> Spawn(const Options& options, GError** error);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for the process to end; its wait status as an exit code, or nullopt on timeout or
  // when it died from a signal.
  std::optional<int> WaitForExit(unsigned timeout_ms = kDefaultTimeoutMs);
  // Whether the process has ended, as far as the events already pending tell; does not wait.
  bool exited();
  int pid() const;
  void Signal(int signal_number);
  // What the process wrote to standard error so far.
  std::string Stderr() const { return ReadFileOrEmpty(stderr_path_); }
  std::string Stdout() const { return ReadFileOrEmpty(stdout_path_); }

 private:
  explicit ChildProcess(GSubprocess* process, std::string stdout_path, std::string stderr_path);
  static void OnExited(GObject* source, GAsyncResult* result, gpointer data);

  GSubprocess* process_;
  std::string stdout_path_;
  std::string stderr_path_;
  // True until the process ends; shared with the pending wait, which may outlive this object.
  std::shared_ptr<bool> running_;
};

// One JSON-lines connection from an engine. Events are the parsed objects in arrival order.
class DartDriver {
 public:
  DartDriver() = default;
  ~DartDriver();
  DartDriver(const DartDriver&) = delete;
  DartDriver& operator=(const DartDriver&) = delete;

  // Listens on a Unix stream socket at `path`.
  bool Listen(const std::string& path, GError** error);

  // Engines that connected so far (a second engine in one test is usually a fault).
  size_t connections() const { return connections_.size(); }
  const std::vector<JsonObject*>& events() const { return events_; }
  // Events named `name`, in arrival order.
  std::vector<JsonObject*> EventsNamed(const std::string& name) const;
  // Waits until the `nth` (from 0) event named `name` has arrived and returns it; null and a
  // test failure on timeout.
  JsonObject* WaitForEvent(const std::string& name, size_t nth = 0,
                           unsigned timeout_ms = kDefaultTimeoutMs);
  // Sends {"id","channel","method","args"} to the latest engine, waiting for one to connect
  // first; `args_json` is JSON text ("null" for none). Returns -1 after a test failure.
  int64_t Call(const std::string& channel, const std::string& method,
               const std::string& args_json = "null");
  // Waits for the response to call `id` and returns its "result" object; null and a test
  // failure on timeout.
  JsonObject* WaitForResponse(int64_t id, unsigned timeout_ms = kDefaultTimeoutMs);
  JsonObject* CallAndWait(const std::string& channel, const std::string& method,
                          const std::string& args_json = "null");

 private:
  static void OnAccepted(GObject* source, GAsyncResult* result, gpointer data);
  static void OnLine(GObject* source, GAsyncResult* result, gpointer data);
  void AcceptNext();
  void ReadNextLine(GDataInputStream* lines);

  GSocketListener* listener_ = nullptr;
  GCancellable* cancellable_ = nullptr;          // Stops the pending accept and reads.
  std::vector<GSocketConnection*> connections_;  // Owned; calls go to the latest.
  int pending_ = 0;                              // Accepts and reads not yet finished.
  int64_t next_id_ = 1;
  std::vector<JsonObject*> events_;  // Owned references.
};

// How to launch corvel inside a HostEnvironment.
struct LaunchOptions {
  std::vector<std::string> args = {};           // After the program name.
  std::map<std::string, std::string> env = {};  // Added to (or replacing) the environment.
  std::vector<std::string> unset_env = {};      // Removed from the environment.
  std::vector<std::string> wrapper = {};        // Command prefix, e.g. {"unshare", "-m"}.
  bool connect_dart = true;                     // Set FLUTTER_STANDIN_DART_SOCKET.
};

struct EnvironmentOptions {
  bool deny_bus_names = false;           // A bus policy that lets nobody own a name.
  std::string window_manager_name = {};  // Non-empty: run a stand-in window manager of that name.
};

// A private Xvfb, a private session bus, optionally a stand-in window manager, and the Dart
// driver socket. Everything ends with this object.
class HostEnvironment {
 public:
  HostEnvironment() = default;
  ~HostEnvironment();
  HostEnvironment(const HostEnvironment&) = delete;
  HostEnvironment& operator=(const HostEnvironment&) = delete;

  ::testing::AssertionResult Start(const EnvironmentOptions& options = {});
  // Starts build/bundle/corvel; null and a test failure when it cannot be spawned.
  std::unique_ptr<ChildProcess> LaunchCorvel(const LaunchOptions& options = {});

  const std::string& display() const { return display_; }
  const std::string& bus_address() const { return bus_address_; }
  DartDriver& dart() { return dart_; }
  const TempDir& dir() const { return dir_; }
  // The environment corvel gets, for other processes a test starts against the same display.
  std::vector<std::string> Environment(const LaunchOptions& options = {}) const;
  // Standard error of the bus daemon, kept apart from corvel's.
  std::string BusStderr() const { return ReadFileOrEmpty(dir_.Child("dbus.stderr")); }

 private:
  // Starts a child that writes one line to descriptor 3 when it is ready, and reads that line.
  ::testing::AssertionResult SpawnAndReadLine(ChildProcess::Options options, const char* what,
                                              std::unique_ptr<ChildProcess>* child,
                                              std::string* line);
  ::testing::AssertionResult StartXServer();
  ::testing::AssertionResult StartBus(bool deny_bus_names);
  ::testing::AssertionResult StartWindowManager(const std::string& name);

  TempDir dir_;
  std::unique_ptr<ChildProcess> xvfb_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> window_manager_;
  std::string display_;
  std::string bus_address_;
  DartDriver dart_;
  int launches_ = 0;
};

// Path of the built bundle's program.
std::string CorvelPath();

// Reads JSON members; absent or mistyped members give the fallback.
std::string StringMember(JsonObject* object, const char* name);
std::vector<std::string> StringListMember(JsonObject* object, const char* name);

}  // namespace corvel_test

#endif  // TESTS_SUPPORT_HOST_HARNESS_H_
