// The program's own functions over the Dart bridge: ids 1 to 5, their request
// decoders (run on the dispatching thread) and their operations (run on a
// worker), over Isolators shared with Dart through the handle table.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <variant>

#include "bridge_interface_internal.h"
#include "bridge_runtime.h"
#include "isolator.h"
#include "quiro_bridge.h"

namespace quiro::bridge {
namespace {

constexpr std::uint8_t kResultSuccess = 0;
constexpr std::uint8_t kResultError = 1;

struct Tuning {
  float tuning_1;
  float tuning_2;
  float tuning_3;
};
static_assert(sizeof(Tuning) == 12, "three f32 fields, no padding, as on the wire");
constexpr Tuning kDefaultTuning{100.0f, 0.02f, -10.0f};

// Holds a SharedIsolator's mutex; an operation that unwinds while holding it
// leaves the Isolator in an unknown state, so it poisons the lock.
class PoisoningGuard {
 public:
  explicit PoisoningGuard(SharedIsolator& shared)
      : shared_(shared), lock_(shared.mutex), exceptions_(std::uncaught_exceptions()) {}
  ~PoisoningGuard() {
    if (std::uncaught_exceptions() > exceptions_) shared_.poisoned = true;
  }

 private:
  SharedIsolator& shared_;
  std::lock_guard<std::mutex> lock_;
  int exceptions_;
};

// Score of a processed frame, or the text of the error result.
using FrameReply = std::variant<float, std::string>;

FrameReply FromFrameResult(const FrameResult& result) {
  if (result.ok()) return result.score();
  return DescribeError(result.error().message());
}

// Runs `process` on the Isolator under the shared hold and the mutex.
template <typename Process>
FrameReply WithIsolator(SharedIsolator& shared, Process process) {
  std::shared_lock hold(shared.outer);
  PoisoningGuard guard(shared);
  if (shared.poisoned) return DescribeError("isolator lock poisoned");
  return process(shared.isolator);
}

template <typename Sample>
WireWriter EncodeFrameResult(const FrameReply& outcome, const List<Sample>& frame) {
  WireWriter result;
  if (const float* score = std::get_if<float>(&outcome)) {
    result.Write(kResultSuccess);
    result.WriteList(frame);
    result.Write(*score);
  } else {
    result.Write(kResultError);
    result.WriteText(std::get<std::string>(outcome));
  }
  return result;
}

// Base of the operations on one handle: holds the SharedIsolator resolved at
// dispatch and the count the Dart side added for this request.
class HandleOperation : public Operation {
 protected:
  HandleOperation(WireReader& body)
      : handle_(body.Read<std::uint64_t>()),
        shared_(std::static_pointer_cast<SharedIsolator>(Handles().Resolve(handle_))) {}

  // Gives back the request's count, then the reference; called once both of
  // the SharedIsolator's locks are released and before the result is posted.
  void GiveBackHandle() {
    Handles().Release(handle_);
    shared_.reset();
  }

  std::uint64_t handle_;
  std::shared_ptr<SharedIsolator> shared_;
};

class ProcessFrameF32 final : public HandleOperation {
 public:
  explicit ProcessFrameF32(WireReader& body)
      : HandleOperation(body), frame_(body.ReadList<float>()) {}

  WireWriter Run() override {
    const FrameReply outcome = WithIsolator(*shared_, [this](Isolator& isolator) {
      return FromFrameResult(isolator.process_frame(frame_));
    });
    GiveBackHandle();
    return EncodeFrameResult(outcome, frame_);
  }

 private:
  List<float> frame_;
};

class ProcessFrameI16 final : public HandleOperation {
 public:
  explicit ProcessFrameI16(WireReader& body)
      : HandleOperation(body), frame_(body.ReadList<std::int16_t>()) {}

  WireWriter Run() override {
    const FrameReply outcome =
        WithIsolator(*shared_, [this](Isolator& isolator) { return Process(isolator); });
    GiveBackHandle();
    return EncodeFrameResult(outcome, frame_);
  }

 private:
  FrameReply Process(Isolator& isolator) {
    if (frame_.size() != kFrameSamples) {
      return DescribeError(
          IsolatorError(IsolatorError::FrameSizeMismatch{kFrameSamples, frame_.size()}).message());
    }
    std::array<float, kFrameSamples> work;
    for (std::size_t i = 0; i < kFrameSamples; ++i) work[i] = FromPcm16(frame_[i]);
    FrameReply outcome = FromFrameResult(isolator.process_frame(work));
    if (std::holds_alternative<float>(outcome)) {
      for (std::size_t i = 0; i < kFrameSamples; ++i) frame_[i] = ToPcm16(work[i]);
    }
    return outcome;
  }

  List<std::int16_t> frame_;
};

class CreateIsolator final : public Operation {
 public:
  // The byte list and the three numbers are read only to keep the wire
  // format; an Isolator's behaviour is fixed at creation.
  explicit CreateIsolator(WireReader& body) {
    body.ReadList<std::uint8_t>();
    body.Read<Tuning>();
  }

  WireWriter Run() override {
    auto shared = std::allocate_shared<SharedIsolator>(CheckedAllocator<SharedIsolator>());
    const std::uint64_t handle = Handles().Insert(std::move(shared));
    WireWriter result;
    result.Write(kResultSuccess);
    result.Write(handle);
    result.Write(static_cast<std::int32_t>(sizeof(SharedIsolator)));
    return result;
  }
};

class DefaultTuning final : public Operation {
 public:
  explicit DefaultTuning(WireReader&) {}

  WireWriter Run() override {
    WireWriter result;
    result.Write(kResultSuccess);
    result.Write(kDefaultTuning);
    return result;
  }
};

class LibraryInit final : public Operation {
 public:
  explicit LibraryInit(WireReader&) {}

  WireWriter Run() override {
    if (setenv("QUIRO_BACKTRACE", "1", /*overwrite=*/0) != 0) {
      Fail("cannot set QUIRO_BACKTRACE: " + std::string(std::strerror(errno)));
    }
    // Every call puts one more hook in front; hooks live until the process ends.
    InstallFailureHook(new FailureHook{&CaptureTraceThenRunEarlier, nullptr});
    PreloadUnwinder();
    WireWriter result;
    result.Write(kResultSuccess);
    return result;
  }
};

template <typename Op>
std::unique_ptr<Operation> Decode(WireReader& body) {
  return std::make_unique<Op>(body);
}

Decoder DecoderFor(std::int32_t function_id) {
  switch (function_id) {
    case 1:
      return &Decode<CreateIsolator>;
    case 2:
      return &Decode<ProcessFrameF32>;
    case 3:
      return &Decode<ProcessFrameI16>;
    case 4:
      return &Decode<DefaultTuning>;
    case 5:
      return &Decode<LibraryInit>;
    default:
      Fail("unknown function id " + std::to_string(function_id));
  }
}

// What dart_object_wrap hands out: a Dart object kept alive for its isolate.
struct WrappedDartObject {
  Dart_PersistentHandle handle;
  Dart_Isolate isolate;
  Dart_Port port;
};

template <typename Function>
Function Require(Function function, const char* name) {
  if (function == nullptr) Fail(std::string(name) + " missing from the Dart API table");
  return function;
}

}  // namespace
}  // namespace quiro::bridge

using namespace quiro::bridge;

extern "C" {

void quiro_bridge_dispatch_async(int32_t function_id, int64_t port, uint8_t* buffer,
                                 int32_t buffer_length, int32_t data_length) {
  DispatchAsync(DecoderFor(function_id), port, buffer, buffer_length, data_length);
}

void quiro_bridge_dispatch_sync(int32_t function_id, uint8_t*, int32_t, int32_t) {
  Fail("dispatch_sync called for function id " + std::to_string(function_id) +
       ": no function is synchronous");
}

int32_t quiro_bridge_content_hash(void) { return kContentHash; }

intptr_t quiro_bridge_init_dart_api(void* data) {
  return InitDartApi(static_cast<const DartApi*>(data));
}

void quiro_bridge_store_post_function(Dart_PostCObject_Type post) { StorePostFunction(post); }

void quiro_bridge_handle_retain(uint64_t handle) { Handles().Retain(handle); }

void quiro_bridge_handle_release(uint64_t handle) { Handles().Release(handle); }

uint8_t* quiro_bridge_buffer_new(int32_t length) { return BufferNew(length); }

uint8_t* quiro_bridge_buffer_resize(uint8_t* buffer, int32_t length, int32_t new_length) {
  return BufferResize(buffer, length, new_length);
}

void quiro_bridge_buffer_free(uint8_t* buffer, int32_t length) { BufferFree(buffer, length); }

void quiro_bridge_free_sync_result_object(Dart_CObject* object) {
  if (object->type == Dart_CObject_kExternalTypedData) {
    const auto& external = object->value.as_external_typed_data;
    external.callback(nullptr, external.peer);
  }
  std::free(object);
}

void quiro_bridge_free_sync_result_bytes(uint8_t* bytes, int32_t length) {
  if (length != 0) std::free(bytes);
}

void* quiro_bridge_dart_object_wrap(Dart_Handle object, int64_t port) {
  const DartApiTable& api = DartApiFunctions();
  auto* wrapped = static_cast<WrappedDartObject*>(CheckedAlloc(sizeof(WrappedDartObject)));
  *wrapped =
      WrappedDartObject{Require(api.new_persistent_handle, "Dart_NewPersistentHandle")(object),
                        Require(api.current_isolate, "Dart_CurrentIsolate")(), port};
  return wrapped;
}

Dart_Handle quiro_bridge_dart_object_get(void* wrapped) {
  const DartApiTable& api = DartApiFunctions();
  const auto* object = static_cast<const WrappedDartObject*>(wrapped);
  if (Require(api.current_isolate, "Dart_CurrentIsolate")() != object->isolate) {
    Fail("dart_object_get called on an isolate that did not wrap the object");
  }
  return Require(api.handle_from_persistent, "Dart_HandleFromPersistent")(object->handle);
}

void quiro_bridge_dart_object_drop(void* wrapped) {
  const DartApiTable& api = DartApiFunctions();
  auto* object = static_cast<WrappedDartObject*>(wrapped);
  Require(api.delete_persistent_handle, "Dart_DeletePersistentHandle")(object->handle);
  std::free(object);
}

void quiro_bridge_deliver_callback_output(int32_t, uint8_t* buffer, int32_t buffer_length,
                                          int32_t) {
  DeliverCallbackOutput(buffer, buffer_length);
}

#define QUIRO_FREE_RESULT_BUFFER(suffix)                                                   \
  void quiro_bridge_free_result_buffer_##suffix(void* isolate_callback_data, void* peer) { \
    FreeResultBuffer(isolate_callback_data, peer);                                         \
  }
QUIRO_FREE_RESULT_BUFFER(u8)
QUIRO_FREE_RESULT_BUFFER(i8)
QUIRO_FREE_RESULT_BUFFER(u16)
QUIRO_FREE_RESULT_BUFFER(i16)
QUIRO_FREE_RESULT_BUFFER(u32)
QUIRO_FREE_RESULT_BUFFER(i32)
QUIRO_FREE_RESULT_BUFFER(u64)
QUIRO_FREE_RESULT_BUFFER(i64)
QUIRO_FREE_RESULT_BUFFER(f32)
QUIRO_FREE_RESULT_BUFFER(f64)
#undef QUIRO_FREE_RESULT_BUFFER

}  // extern "C"
