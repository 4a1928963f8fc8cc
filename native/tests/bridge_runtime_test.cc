#include "bridge_runtime.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <latch>
#include <memory>
#include <string>
#include <vector>

#include "bridge_fake_dart.h"

namespace quiro::bridge {
namespace {

using testing::FakeDartVm;
using testing::StdoutCapture;

// Start of a failure report raised by this file's code under test.
constexpr char kReportFromRuntime[] =
    "libquiro: thread '[^']+' \\(tid [0-9]+\\) failed at [^\n]*bridge_runtime\\.cc:[0-9]+:\n";

TEST(BridgeBufferTest, LengthZeroIsThePlaceholder) {
  std::uint8_t* empty = BufferNew(0);
  EXPECT_EQ(empty, reinterpret_cast<std::uint8_t*>(1));
  BufferFree(empty, 0);  // Must not touch the placeholder.
}

TEST(BridgeBufferTest, ResizeKeepsOldBytesAndZeroFillsNewOnes) {
  std::uint8_t* block = BufferNew(10);
  EXPECT_EQ(std::vector<std::uint8_t>(block, block + 10), std::vector<std::uint8_t>(10, 0));
  std::memset(block, 0xAB, 10);
  block = BufferResize(block, 10, 20);
  std::vector<std::uint8_t> expected(10, 0xAB);
  expected.resize(20, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(block, block + 20), expected);
  block = BufferResize(block, 20, 4);
  EXPECT_EQ(std::vector<std::uint8_t>(block, block + 4), std::vector<std::uint8_t>(4, 0xAB));
  EXPECT_EQ(BufferResize(block, 4, 0), kEmptyBuffer);
  block = BufferResize(kEmptyBuffer, 0, 3);
  EXPECT_EQ(std::vector<std::uint8_t>(block, block + 3), std::vector<std::uint8_t>(3, 0));
  BufferFree(block, 3);
}

TEST(BridgeBufferDeathTest, NegativeLengthStopsTheProcess) {
  EXPECT_DEATH(BufferNew(-1), std::string(kReportFromRuntime) + "negative buffer length -1");
  std::uint8_t* block = BufferNew(4);
  EXPECT_DEATH(BufferResize(block, 4, -3),
               std::string(kReportFromRuntime) + "negative buffer length -3");
  BufferFree(block, 4);
}

TEST(BridgeBufferDeathTest, AllocationFailureNamesTheBytesWithoutHooks) {
  EXPECT_DEATH(CheckedAlloc(std::size_t{1} << 62),
               "^memory allocation of 4611686018427387904 bytes failed\n$");
}

TEST(WireReaderTest, ReadsFieldsInOrderLittleEndian) {
  const std::uint8_t body[] = {0x01, 0x02, 0, 0, 0, 0, 0, 0x80, 0x3F, 0xFF};
  WireReader reader(body, sizeof body);
  EXPECT_EQ(reader.Read<std::uint8_t>(), 0x01);
  EXPECT_EQ(reader.Read<std::int32_t>(), 2);
  EXPECT_EQ(reader.Read<float>(), 1.0f);
  EXPECT_EQ(reader.cursor(), 9u);
}

TEST(WireReaderTest, CountOfZeroOrLessIsAnEmptyList) {
  struct Case {
    std::int32_t count;
  };
  for (const Case c : {Case{.count = 0}, Case{.count = -5}, Case{.count = INT32_MIN}}) {
    SCOPED_TRACE(c.count);
    std::uint8_t body[8] = {};
    std::memcpy(body, &c.count, 4);
    WireReader reader(body, sizeof body);
    EXPECT_TRUE(reader.ReadList<float>().empty());
    EXPECT_EQ(reader.cursor(), 4u);  // The next field follows the count directly.
  }
}

TEST(WireReaderTest, ListReadsTheCountedElements) {
  const std::int32_t count = 2;
  const std::int16_t samples[] = {-32768, 32767};
  std::uint8_t body[8];
  std::memcpy(body, &count, 4);
  std::memcpy(body + 4, samples, 4);
  WireReader reader(body, sizeof body);
  EXPECT_EQ(reader.ReadList<std::int16_t>(), (List<std::int16_t>{-32768, 32767}));
}

TEST(WireReaderDeathTest, ReadsPastTheBufferStopTheProcess) {
  struct Case {
    const char* name;
    std::int32_t count;
    std::size_t buffer_length;
  };
  // The largest count must not wrap when multiplied by the element size.
  for (const Case c : {Case{"field", 0, 3}, Case{"list", 2, 8}, Case{"huge list", INT32_MAX, 64}}) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> body(std::max<std::size_t>(c.buffer_length, 4), 0);
    std::memcpy(body.data(), &c.count, 4);
    EXPECT_DEATH(
        {
          WireReader reader(body.data(), c.buffer_length);
          reader.ReadList<float>();
        },
        std::string(kReportFromRuntime) + "malformed request");
  }
}

TEST(WireWriterTest, ReleaseExactGivesTheWrittenBytes) {
  WireWriter writer;
  writer.Write(std::uint8_t{1});
  writer.WriteText("ab");
  writer.WriteList(List<std::int16_t>{-1});
  std::uint8_t* bytes = writer.ReleaseExact();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 13),
            (std::vector<std::uint8_t>{1, 2, 0, 0, 0, 'a', 'b', 1, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(writer.size(), 0u);
  std::free(bytes);
}

// ---- Handle table ----

TEST(HandleTableTest, IssuesIdsFromOneAndWrapsAfterTheLastId) {
  HandleTable from_start;
  EXPECT_EQ(from_start.Insert(std::make_shared<int>(0)), 1u);
  EXPECT_EQ(from_start.Insert(std::make_shared<int>(0)), 2u);

  HandleTable near_wrap(kLastHandleIdBeforeWrap - 1);
  EXPECT_EQ(near_wrap.Insert(std::make_shared<int>(0)), 2147483599u);
  EXPECT_EQ(near_wrap.Insert(std::make_shared<int>(0)), 2147483600u);
  EXPECT_EQ(near_wrap.Insert(std::make_shared<int>(0)), 1u);
}

TEST(HandleTableTest, ReleaseToZeroRemovesAndDestroysOnceUnreferenced) {
  HandleTable table;
  auto object = std::make_shared<int>(7);
  std::weak_ptr<int> watch = object;
  const std::uint64_t id = table.Insert(std::move(object));
  table.Retain(id);
  EXPECT_EQ(table.CountOf(id), 2);
  std::shared_ptr<void> held_by_operation = table.Resolve(id);
  EXPECT_EQ(table.CountOf(id), 2);  // Resolving takes a reference, not a count.
  table.Release(id);
  table.Release(id);
  EXPECT_EQ(table.CountOf(id), std::nullopt);
  EXPECT_FALSE(watch.expired());  // Still held by the operation.
  held_by_operation.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(HandleTableDeathTest, MissingIdsStopTheProcess) {
  HandleTable table;
  const std::uint64_t id = table.Insert(std::make_shared<int>(0));
  table.Release(id);
  const std::string report = std::string(kReportFromRuntime) + "unknown handle ";
  EXPECT_DEATH(table.Release(id), report + "1");
  EXPECT_DEATH(table.Retain(42), report + "42");
  EXPECT_DEATH(table.Resolve(0), report + "0");
}

TEST(HandleTableDeathTest, ReissuingALiveIdStopsTheProcess) {
  HandleTable table(/*first_id=*/1, /*last_id_before_wrap=*/2);
  table.Insert(std::make_shared<int>(0));
  table.Insert(std::make_shared<int>(0));
  EXPECT_DEATH(table.Insert(std::make_shared<int>(0)),
               std::string(kReportFromRuntime) + "handle 1 issued again while still in use");
}

// ---- Worker pool ----

TEST(WorkerPoolTest, QuotaTexts) {
  struct Case {
    const char* quota;
    const char* period;
    std::optional<std::size_t> processors;
  };
  for (const Case c :
       {Case{"max", "100000", std::nullopt}, Case{"-1", "100000", std::nullopt},
        Case{"200000", "100000", 2}, Case{"150000", "100000", 1}, Case{"50000", "100000", 1},
        Case{"x", "100000", std::nullopt}, Case{"100000", "0", std::nullopt}}) {
    SCOPED_TRACE(std::string(c.quota) + " " + c.period);
    EXPECT_EQ(QuotaFromCfs(c.quota, c.period), c.processors);
    EXPECT_EQ(QuotaFromCpuMax(std::string(c.quota) + " " + c.period), c.processors);
  }
  EXPECT_EQ(QuotaFromCpuMax("max"), std::nullopt);
}

// A child process pinned to one processor starts exactly one worker.
TEST(WorkerPoolDeathTest, OneProcessorInTheAffinityMaskGivesOneWorker) {
  if (ControlGroupQuota()) GTEST_SKIP() << "a control-group quota decides the count here";
  EXPECT_EXIT(
      {
        cpu_set_t one;
        sched_getaffinity(0, sizeof one, &one);
        int first = 0;
        while (!CPU_ISSET(first, &one)) ++first;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        sched_setaffinity(0, sizeof one, &one);
        _exit(static_cast<int>(WorkerCount()));
      },
      ::testing::ExitedWithCode(1), "");
}

// ---- Dispatch and delivery ----

// Echoes the i32 of its request body back as the result.
class Echo final : public Operation {
 public:
  explicit Echo(WireReader& body) : value_(body.Read<std::int32_t>()) {}
  WireWriter Run() override {
    WireWriter result;
    result.Write(value_);
    return result;
  }

 private:
  std::int32_t value_;
};

std::unique_ptr<Operation> DecodeEcho(WireReader& body) { return std::make_unique<Echo>(body); }

void DispatchEcho(Dart_Port port, std::int32_t value) {
  std::uint8_t* buffer = BufferNew(4);
  std::memcpy(buffer, &value, 4);
  DispatchAsync(&DecodeEcho, port, buffer, 4, 4);
}

// Keeps every worker inside a job of its own until released. Once all have
// arrived, each has finished whatever it ran before, delivery included.
struct WorkerHold {
  explicit WorkerHold(std::ptrdiff_t workers) : arrived(workers) {}
  std::latch arrived;
  std::latch released{1};
};
// Handed to the jobs as they are decoded; each job keeps its own reference
// until it is done waiting.
std::shared_ptr<WorkerHold> g_worker_hold;

class HoldWorker final : public Operation {
 public:
  explicit HoldWorker(WireReader&) : hold_(g_worker_hold) {}
  WireWriter Run() override {
    hold_->arrived.count_down();
    hold_->released.wait();
    return WireWriter();
  }

 private:
  std::shared_ptr<WorkerHold> hold_;
};

std::unique_ptr<Operation> DecodeHoldWorker(WireReader& body) {
  return std::make_unique<HoldWorker>(body);
}

// Runs `check` while every worker is idle and held; their own (empty)
// results, one per worker, are delivered once `check` returns.
template <typename Check>
void WithWorkersHeld(Check check) {
  const auto workers = static_cast<std::ptrdiff_t>(WorkerCount());
  const auto hold = std::make_shared<WorkerHold>(workers);
  g_worker_hold = hold;
  for (std::ptrdiff_t i = 0; i < workers; ++i) {
    DispatchAsync(&DecodeHoldWorker, 1, BufferNew(0), 0, 0);
  }
  g_worker_hold.reset();
  hold->arrived.wait();
  check();
  hold->released.count_down();
}

class BridgeDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override { StorePostFunction(&FakeDartVm::Post); }
};

TEST_F(BridgeDeliveryTest, ResultArrivesAsExternalBytesOnItsPort) {
  DispatchEcho(77, 0x01020304);
  auto result = FakeDartVm::Get().Next();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->port(), 77);
  EXPECT_EQ(result->type(), Dart_CObject_kExternalTypedData);
  EXPECT_EQ(result->element_type(), Dart_TypedData_kUint8);
  EXPECT_EQ(result->bytes(), (std::vector<std::uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(LiveResultBuffers(), 1);  // Only the VM frees an accepted result...
  result.reset();
  EXPECT_EQ(LiveResultBuffers(), 0);  // ...when it collects the Dart list.
}

TEST_F(BridgeDeliveryTest, EveryQueuedJobIsAnswered) {
  constexpr int kJobs = 64;
  for (int i = 0; i < kJobs; ++i) DispatchEcho(i, i);
  std::vector<bool> answered(kJobs, false);
  for (int i = 0; i < kJobs; ++i) {
    auto result = FakeDartVm::Get().Next();
    ASSERT_TRUE(result);
    std::int32_t value;
    std::memcpy(&value, result->bytes().data(), 4);
    EXPECT_EQ(value, result->port());
    answered.at(value) = true;
  }
  EXPECT_EQ(std::count(answered.begin(), answered.end(), true), kJobs);
}

// The VM refusing a message leaves the buffer with the library, which frees
// it at once, exactly once.
TEST_F(BridgeDeliveryTest, RefusedResultIsFreedAndReported) {
  StdoutCapture stdout_lines;
  FakeDartVm::Get().set_accepting(false);
  DispatchEcho(5, 1);
  DispatchEcho(6, 2);
  EXPECT_EQ(stdout_lines.NextLine(), kPostFailedLine);
  EXPECT_EQ(stdout_lines.NextLine(), kPostFailedLine);
  WithWorkersHeld([&] {
    EXPECT_FALSE(stdout_lines.HasMoreOutput());  // One line per result, no more.
    EXPECT_EQ(FakeDartVm::Get().refused(), 2);
    EXPECT_EQ(LiveResultBuffers(), 0);
  });
  for (std::size_t i = 0; i < WorkerCount(); ++i) stdout_lines.NextLine();  // the held jobs'
}

TEST(BridgeNoPostFunctionTest, EachResultIsDroppedWithOneLine) {
  StdoutCapture stdout_lines;
  for (int i = 0; i < 3; ++i) DispatchEcho(i, i);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(stdout_lines.NextLine(), kPostFailedLine);
  WithWorkersHeld([&] {
    EXPECT_FALSE(stdout_lines.HasMoreOutput());  // One line per result, no more.
    EXPECT_EQ(LiveResultBuffers(), 0);
  });
  for (std::size_t i = 0; i < WorkerCount(); ++i) stdout_lines.NextLine();  // the held jobs'
}

TEST(BridgeDispatchDeathTest, DeclaredLengthMustMatchTheBody) {
  std::uint8_t* buffer = BufferNew(8);
  EXPECT_DEATH(DispatchAsync(&DecodeEcho, 1, buffer, 8, 5),
               std::string(kReportFromRuntime) +
                   "malformed request: body of 4 bytes, declared data length 5");
  BufferFree(buffer, 8);
}

// ---- Dart API table ----

Dart_Isolate FakeCurrentIsolate() { return reinterpret_cast<Dart_Isolate>(0x1234); }

TEST(DartApiTest, OnlyMajorVersionTwoFillsTheTable) {
  const DartApiEntry entries[] = {
      {"Dart_CurrentIsolate", reinterpret_cast<void (*)()>(&FakeCurrentIsolate)},
      {nullptr, nullptr}};
  for (const int major : {1, 3}) {
    SCOPED_TRACE(major);
    const DartApi api{major, 0, entries};
    EXPECT_EQ(InitDartApi(&api), -1);
    EXPECT_EQ(DartApiFunctions().current_isolate, nullptr);
  }
  const DartApi api{2, 3, entries};
  EXPECT_EQ(InitDartApi(&api), 0);
  EXPECT_EQ(DartApiFunctions().current_isolate, &FakeCurrentIsolate);
  EXPECT_EQ(DartApiFunctions().new_persistent_handle, nullptr);  // Missing names stay null.
}

TEST(DartApiTest, AnEmptyNameEndsTheTable) {
  const DartApiEntry entries[] = {
      {"", nullptr}, {"Dart_CurrentIsolate", reinterpret_cast<void (*)()>(&FakeCurrentIsolate)}};
  const DartApi api{2, 0, entries};
  EXPECT_EQ(InitDartApi(&api), 0);
  EXPECT_EQ(DartApiFunctions().current_isolate, nullptr);
}

}  // namespace
}  // namespace quiro::bridge
