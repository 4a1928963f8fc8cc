// A fake of the kernel's input devices for tests of the global key monitor.
//
// The module under test reads "/dev/input" with its own open, ioctl, poll and
// read calls. Here every test process enters a private mount namespace once,
// and each FakeInputDir bind-mounts a temporary folder of FIFOs named event*
// on "/dev/input"; child processes inherit the mount. Writing a 24-byte
// record to a FIFO is a key event, closing its writer is an unplug (POLLHUP).
// The preloaded shim (evdev_shim.c) answers EVIOCGBIT for the FIFOs, refuses
// mode-0 FIFOs with EACCES and fails eventfd on request.
#ifndef TESTS_EVDEV_FAKE_EVDEV_FAKE_H_
#define TESTS_EVDEV_FAKE_EVDEV_FAKE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace evdev_fake {

// Moves this process into a mount namespace of its own, so that the bind
// mounts of the fakes never reach the machine. Call before any thread starts
// (unshare refuses a process that runs threads). Returns "" on success, or
// why it is impossible here.
std::string EnterPrivateMountNamespace();

// For tests (evdev_fake_gtest.cc enters the namespace in a global test
// environment): why this process cannot fake /dev/input, or "" when it can.
// Tests skip with this text.
std::string Unavailable();

// Path of the shim library, for LD_PRELOAD of a child process. A child built
// with the address sanitizer would need that runtime ahead of it in
// LD_PRELOAD; test programs built with a sanitizer link the shim instead.
std::string ShimLibraryPath();

// Environment variable naming a file: while that file exists, eventfd fails
// in processes that have the shim (see evdev_shim.c).
inline constexpr const char* kEventfdFailEnv = "CORVEL_FAKE_EVENTFD_FAIL";

// Event codes and values used by the tests.
inline constexpr uint16_t kEvSyn = 0;
inline constexpr uint16_t kEvKey = 1;
inline constexpr uint16_t kEvRel = 2;
inline constexpr int32_t kRelease = 0;
inline constexpr int32_t kPress = 1;
inline constexpr int32_t kRepeat = 2;

enum class DeviceKind {
  kKeyboard,  // reports EV_KEY
  kPointer,   // reports only EV_SYN and EV_REL
  kRefused,   // mode 0: opening it fails with EACCES
};

class FakeInputDir {
 public:
  // Creates the folder and mounts it on /dev/input. Call only when
  // Unavailable() is empty.
  FakeInputDir();
  ~FakeInputDir();
  FakeInputDir(const FakeInputDir&) = delete;
  FakeInputDir& operator=(const FakeInputDir&) = delete;

  // Adds the FIFO `name` (which should begin with "event") and, for a device
  // that can be opened, keeps a writer on it.
  void AddDevice(const std::string& name, DeviceKind kind = DeviceKind::kKeyboard);

  // Writes one input event record to the device.
  void Write(const std::string& name, uint16_t type, uint16_t code, int32_t value);
  void Key(const std::string& name, uint16_t code, int32_t value) {
    Write(name, kEvKey, code, value);
  }
  // A key press or release followed by the synchronisation report, as a
  // keyboard sends them.
  void KeyWithSync(const std::string& name, uint16_t code, int32_t value);

  // Closes the writer: the reader sees POLLHUP, as for an unplugged device.
  void Unplug(const std::string& name);

  // The folder behind /dev/input, for files that tests put beside the FIFOs.
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  std::map<std::string, int> writers_;
};

}  // namespace evdev_fake

#endif  // TESTS_EVDEV_FAKE_EVDEV_FAKE_H_
