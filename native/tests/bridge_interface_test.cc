#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bridge_fake_dart.h"
#include "bridge_interface_internal.h"
#include "bridge_requests.h"
#include "bridge_runtime.h"
#include "quiro_bridge.h"

namespace quiro::bridge::testing {
namespace {

class BridgeInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override { quiro_bridge_store_post_function(&FakeDartVm::Post); }
};

std::vector<std::uint8_t> LittleEndian(std::uint64_t value, int bytes) {
  std::vector<std::uint8_t> out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return out;
}

TEST_F(BridgeInterfaceTest, ContentHashIdentifiesTheInterface) {
  EXPECT_EQ(quiro_bridge_content_hash(), 1257734925);
}

// Each test runs in a process of its own, so the first handle is 1.
TEST_F(BridgeInterfaceTest, CreateIssuesHandlesFromOneWithTheObjectSize) {
  const Bytes body = Bytes().PutList<std::uint8_t>({}).Put(100.0f).Put(0.02f).Put(-10.0f);
  for (const std::uint64_t expected_handle : {1, 2}) {
    SCOPED_TRACE(expected_handle);
    std::vector<std::uint8_t> expected{0};
    for (auto b : LittleEndian(expected_handle, 8)) expected.push_back(b);
    for (auto b : LittleEndian(sizeof(SharedIsolator), 4)) expected.push_back(b);
    EXPECT_EQ(Call(kCreate, body), expected);
  }
}

// The byte list and the numbers have no effect: any values give an Isolator
// that processes frames exactly as a fresh VoiceGate Isolator does.
TEST_F(BridgeInterfaceTest, CreateIgnoresItsArguments) {
  ResultReader created(
      Call(kCreate, Bytes().PutList<std::uint8_t>({1, 2, 3}).Put(-1.0f).Put(NAN).Put(1e30f)));
  ASSERT_EQ(created.Get<std::uint8_t>(), 0);
  const std::uint64_t handle = created.Get<std::uint64_t>();
  const auto direct = ProcessDirectly({TestFrame(0)});
  const auto reply = ProcessFrame(handle, TestFrame(0));
  EXPECT_EQ(reply.frame, direct[0].frame);
  EXPECT_EQ(reply.score, direct[0].score);
}

TEST_F(BridgeInterfaceTest, DefaultTuningBytes) {
  const std::vector<std::uint8_t> expected{0x00, 0x00, 0x00, 0xC8, 0x42, 0x0A, 0xD7,
                                           0xA3, 0x3C, 0x00, 0x00, 0x20, 0xC1};
  EXPECT_EQ(Call(kDefaultTuning, Bytes()), expected);
  EXPECT_EQ(Call(kDefaultTuning, Bytes(), /*spare=*/16), expected);
}

TEST_F(BridgeInterfaceTest, LibraryInitSucceedsAndLeavesAPresentSwitchAlone) {
  EXPECT_EQ(Call(kLibraryInit, Bytes(), /*spare=*/3), std::vector<std::uint8_t>{0});
  EXPECT_STREQ(std::getenv("QUIRO_BACKTRACE"), "0");
}

TEST_F(BridgeInterfaceTest, FramesMatchADirectIsolatorFrameAfterFrame) {
  const std::uint64_t handle = CreateIsolator();
  const std::vector<std::vector<float>> frames{TestFrame(1), TestFrame(2), TestFrame(3)};
  const auto direct = ProcessDirectly(frames);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const auto reply = ProcessFrame(handle, frames[i]);
    ASSERT_EQ(reply.kind, 0);
    EXPECT_EQ(reply.frame, direct[i].frame);
    EXPECT_EQ(reply.score, direct[i].score);
  }
}

TEST_F(BridgeInterfaceTest, WrongFrameLengthIsAnErrorAndChangesNothing) {
  const std::uint64_t handle = CreateIsolator();
  const auto error = ProcessFrame(handle, std::vector<float>(479, 0.5f));
  EXPECT_EQ(error.kind, 1);
  EXPECT_EQ(error.error, "frame size mismatch: expected 480, got 479");
  const auto direct = ProcessDirectly({TestFrame(4)});
  const auto reply = ProcessFrame(handle, TestFrame(4));
  EXPECT_EQ(reply.frame, direct[0].frame);
}

TEST_F(BridgeInterfaceTest, NegativeCountIsAnEmptyFrame) {
  const std::uint64_t handle = CreateIsolator();
  for (const std::int32_t id : {kProcessF32, kProcessI16}) {
    SCOPED_TRACE(id);
    quiro_bridge_handle_retain(handle);
    const Dart_Port port = NewPort();
    Send(id, port, Bytes().Put(handle).Put(std::int32_t{-5}));
    auto result = FakeDartVm::Get().NextOn(port);
    ASSERT_TRUE(result);
    const auto reply = ReadFrameReply<float>(result->bytes());
    EXPECT_EQ(reply.kind, 1);
    EXPECT_EQ(reply.error, "frame size mismatch: expected 480, got 0");
  }
}

TEST_F(BridgeInterfaceTest, SixteenBitFramesGoThroughTheUnitScale) {
  const std::uint64_t handle = CreateIsolator();
  const auto direct = ProcessDirectly({std::vector<float>(kFrameSamples, 1.0f)});
  const auto reply = ProcessFrame(handle, std::vector<std::int16_t>(kFrameSamples, 32767));
  ASSERT_EQ(reply.kind, 0);
  ASSERT_EQ(reply.frame.size(), kFrameSamples);
  for (std::size_t i = 0; i < kFrameSamples; ++i) {
    ASSERT_EQ(reply.frame[i], ToPcm16(direct[0].frame[i])) << "sample " << i;
  }
  EXPECT_EQ(reply.score, direct[0].score);
  EXPECT_EQ(ProcessFrame(handle, std::vector<std::int16_t>(3, 1)).error,
            "frame size mismatch: expected 480, got 3");
}

TEST(BridgePcm16Test, Conversions) {
  struct Case {
    float in;
    std::int16_t out;
  };
  for (const Case c : {Case{1.0f, 32767}, Case{-1.0f, -32767}, Case{2.5f, 32767},
                       Case{-3.0f, -32767}, Case{0.5f, 16383}, Case{-0.5f, -16383}, Case{NAN, 0},
                       Case{-NAN, 0}, Case{INFINITY, 32767}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ToPcm16(c.in), c.out);
  }
  EXPECT_EQ(FromPcm16(32767), 1.0f);
  EXPECT_LT(FromPcm16(-32768), -1.0f);
}

// The poisoned flag cannot be set by a running process (every abnormal end
// stops it), so the test sets it to see the error result.
TEST_F(BridgeInterfaceTest, PoisonedIsolatorAnswersWithAnError) {
  const std::uint64_t handle = CreateIsolator();
  std::static_pointer_cast<SharedIsolator>(Handles().Resolve(handle))->poisoned = true;
  const auto reply = ProcessFrame(handle, TestFrame(0));
  EXPECT_EQ(reply.kind, 1);
  EXPECT_EQ(reply.error, "isolator lock poisoned");
  EXPECT_EQ(Handles().CountOf(handle), 1);  // The request's count came back.
}

TEST_F(BridgeInterfaceTest, OperationsGiveBackTheRequestCount) {
  const std::uint64_t handle = CreateIsolator();
  EXPECT_EQ(Handles().CountOf(handle), 1);
  quiro_bridge_handle_retain(handle);
  EXPECT_EQ(Handles().CountOf(handle), 2);
  quiro_bridge_handle_release(handle);
  ProcessFrame(handle, TestFrame(0));
  ProcessFrame(handle, std::vector<float>(10, 0.0f));
  EXPECT_EQ(Handles().CountOf(handle), 1);
  quiro_bridge_handle_release(handle);
  EXPECT_EQ(Handles().CountOf(handle), std::nullopt);
}

// What the post function found of one handle when the result came: by then
// the operation must have given back its count and its reference.
struct SeenAtPost {
  std::uint64_t handle = 0;
  std::weak_ptr<SharedIsolator> object;
  bool count_gone = false;
  bool object_gone = false;
};
SeenAtPost g_seen_at_post;

bool PostAfterLookingAtTheHandle(Dart_Port port, Dart_CObject* object) {
  g_seen_at_post.count_gone = !Handles().CountOf(g_seen_at_post.handle).has_value();
  g_seen_at_post.object_gone = g_seen_at_post.object.expired();
  return FakeDartVm::Post(port, object);
}

// The Dart side lets go of its handle while a frame for it is still queued:
// the frame still runs, and the operation's own release destroys the object.
TEST_F(BridgeInterfaceTest, ObjectOutlivesTheLastReleaseWhileAnOperationHoldsIt) {
  const std::uint64_t handle = CreateIsolator();
  std::shared_ptr<SharedIsolator> shared =
      std::static_pointer_cast<SharedIsolator>(Handles().Resolve(handle));
  std::weak_ptr<SharedIsolator> watch = shared;
  g_seen_at_post = {.handle = handle, .object = watch};
  quiro_bridge_store_post_function(&PostAfterLookingAtTheHandle);
  const Dart_Port port = NewPort();
  {
    std::lock_guard hold_the_worker(shared->mutex);
    SendFrame(handle, port, TestFrame(0));
    quiro_bridge_handle_release(handle);
    shared.reset();
    EXPECT_EQ(Handles().CountOf(handle), 1);  // Only the request's count is left.
    EXPECT_FALSE(watch.expired());
  }
  auto result = FakeDartVm::Get().NextOn(port);
  ASSERT_TRUE(result);
  EXPECT_EQ(ReadFrameReply<float>(result->bytes()).kind, 0);
  // Given back before the result was posted, not merely by the time it is read.
  EXPECT_TRUE(g_seen_at_post.count_gone);
  EXPECT_TRUE(g_seen_at_post.object_gone);
  EXPECT_EQ(Handles().CountOf(handle), std::nullopt);
  EXPECT_TRUE(watch.expired());
}

// ---- Dart objects, with a fake API table ----

int g_current_isolate = 1;
int g_persistent_handles = 0;

Dart_Isolate FakeCurrentIsolate() { return reinterpret_cast<Dart_Isolate>(g_current_isolate); }
Dart_PersistentHandle FakeNewPersistent(Dart_Handle object) {
  ++g_persistent_handles;
  return object;
}
Dart_Handle FakeFromPersistent(Dart_PersistentHandle handle) { return handle; }
void FakeDeletePersistent(Dart_PersistentHandle) { --g_persistent_handles; }

void InstallFakeDartApi() {
  const DartApiEntry entries[] = {
      {"Dart_CurrentIsolate", reinterpret_cast<void (*)()>(&FakeCurrentIsolate)},
      {"Dart_NewPersistentHandle", reinterpret_cast<void (*)()>(&FakeNewPersistent)},
      {"Dart_HandleFromPersistent", reinterpret_cast<void (*)()>(&FakeFromPersistent)},
      {"Dart_DeletePersistentHandle", reinterpret_cast<void (*)()>(&FakeDeletePersistent)},
      {nullptr, nullptr}};
  const DartApi api{2, 1, entries};
  ASSERT_EQ(quiro_bridge_init_dart_api(const_cast<DartApi*>(&api)), 0);
}

TEST(BridgeDartObjectTest, WrapGetDropKeepTheObjectForItsIsolate) {
  InstallFakeDartApi();
  const auto object = reinterpret_cast<Dart_Handle>(0xD0);
  void* wrapped = quiro_bridge_dart_object_wrap(object, 99);
  EXPECT_EQ(g_persistent_handles, 1);
  EXPECT_EQ(quiro_bridge_dart_object_get(wrapped), object);
  quiro_bridge_dart_object_drop(wrapped);
  EXPECT_EQ(g_persistent_handles, 0);
}

// ---- Failures that stop the process ----

std::string MainThreadName() {
  char name[32] = "";
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// A failure report from `thread`, at a line of `file`, with `message`.
std::string ReportFrom(const std::string& thread, const std::string& file,
                       const std::string& message) {
  return "libquiro: thread '" + thread + "' \\(tid [0-9]+\\) failed at [^\n]*" + file +
         ":[0-9]+:\n" + message;
}

// A failure report from the test's own (the dispatching) thread.
std::string Report(const std::string& file, const std::string& message) {
  return ReportFrom(MainThreadName(), file, message);
}

TEST(BridgeInterfaceDeathTest, MalformedRequestsStopTheProcess) {
  struct Case {
    const char* name;
    std::int32_t function_id;
    Bytes body;
    std::int32_t data_length;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"body shorter than its fields", kProcessF32, Bytes().Put(std::uint64_t{1}), 8,
       "malformed request"},
      {"frame past the buffer", kProcessF32,
       Bytes().Put(std::uint64_t{1}).Put(std::int32_t{480}).Put(1.0f), 16, "malformed request"},
      {"data length longer than the body", kDefaultTuning, Bytes().Put(std::uint8_t{0}), 1,
       "malformed request: body of 0 bytes, declared data length 1"},
      {"data length shorter than the body", kCreate,
       Bytes().PutList<std::uint8_t>({}).Put(1.0f).Put(1.0f).Put(1.0f), 12,
       "malformed request: body of 16 bytes, declared data length 12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DEATH(
        {
          quiro_bridge_store_post_function(&FakeDartVm::Post);
          const std::uint64_t handle = CreateIsolator();
          ASSERT_EQ(handle, 1u);
          Send(c.function_id, NewPort(), c.body, 0, c.data_length);
          FakeDartVm::Get().Next();
        },
        Report("bridge_runtime\\.cc", c.message));
  }
}

TEST(BridgeInterfaceDeathTest, UnknownFunctionIdsAndSyncDispatchStopTheProcess) {
  for (const std::int32_t id : {0, 6, -1}) {
    SCOPED_TRACE(id);
    EXPECT_DEATH(Send(id, NewPort(), Bytes()),
                 Report("bridge_interface\\.cc", "unknown function id " + std::to_string(id)));
  }
  EXPECT_DEATH(quiro_bridge_dispatch_sync(kDefaultTuning, quiro_bridge_buffer_new(0), 0, 0),
               Report("bridge_interface\\.cc",
                      "dispatch_sync called for function id 4: no function is synchronous"));
}

TEST(BridgeInterfaceDeathTest, UnknownOrReleasedHandlesStopTheProcessAtDispatch) {
  EXPECT_DEATH(Send(kProcessF32, NewPort(), Bytes().Put(std::uint64_t{0}).PutList(TestFrame(0))),
               Report("bridge_runtime\\.cc", "unknown handle 0"));
  EXPECT_DEATH(Send(kProcessI16, NewPort(), Bytes().Put(std::uint64_t{7}).Put(std::int32_t{0})),
               Report("bridge_runtime\\.cc", "unknown handle 7"));
  EXPECT_DEATH(quiro_bridge_handle_retain(3), Report("bridge_runtime\\.cc", "unknown handle 3"));
  EXPECT_DEATH(
      {
        quiro_bridge_store_post_function(&FakeDartVm::Post);
        const std::uint64_t handle = CreateIsolator();
        quiro_bridge_handle_release(handle);
        Send(kProcessF32, NewPort(), Bytes().Put(handle).PutList(TestFrame(0)));
      },
      Report("bridge_runtime\\.cc", "unknown handle 1"));
  EXPECT_DEATH(
      {
        quiro_bridge_store_post_function(&FakeDartVm::Post);
        const std::uint64_t handle = CreateIsolator();
        quiro_bridge_handle_release(handle);
        quiro_bridge_handle_release(handle);
      },
      Report("bridge_runtime\\.cc", "unknown handle 1"));
}

// The Dart side released its count and the request's: the operation's own
// release finds the handle gone and stops the process on the worker.
TEST(BridgeInterfaceDeathTest, OverReleasedHandleStopsTheProcessOnTheWorker) {
  EXPECT_DEATH(
      {
        quiro_bridge_store_post_function(&FakeDartVm::Post);
        const std::uint64_t handle = CreateIsolator();
        auto shared = std::static_pointer_cast<SharedIsolator>(Handles().Resolve(handle));
        {
          std::lock_guard hold_the_worker(shared->mutex);
          SendFrame(handle, NewPort(), TestFrame(0));
          quiro_bridge_handle_release(handle);
          quiro_bridge_handle_release(handle);
        }
        FakeDartVm::Get().Next();
      },
      ReportFrom("<unnamed>", "bridge_runtime\\.cc", "unknown handle 1"));
}

TEST(BridgeInterfaceDeathTest, NegativeBufferLengthsStopTheProcess) {
  EXPECT_DEATH(quiro_bridge_buffer_new(-4),
               Report("bridge_runtime\\.cc", "negative buffer length -4"));
  EXPECT_DEATH(quiro_bridge_buffer_resize(quiro_bridge_buffer_new(0), 0, -1),
               Report("bridge_runtime\\.cc", "negative buffer length -1"));
}

TEST(BridgeInterfaceDeathTest, DartObjectOnAForeignIsolateStopsTheProcess) {
  InstallFakeDartApi();
  void* wrapped = quiro_bridge_dart_object_wrap(reinterpret_cast<Dart_Handle>(0xD0), 99);
  g_current_isolate = 2;
  EXPECT_DEATH(quiro_bridge_dart_object_get(wrapped),
               Report("bridge_interface\\.cc",
                      "dart_object_get called on an isolate that did not wrap the object"));
  g_current_isolate = 1;
  quiro_bridge_dart_object_drop(wrapped);
}

}  // namespace
}  // namespace quiro::bridge::testing
