// Runtime under the Dart bridge: request buffers, the wire reader and writer,
// the worker pool and job queue, result delivery to Dart ports, the handle
// table and the abort policy. It knows nothing of Isolators; the bridge
// interface supplies decoders, operations and the objects behind handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "dart_native_api.h"

namespace quiro::bridge {

// ---- Abort policy ----

struct FailureReport {
  std::source_location location;
  std::string_view message;
};

// A process-wide failure hook. Hooks form a chain: each one is handed the
// hook installed before it and decides itself whether to run it.
struct FailureHook {
  void (*run)(const FailureReport& report, const FailureHook* earlier);
  const FailureHook* earlier;
};

// Runs the failure hooks (the last installed first; the default one writes
// the report to stderr) and aborts.
[[noreturn]] void Fail(std::string_view message,
                       std::source_location location = std::source_location::current());

// Puts `hook` in front of the chain. Hooks stay installed until the process
// ends, so `hook` must live that long.
void InstallFailureHook(FailureHook* hook);

// Out of memory: a one-line report naming the request, then abort. No hook
// runs, as they might allocate.
[[noreturn]] void ReportAllocationFailure(std::size_t bytes);

// malloc/realloc that never return null for a non-zero size.
void* CheckedAlloc(std::size_t bytes);
void* CheckedZeroAlloc(std::size_t bytes);
void* CheckedRealloc(void* block, std::size_t bytes);

template <typename T>
struct CheckedAllocator {
  using value_type = T;
  CheckedAllocator() = default;
  template <typename U>
  CheckedAllocator(const CheckedAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(CheckedAlloc(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) { std::free(p); }
  friend bool operator==(CheckedAllocator, CheckedAllocator) { return true; }
};

template <typename T>
using List = std::vector<T, CheckedAllocator<T>>;

// ---- Stack traces ----

// Whether stack traces are captured: read once per process from
// QUIRO_BACKTRACE at the first call ("0" or unset: off).
bool BacktraceEnabled();

// `message`, followed by "\n\nStack backtrace:\n" and the current thread's
// frames when capture is on.
std::string DescribeError(std::string message);

// Captures the calling thread's trace into thread-local storage and then runs
// the earlier hook; the default hook prints that trace instead of taking a
// fresh one inside the failure path.
void CaptureTraceThenRunEarlier(const FailureReport& report, const FailureHook* earlier);

// Loads the unwinder now, so the first failure report does not have to while
// the heap may be broken.
void PreloadUnwinder();

// ---- Request buffers ----

// The pointer standing for a buffer of length 0; never dereferenced or freed.
inline std::uint8_t* const kEmptyBuffer = reinterpret_cast<std::uint8_t*>(1);

std::uint8_t* BufferNew(std::int32_t length);
std::uint8_t* BufferResize(std::uint8_t* block, std::int32_t length, std::int32_t new_length);
void BufferFree(std::uint8_t* block, std::int32_t length);

// Reads wire fields from a request body; every read must lie inside the
// buffer, or the request is malformed and the process stops.
class WireReader {
 public:
  WireReader(const std::uint8_t* data, std::size_t buffer_length)
      : data_(data), length_(buffer_length) {}

  template <typename T>
  T Read() {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, Take(sizeof(T)), sizeof(T));
    return value;
  }

  // An i32 count then that many elements; a count of zero or less is empty.
  template <typename T>
  List<T> ReadList() {
    const std::int32_t count = Read<std::int32_t>();
    if (count <= 0) return {};
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * sizeof(T);
    const std::uint8_t* source = Take(bytes);
    List<T> list(static_cast<std::size_t>(count));
    std::memcpy(list.data(), source, bytes);
    return list;
  }

  std::size_t cursor() const { return cursor_; }

 private:
  const std::uint8_t* Take(std::uint64_t bytes);

  const std::uint8_t* data_;
  std::size_t length_;
  std::size_t cursor_ = 0;
};

// Grows a result message in a malloc'd block that delivery hands to the Dart
// VM without copying.
class WireWriter {
 public:
  WireWriter() = default;
  WireWriter(const WireWriter&) = delete;
  WireWriter& operator=(const WireWriter&) = delete;
  WireWriter(WireWriter&& other) noexcept;
  ~WireWriter();

  template <typename T>
  void Write(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(Grow(sizeof(T)), &value, sizeof(T));
  }
  template <typename T, typename Alloc>
  void WriteList(const std::vector<T, Alloc>& list) {
    Write(static_cast<std::int32_t>(list.size()));
    if (!list.empty())
      std::memcpy(Grow(list.size() * sizeof(T)), list.data(), list.size() * sizeof(T));
  }
  void WriteText(std::string_view text);

  std::size_t size() const { return size_; }
  const std::uint8_t* data() const { return data_; }
  // Gives up the block, shrunk to exactly size() bytes (null when empty).
  std::uint8_t* ReleaseExact();

 private:
  std::uint8_t* Grow(std::size_t bytes);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// ---- Jobs and dispatch ----

// A decoded request waiting for a worker.
class Operation {
 public:
  virtual ~Operation() = default;
  // Job records come from the checked allocator, so running out of memory
  // is reported with its size like every other allocation of the bridge.
  static void* operator new(std::size_t bytes) { return CheckedAlloc(bytes); }
  static void operator delete(void* block) { std::free(block); }
  virtual WireWriter Run() = 0;
};

using Decoder = std::unique_ptr<Operation> (*)(WireReader& body);

// Creates the worker pool if needed, decodes the body on the calling thread,
// frees the buffer and queues the operation; its result goes to `port`.
void DispatchAsync(Decoder decode, Dart_Port port, std::uint8_t* buffer, std::int32_t buffer_length,
                   std::int32_t data_length);

// Frees a buffer handed to deliver_callback_output: no callback call is ever
// waiting, since no operation registers one.
void DeliverCallbackOutput(std::uint8_t* buffer, std::int32_t buffer_length);

// Processors available to this process: the control group's quota, else the
// affinity mask, else the online processors; at least 1.
std::size_t AvailableProcessors();

// Processors granted by a cgroup v2 "cpu.max" text, or by v1 quota and period
// values; none when unlimited or unreadable.
std::optional<std::size_t> QuotaFromCpuMax(std::string_view cpu_max);
std::optional<std::size_t> QuotaFromCfs(std::string_view quota_us, std::string_view period_us);

// Processors granted by this process's control group, if it sets a quota.
std::optional<std::size_t> ControlGroupQuota();

// Number of workers, starting the pool first if it is not running yet.
std::size_t WorkerCount();

// ---- Result delivery ----

inline constexpr std::string_view kPostFailedLine =
    "Fail to post message to Dart. (If happen during Flutter hot restart, this may not be a "
    "problem.)";

void StorePostFunction(Dart_PostCObject_Type post);
// Posts `message` to `port` as external typed data, or prints the post
// failure line and frees it.
void Deliver(Dart_Port port, WireWriter message);

// Owner of a delivered result's bytes: the peer of the external typed data.
struct ResultPeer {
  std::size_t capacity;
  std::uint8_t* data;
  std::size_t length;
};
void FreeResultBuffer(void* isolate_callback_data, void* peer);

// Result buffers delivered or being delivered and not yet freed: lets tests
// see that every result is freed exactly once, by the VM or by the library.
std::int64_t LiveResultBuffers();

// ---- Dart API table ----

struct DartApiTable {
  Dart_NewPersistentHandle_Type new_persistent_handle = nullptr;
  Dart_HandleFromPersistent_Type handle_from_persistent = nullptr;
  Dart_DeletePersistentHandle_Type delete_persistent_handle = nullptr;
  Dart_CurrentIsolate_Type current_isolate = nullptr;
};

// 0 after filling the table from `api`; -1 (nothing filled) when its major
// version is not the one this library speaks.
std::intptr_t InitDartApi(const DartApi* api);
const DartApiTable& DartApiFunctions();

// ---- Handle table ----

inline constexpr std::uint64_t kLastHandleIdBeforeWrap = 2147483600;

// Maps ids handed to Dart to reference-counted objects and their Dart-side
// counts. Objects are destroyed only after the lock has been released.
class HandleTable {
 public:
  explicit HandleTable(std::uint64_t first_id = 1,
                       std::uint64_t last_id_before_wrap = kLastHandleIdBeforeWrap)
      : next_id_(first_id), last_id_before_wrap_(last_id_before_wrap) {}

  std::uint64_t Insert(std::shared_ptr<void> object);
  std::shared_ptr<void> Resolve(std::uint64_t id) const;
  void Retain(std::uint64_t id);
  void Release(std::uint64_t id);

  // Count of `id`, or none when absent.
  std::optional<std::int32_t> CountOf(std::uint64_t id) const;

 private:
  struct Entry {
    std::shared_ptr<void> object;
    std::int32_t count;
  };

  mutable std::shared_mutex lock_;
  std::unordered_map<std::uint64_t, Entry> entries_;
  std::uint64_t next_id_;
  std::uint64_t last_id_before_wrap_;
};

HandleTable& Handles();

}  // namespace quiro::bridge
