// Plays the Dart VM for the bridge's tests: a post function that queues what
// it receives (or refuses it on request), external data collected the way the
// VM collects it, and a capture of the lines libquiro prints on stdout.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dart_native_api.h"

namespace quiro::bridge::testing {

inline constexpr auto kDeliveryTimeout = std::chrono::seconds(20);

// A result the VM took: its bytes stay where the library put them until the
// Dart list is collected, which runs the finaliser with the peer.
class PostedResult {
 public:
  PostedResult(Dart_Port port, const Dart_CObject& object) : port_(port), type_(object.type) {
    if (object.type != Dart_CObject_kExternalTypedData) return;
    const auto& external = object.value.as_external_typed_data;
    data_ = external.data;
    length_ = static_cast<std::size_t>(external.length);
    element_type_ = external.type;
    collect_ = std::shared_ptr<void>(external.peer, [callback = external.callback](void* peer) {
      callback(/*isolate_callback_data=*/nullptr, peer);
    });
  }

  Dart_Port port() const { return port_; }
  Dart_CObject_Type type() const { return type_; }
  Dart_TypedData_Type element_type() const { return element_type_; }
  std::vector<std::uint8_t> bytes() const { return {data_, data_ + length_}; }

 private:
  Dart_Port port_;
  Dart_CObject_Type type_;
  Dart_TypedData_Type element_type_ = Dart_TypedData_kByteData;
  const std::uint8_t* data_ = nullptr;
  std::size_t length_ = 0;
  std::shared_ptr<void> collect_;
};

class FakeDartVm {
 public:
  static FakeDartVm& Get() {
    // Never destroyed: workers may still be posting while the process exits.
    static FakeDartVm* vm = new FakeDartVm;
    return *vm;
  }

  static bool Post(Dart_Port port, Dart_CObject* object) { return Get().Receive(port, *object); }

  void set_accepting(bool accepting) {
    std::lock_guard lock(mutex_);
    accepting_ = accepting;
  }

  // The next accepted result; fails the calling test on timeout.
  std::optional<PostedResult> Next() {
    return NextWhere([](const PostedResult&) { return true; });
  }

  // The next accepted result for `port`, leaving those for other ports queued.
  std::optional<PostedResult> NextOn(Dart_Port port) {
    return NextWhere([port](const PostedResult& result) { return result.port() == port; });
  }

  int refused() const {
    std::lock_guard lock(mutex_);
    return refused_;
  }

 private:
  template <typename Match>
  std::optional<PostedResult> NextWhere(Match match) {
    std::unique_lock lock(mutex_);
    auto found = results_.end();
    const bool arrived = arrived_.wait_for(lock, kDeliveryTimeout, [&] {
      found = std::find_if(results_.begin(), results_.end(), match);
      return found != results_.end();
    });
    if (!arrived) {
      ADD_FAILURE() << "no result posted within the timeout";
      return std::nullopt;
    }
    PostedResult result = std::move(*found);
    results_.erase(found);
    return result;
  }

  bool Receive(Dart_Port port, const Dart_CObject& object) {
    {
      std::lock_guard lock(mutex_);
      if (!accepting_) {
        ++refused_;
        return false;
      }
      results_.emplace_back(port, object);
    }
    arrived_.notify_all();
    return true;
  }

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<PostedResult> results_;
  bool accepting_ = true;
  int refused_ = 0;
};

// Sends stdout into a pipe so a test can wait for the lines the workers print.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    int fds[2];
    if (::pipe(fds) != 0) ADD_FAILURE() << "pipe failed";
    read_end_ = fds[0];
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
  }
  ~StdoutCapture() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(read_end_);
  }

  // The next line without its line break; fails the test on timeout.
  std::string NextLine() {
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      pollfd readable{read_end_, POLLIN, 0};
      const int timeout_ms = static_cast<int>(std::chrono::milliseconds(kDeliveryTimeout).count());
      char chunk[512];
      ssize_t got = 0;
      if (::poll(&readable, 1, timeout_ms) != 1 ||
          (got = ::read(read_end_, chunk, sizeof chunk)) <= 0) {
        ADD_FAILURE() << "no line on stdout within the timeout";
        return {};
      }
      pending_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // Whether anything was printed that NextLine has not returned yet.
  bool HasMoreOutput() {
    pollfd readable{read_end_, POLLIN, 0};
    return !pending_.empty() || ::poll(&readable, 1, /*timeout=*/0) == 1;
  }

 private:
  int saved_ = -1;
  int read_end_ = -1;
  std::string pending_;
};

}  // namespace quiro::bridge::testing
