// Builds request bodies the way the Dart side's generated code does, sends
// them through the exported entry points and takes their results apart.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bridge_fake_dart.h"
#include "isolator.h"
#include "quiro_bridge.h"

namespace quiro::bridge::testing {

enum FunctionId : std::int32_t {
  kCreate = 1,
  kProcessF32 = 2,
  kProcessI16 = 3,
  kDefaultTuning = 4,
  kLibraryInit = 5,
};

class Bytes {
 public:
  template <typename T>
  Bytes& Put(T value) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
    bytes_.insert(bytes_.end(), raw, raw + sizeof(T));
    return *this;
  }
  template <typename T>
  Bytes& PutList(const std::vector<T>& list) {
    Put(static_cast<std::int32_t>(list.size()));
    for (const T& value : list) Put(value);
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads a result message field by field.
class ResultReader {
 public:
  explicit ResultReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  template <typename T>
  T Get() {
    T value{};
    if (cursor_ + sizeof(T) > bytes_.size()) {
      ADD_FAILURE() << "result too short";
      return value;
    }
    std::memcpy(&value, bytes_.data() + cursor_, sizeof(T));
    cursor_ += sizeof(T);
    return value;
  }
  template <typename T>
  std::vector<T> GetList() {
    std::vector<T> list(static_cast<std::size_t>(std::max(Get<std::int32_t>(), 0)));
    for (T& value : list) value = Get<T>();
    return list;
  }
  std::string GetText() {
    std::string text;
    for (const char c : GetList<char>()) text += c;
    return text;
  }
  bool at_end() const { return cursor_ == bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t cursor_ = 0;
};

inline Dart_Port NewPort() {
  static std::atomic<Dart_Port> next{1000};
  return next++;
}

// Hands `body` to dispatch_async in a library buffer `spare` bytes longer
// than the body; the declared data length defaults to the body's size.
inline void Send(std::int32_t function_id, Dart_Port port, const Bytes& body, int spare = 0,
                 std::int32_t data_length = -1) {
  const auto size = static_cast<std::int32_t>(body.bytes().size());
  const std::int32_t buffer_length = size + spare;
  std::uint8_t* buffer = quiro_bridge_buffer_new(buffer_length);
  if (size > 0) std::memcpy(buffer, body.bytes().data(), body.bytes().size());
  quiro_bridge_dispatch_async(function_id, port, buffer, buffer_length,
                              data_length < 0 ? size : data_length);
}

inline std::vector<std::uint8_t> Call(std::int32_t function_id, const Bytes& body, int spare = 0) {
  const Dart_Port port = NewPort();
  Send(function_id, port, body, spare);
  auto result = FakeDartVm::Get().NextOn(port);
  return result ? result->bytes() : std::vector<std::uint8_t>{};
}

inline std::uint64_t CreateIsolator() {
  ResultReader result(
      Call(kCreate, Bytes().PutList<std::uint8_t>({}).Put(100.0f).Put(0.02f).Put(-10.0f)));
  EXPECT_EQ(result.Get<std::uint8_t>(), 0);
  return result.Get<std::uint64_t>();
}

// Sends a frame for `handle` with the count the Dart side adds per request.
template <typename Sample>
void SendFrame(std::uint64_t handle, Dart_Port port, const std::vector<Sample>& frame) {
  quiro_bridge_handle_retain(handle);
  const std::int32_t id = std::is_same_v<Sample, float> ? kProcessF32 : kProcessI16;
  Send(id, port, Bytes().Put(handle).PutList(frame));
}

// A processed frame and its score, or the error text.
template <typename Sample>
struct FrameReply {
  std::uint8_t kind = 0xFF;
  std::vector<Sample> frame;
  float score = NAN;
  std::string error;
};

template <typename Sample>
FrameReply<Sample> ReadFrameReply(std::vector<std::uint8_t> bytes) {
  ResultReader result(std::move(bytes));
  FrameReply<Sample> reply;
  reply.kind = result.Get<std::uint8_t>();
  if (reply.kind == 0) {
    reply.frame = result.GetList<Sample>();
    reply.score = result.Get<float>();
  } else {
    reply.error = result.GetText();
  }
  EXPECT_TRUE(result.at_end());
  return reply;
}

template <typename Sample>
FrameReply<Sample> ProcessFrame(std::uint64_t handle, const std::vector<Sample>& frame) {
  const Dart_Port port = NewPort();
  SendFrame(handle, port, frame);
  auto result = FakeDartVm::Get().NextOn(port);
  return ReadFrameReply<Sample>(result ? result->bytes() : std::vector<std::uint8_t>{});
}

// Speech-like test signal well above the level gate, different per `seed`.
inline std::vector<float> TestFrame(int seed) {
  std::vector<float> frame(kFrameSamples);
  std::uint32_t noise = 2654435761u * static_cast<std::uint32_t>(seed + 1);
  for (std::size_t i = 0; i < frame.size(); ++i) {
    noise = noise * 1664525u + 1013904223u;
    const float hiss = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
    frame[i] = 0.3f * std::sin(0.05f * static_cast<float>(i + seed * kFrameSamples)) + 0.1f * hiss;
  }
  return frame;
}

// What an Isolator of the bridge's mode makes of `frames`, called directly.
struct DirectReply {
  std::vector<float> frame;
  float score;
};
inline std::vector<DirectReply> ProcessDirectly(const std::vector<std::vector<float>>& frames) {
  Isolator isolator(IsolatorMode::VoiceGate);
  std::vector<DirectReply> replies;
  for (std::vector<float> frame : frames) {
    const FrameResult result = isolator.process_frame(frame);
    replies.push_back({frame, result.ok() ? result.score() : NAN});
  }
  return replies;
}

}  // namespace quiro::bridge::testing
