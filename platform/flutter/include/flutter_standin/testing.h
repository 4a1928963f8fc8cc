// In-process testing API of the stand-in embedder: plays the Dart side without a socket.
#ifndef PLATFORM_FLUTTER_INCLUDE_FLUTTER_STANDIN_TESTING_H_
#define PLATFORM_FLUTTER_INCLUDE_FLUTTER_STANDIN_TESTING_H_

#include <flutter_linux/flutter_linux.h>

#include <memory>
#include <string>
#include <vector>

namespace flutter_standin {

// A started headless engine with an empty project. The caller owns the reference.
FlEngine* NewTestEngine();

// One call the host made on the Dart side.
struct DartCall {
  std::string channel;
  std::string method;
  std::shared_ptr<FlValue> args;  // Null when the host sent no arguments.
};

// Records the calls the host makes on the Dart side of `engine` while it lives.
class DartCallRecorder {
 public:
  explicit DartCallRecorder(FlEngine* engine);
  ~DartCallRecorder();
  DartCallRecorder(const DartCallRecorder&) = delete;
  DartCallRecorder& operator=(const DartCallRecorder&) = delete;

  const std::vector<DartCall>& calls() const { return *calls_; }

 private:
  GWeakRef engine_;
  std::shared_ptr<std::vector<DartCall>> calls_;
};

// Whether the response of a call delivered by CallFromDart can reach the caller.
enum class ReplyLink { kOpen, kBroken };

// Delivers a method call on `channel` as the Dart side would and runs the default main context
// until the host responds. Returns the response (new reference), or null when none came within
// `timeout_ms`. With ReplyLink::kBroken every response is refused, and null is returned at once.
FlMethodResponse* CallFromDart(FlBinaryMessenger* messenger, const char* channel,
                               const char* method, FlValue* args, ReplyLink link = ReplyLink::kOpen,
                               unsigned timeout_ms = 5000);

}  // namespace flutter_standin

#endif  // PLATFORM_FLUTTER_INCLUDE_FLUTTER_STANDIN_TESTING_H_
