#include "bridge_runtime.h"

#include <execinfo.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <utility>

namespace quiro::bridge {
namespace {

// ---- Failure path ----

constexpr int kMaxTraceFrames = 128;

// Trace kept by the hook that library_init installs, for the failing thread.
struct CapturedTrace {
  void* frames[kMaxTraceFrames];
  int count = 0;
};
thread_local CapturedTrace t_captured_trace;

// Workers get no name of their own; the kernel would show them under the
// name of the thread that started them, which would mislead a report.
thread_local bool t_unnamed_worker = false;

// Writes straight to fd 2: the failure path must not depend on stdio state or
// the heap.
void WriteStderr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void WriteDecimal(std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  WriteStderr(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void WriteReport(const FailureReport& report, const FailureHook*) {
  char name[32] = "<unnamed>";
  if (!t_unnamed_worker) pthread_getname_np(pthread_self(), name, sizeof name);
  WriteStderr("libquiro: thread '");
  WriteStderr(name);
  WriteStderr("' (tid ");
  WriteDecimal(static_cast<std::uint64_t>(::gettid()));
  WriteStderr(") failed at ");
  WriteStderr(report.location.file_name());
  WriteStderr(":");
  WriteDecimal(report.location.line());
  WriteStderr(":\n");
  WriteStderr(report.message);
  WriteStderr("\n");
  if (!BacktraceEnabled()) return;
  WriteStderr("Stack backtrace:\n");
  CapturedTrace& trace = t_captured_trace;
  if (trace.count == 0) trace.count = ::backtrace(trace.frames, kMaxTraceFrames);
  ::backtrace_symbols_fd(trace.frames, trace.count, STDERR_FILENO);
}

FailureHook g_default_hook{&WriteReport, nullptr};
std::atomic<const FailureHook*> g_failure_hooks{&g_default_hook};

std::string TrimTrailingSpace(std::string text) {
  const auto last = text.find_last_not_of(" \t\r\n");
  text.erase(last == std::string::npos ? 0 : last + 1);
  return text;
}

std::string CurrentTrace() {
  void* frames[kMaxTraceFrames];
  const int count = ::backtrace(frames, kMaxTraceFrames);
  std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count),
                                                       &std::free);
  std::string trace;
  for (int i = 0; i < count; ++i) {
    trace += std::to_string(i) + ": " + (symbols ? symbols.get()[i] : "?") + "\n";
  }
  return trace;
}

// ---- Worker pool ----

struct Job {
  std::unique_ptr<Operation> operation;
  Dart_Port port;
};

// First-in, first-out queue shared by all workers. Never destroyed: the
// workers are detached and run until the process ends.
class JobQueue {
 public:
  void Push(Job job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
  }

  Job Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !jobs_.empty(); });
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job, CheckedAllocator<Job>> jobs_;
};

// The worker that runs a job also delivers its result.
void* WorkerMain(void* queue) {
  t_unnamed_worker = true;
  for (;;) {
    Job job = static_cast<JobQueue*>(queue)->Pop();
    WireWriter result = job.operation->Run();
    job.operation.reset();
    Deliver(job.port, std::move(result));
  }
}

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t workers) : workers_(workers) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    for (std::size_t i = 0; i < workers; ++i) {
      pthread_t thread;
      const int error = pthread_create(&thread, &attributes, &WorkerMain, &queue_);
      if (error != 0) Fail("failed to start a bridge worker: " + std::string(strerror(error)));
    }
    pthread_attr_destroy(&attributes);
  }

  JobQueue& queue() { return queue_; }
  std::size_t workers() const { return workers_; }

 private:
  JobQueue queue_;
  std::size_t workers_;
};

WorkerPool& Pool() {
  // Leaked on purpose: detached workers keep using it until the process ends.
  static WorkerPool* pool = new WorkerPool(AvailableProcessors());
  return *pool;
}

std::optional<std::string> ReadFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  return line;
}

std::optional<std::int64_t> ParseInt(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::size_t> WholeProcessors(std::optional<std::int64_t> quota,
                                           std::optional<std::int64_t> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  return std::max<std::size_t>(1, static_cast<std::size_t>(*quota / *period));
}

std::optional<std::size_t> AffinityProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
  return static_cast<std::size_t>(CPU_COUNT(&set));
}

// ---- Delivery ----

std::atomic<Dart_PostCObject_Type> g_post_function{nullptr};
std::atomic<std::int64_t> g_live_result_buffers{0};

void PrintPostFailed() {
  std::printf("%.*s\n", static_cast<int>(kPostFailedLine.size()), kPostFailedLine.data());
  std::fflush(stdout);
}

DartApiTable g_dart_api;

}  // namespace

// ---- Abort policy ----

void Fail(std::string_view message, std::source_location location) {
  const FailureReport report{location, message};
  const FailureHook* hook = g_failure_hooks.load(std::memory_order_acquire);
  hook->run(report, hook->earlier);
  std::abort();
}

void InstallFailureHook(FailureHook* hook) {
  const FailureHook* current = g_failure_hooks.load(std::memory_order_acquire);
  do {
    hook->earlier = current;
  } while (!g_failure_hooks.compare_exchange_weak(current, hook, std::memory_order_acq_rel));
}

void ReportAllocationFailure(std::size_t bytes) {
  WriteStderr("memory allocation of ");
  WriteDecimal(bytes);
  WriteStderr(" bytes failed\n");
  std::abort();
}

void* CheckedAlloc(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr && bytes != 0) ReportAllocationFailure(bytes);
  return block;
}

void* CheckedZeroAlloc(std::size_t bytes) {
  void* block = std::calloc(bytes, 1);
  if (block == nullptr && bytes != 0) ReportAllocationFailure(bytes);
  return block;
}

void* CheckedRealloc(void* block, std::size_t bytes) {
  void* grown = std::realloc(block, bytes);
  if (grown == nullptr && bytes != 0) ReportAllocationFailure(bytes);
  return grown;
}

// ---- Stack traces ----

bool BacktraceEnabled() {
  static const bool enabled = [] {
    const char* setting = std::getenv("QUIRO_BACKTRACE");
    return setting != nullptr && std::string_view(setting) != "0";
  }();
  return enabled;
}

std::string DescribeError(std::string message) {
  if (!BacktraceEnabled()) return message;
  return TrimTrailingSpace(std::move(message) + "\n\nStack backtrace:\n" + CurrentTrace());
}

void CaptureTraceThenRunEarlier(const FailureReport& report, const FailureHook* earlier) {
  if (BacktraceEnabled()) {
    t_captured_trace.count = ::backtrace(t_captured_trace.frames, kMaxTraceFrames);
  }
  earlier->run(report, earlier->earlier);
}

void PreloadUnwinder() {
  void* frame;
  ::backtrace(&frame, 1);
}

// ---- Request buffers ----

std::uint8_t* BufferNew(std::int32_t length) {
  if (length < 0) Fail("negative buffer length " + std::to_string(length));
  if (length == 0) return kEmptyBuffer;
  return static_cast<std::uint8_t*>(CheckedZeroAlloc(static_cast<std::size_t>(length)));
}

std::uint8_t* BufferResize(std::uint8_t* block, std::int32_t length, std::int32_t new_length) {
  if (length < 0 || new_length < 0) {
    Fail("negative buffer length " + std::to_string(std::min(length, new_length)));
  }
  if (new_length == 0) {
    BufferFree(block, length);
    return kEmptyBuffer;
  }
  if (length == 0) return BufferNew(new_length);
  auto* resized =
      static_cast<std::uint8_t*>(CheckedRealloc(block, static_cast<std::size_t>(new_length)));
  if (new_length > length) std::memset(resized + length, 0, new_length - length);
  return resized;
}

void BufferFree(std::uint8_t* block, std::int32_t length) {
  if (length < 0) Fail("negative buffer length " + std::to_string(length));
  if (length > 0) std::free(block);
}

const std::uint8_t* WireReader::Take(std::uint64_t bytes) {
  if (bytes > length_ - cursor_) {
    Fail("malformed request: field of " + std::to_string(bytes) + " bytes at offset " +
         std::to_string(cursor_) + " runs past the buffer of " + std::to_string(length_) +
         " bytes");
  }
  const std::uint8_t* field = data_ + cursor_;
  cursor_ += bytes;
  return field;
}

WireWriter::WireWriter(WireWriter&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

WireWriter::~WireWriter() { std::free(data_); }

void WireWriter::WriteText(std::string_view text) {
  Write(static_cast<std::int32_t>(text.size()));
  if (!text.empty()) std::memcpy(Grow(text.size()), text.data(), text.size());
}

std::uint8_t* WireWriter::Grow(std::size_t bytes) {
  if (capacity_ - size_ < bytes) {
    const std::size_t capacity = std::max({size_ + bytes, capacity_ * 2, std::size_t{64}});
    data_ = static_cast<std::uint8_t*>(CheckedRealloc(data_, capacity));
    capacity_ = capacity;
  }
  std::uint8_t* field = data_ + size_;
  size_ += bytes;
  return field;
}

std::uint8_t* WireWriter::ReleaseExact() {
  if (size_ == 0) {
    std::free(std::exchange(data_, nullptr));
    capacity_ = 0;
    return nullptr;
  }
  std::uint8_t* exact = static_cast<std::uint8_t*>(CheckedRealloc(data_, size_));
  data_ = nullptr;
  size_ = capacity_ = 0;
  return exact;
}

// ---- Jobs and dispatch ----

void DispatchAsync(Decoder decode, Dart_Port port, std::uint8_t* buffer, std::int32_t buffer_length,
                   std::int32_t data_length) {
  if (buffer_length < 0) Fail("negative buffer length " + std::to_string(buffer_length));
  JobQueue& queue = Pool().queue();
  WireReader body(buffer, static_cast<std::size_t>(buffer_length));
  std::unique_ptr<Operation> operation = decode(body);
  if (data_length < 0 || body.cursor() != static_cast<std::size_t>(data_length)) {
    Fail("malformed request: body of " + std::to_string(body.cursor()) +
         " bytes, declared data length " + std::to_string(data_length));
  }
  BufferFree(buffer, buffer_length);
  queue.Push(Job{std::move(operation), port});
}

void DeliverCallbackOutput(std::uint8_t* buffer, std::int32_t buffer_length) {
  Pool();
  BufferFree(buffer, buffer_length);
}

std::optional<std::size_t> QuotaFromCpuMax(std::string_view cpu_max) {
  const auto space = cpu_max.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return WholeProcessors(ParseInt(cpu_max.substr(0, space)), ParseInt(cpu_max.substr(space + 1)));
}

std::optional<std::size_t> QuotaFromCfs(std::string_view quota_us, std::string_view period_us) {
  return WholeProcessors(ParseInt(quota_us), ParseInt(period_us));
}

// The quota of this process's control group: cgroup v2 "cpu.max" or the v1
// cpu controller, looked up from the group listed in /proc/self/cgroup up to
// the root.
std::optional<std::size_t> ControlGroupQuota() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    const bool v2 = controllers.empty();
    if (!v2 && controllers.find("cpu") == std::string::npos) continue;
    for (;;) {
      std::optional<std::size_t> quota;
      if (v2) {
        if (auto text = ReadFirstLine("/sys/fs/cgroup" + path + "/cpu.max")) {
          quota = QuotaFromCpuMax(*text);
        }
      } else {
        const std::string dir = "/sys/fs/cgroup/" + controllers + path;
        auto quota_us = ReadFirstLine(dir + "/cpu.cfs_quota_us");
        auto period_us = ReadFirstLine(dir + "/cpu.cfs_period_us");
        if (quota_us && period_us) quota = QuotaFromCfs(*quota_us, *period_us);
      }
      if (quota) return quota;
      if (path.empty() || path == "/") break;
      path.erase(path.rfind('/'));
    }
  }
  return std::nullopt;
}

std::size_t AvailableProcessors() {
  if (auto quota = ControlGroupQuota()) return *quota;
  if (auto affinity = AffinityProcessors(); affinity && *affinity > 0) return *affinity;
  return static_cast<std::size_t>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
}

std::size_t WorkerCount() { return Pool().workers(); }

// ---- Result delivery ----

void StorePostFunction(Dart_PostCObject_Type post) {
  g_post_function.store(post, std::memory_order_release);
}

void Deliver(Dart_Port port, WireWriter message) {
  Dart_CObject object{};
  const std::size_t length = message.size();
  std::uint8_t* data = message.ReleaseExact();
  ResultPeer* peer = nullptr;
  if (length == 0) {
    object.type = Dart_CObject_kTypedData;
    object.value.as_typed_data = {Dart_TypedData_kUint8, 0, nullptr};
  } else {
    peer = static_cast<ResultPeer*>(CheckedAlloc(sizeof(ResultPeer)));
    *peer = ResultPeer{length, data, length};
    g_live_result_buffers.fetch_add(1, std::memory_order_relaxed);
    object.type = Dart_CObject_kExternalTypedData;
    object.value.as_external_typed_data = {Dart_TypedData_kUint8, static_cast<intptr_t>(length),
                                           data, peer, &FreeResultBuffer};
  }
  const Dart_PostCObject_Type post = g_post_function.load(std::memory_order_acquire);
  if (post != nullptr && post(port, &object)) return;
  if (peer != nullptr) FreeResultBuffer(nullptr, peer);
  PrintPostFailed();
}

void FreeResultBuffer(void*, void* peer) {
  auto* owner = static_cast<ResultPeer*>(peer);
  std::free(owner->data);
  std::free(owner);
  g_live_result_buffers.fetch_sub(1, std::memory_order_relaxed);
}

std::int64_t LiveResultBuffers() { return g_live_result_buffers.load(std::memory_order_relaxed); }

// ---- Dart API table ----

std::intptr_t InitDartApi(const DartApi* api) {
  if (api->major != DART_API_DL_MAJOR_VERSION) return -1;
  DartApiTable table;
  for (const DartApiEntry* entry = api->functions; entry->name != nullptr && entry->name[0] != '\0';
       ++entry) {
    const std::string_view name = entry->name;
    if (name == "Dart_NewPersistentHandle") {
      table.new_persistent_handle =
          reinterpret_cast<Dart_NewPersistentHandle_Type>(entry->function);
    } else if (name == "Dart_HandleFromPersistent") {
      table.handle_from_persistent =
          reinterpret_cast<Dart_HandleFromPersistent_Type>(entry->function);
    } else if (name == "Dart_DeletePersistentHandle") {
      table.delete_persistent_handle =
          reinterpret_cast<Dart_DeletePersistentHandle_Type>(entry->function);
    } else if (name == "Dart_CurrentIsolate") {
      table.current_isolate = reinterpret_cast<Dart_CurrentIsolate_Type>(entry->function);
    }
  }
  g_dart_api = table;
  return 0;
}

const DartApiTable& DartApiFunctions() { return g_dart_api; }

// ---- Handle table ----

std::uint64_t HandleTable::Insert(std::shared_ptr<void> object) {
  std::unique_lock lock(lock_);
  const std::uint64_t id = next_id_;
  next_id_ = id == last_id_before_wrap_ ? 1 : id + 1;
  const bool inserted = entries_.try_emplace(id, Entry{std::move(object), 1}).second;
  if (!inserted) Fail("handle " + std::to_string(id) + " issued again while still in use");
  return id;
}

std::shared_ptr<void> HandleTable::Resolve(std::uint64_t id) const {
  std::shared_lock lock(lock_);
  const auto entry = entries_.find(id);
  if (entry == entries_.end()) Fail("unknown handle " + std::to_string(id));
  return entry->second.object;
}

void HandleTable::Retain(std::uint64_t id) {
  std::unique_lock lock(lock_);
  const auto entry = entries_.find(id);
  if (entry == entries_.end()) Fail("unknown handle " + std::to_string(id));
  ++entry->second.count;
}

void HandleTable::Release(std::uint64_t id) {
  std::shared_ptr<void> last_reference;
  {
    std::unique_lock lock(lock_);
    const auto entry = entries_.find(id);
    if (entry == entries_.end()) Fail("unknown handle " + std::to_string(id));
    if (--entry->second.count == 0) {
      last_reference = std::move(entry->second.object);
      entries_.erase(entry);
    }
  }
  // `last_reference` goes here, outside the lock: destroying the object may
  // take a while and must not hold up other handles.
}

std::optional<std::int32_t> HandleTable::CountOf(std::uint64_t id) const {
  std::shared_lock lock(lock_);
  const auto entry = entries_.find(id);
  if (entry == entries_.end()) return std::nullopt;
  return entry->second.count;
}

HandleTable& Handles() {
  // Leaked on purpose: workers may still release handles while the process
  // exits.
  static HandleTable* table = new HandleTable();
  return *table;
}

}  // namespace quiro::bridge
