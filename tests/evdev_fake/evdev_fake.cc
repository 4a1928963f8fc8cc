#include "evdev_fake.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace evdev_fake {
namespace {

constexpr const char* kInputDir = "/dev/input";

std::string ErrnoText(const char* what) { return std::string(what) + ": " + strerror(errno); }

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(ErrnoText(what.c_str()));
}

}  // namespace

std::string EnterPrivateMountNamespace() {
  if (geteuid() != 0) return "faking /dev/input needs root (unshare and bind mounts)";
  // The mount point; created once on machines without input devices. Only
  // the mount on it is private, the empty folder itself stays.
  if (mkdir(kInputDir, 0755) != 0 && errno != EEXIST) return ErrnoText("mkdir /dev/input");
  if (unshare(CLONE_NEWNS) != 0) return ErrnoText("unshare(CLONE_NEWNS)");
  // Private before anything is mounted, or the fake would propagate to the
  // machine's own /dev/input. Only mount points can be made private: /dev
  // usually is one, "/" is not inside a chroot.
  for (const char* mount_point : {"/dev", "/"}) {
    if (mount("none", mount_point, nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return "";
  }
  return ErrnoText("making mounts private");
}

std::string ShimLibraryPath() { return CORVEL_EVDEV_SHIM_PATH; }

FakeInputDir::FakeInputDir() {
  char pattern[] = "/tmp/corvel-input-XXXXXX";
  Check(mkdtemp(pattern) != nullptr, "mkdtemp");
  folder_ = pattern;
  Check(mount(folder_.c_str(), kInputDir, nullptr, MS_BIND, nullptr) == 0,
        "bind mount on /dev/input");
}

FakeInputDir::~FakeInputDir() {
  for (auto& [name, fd] : writers_) close(fd);
  umount2(kInputDir, MNT_DETACH);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void FakeInputDir::AddDevice(const std::string& name, DeviceKind kind) {
  const std::string path = folder_ + "/" + name;
  Check(mkfifo(path.c_str(), 0600) == 0, "mkfifo " + path);
  switch (kind) {
    case DeviceKind::kRefused:
      Check(chmod(path.c_str(), 0) == 0, "chmod " + path);
      return;
    case DeviceKind::kPointer:
      std::ofstream(folder_ + "/caps-" + name) << std::hex << ((1 << EV_SYN) | (1 << EV_REL));
      break;
    case DeviceKind::kKeyboard:
      break;
  }
  // Read-write never blocks on a FIFO, so the writer exists before the
  // monitor opens the device; closing it later raises POLLHUP there.
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  Check(fd >= 0, "open " + path);
  writers_[name] = fd;
}

void FakeInputDir::Write(const std::string& name, uint16_t type, uint16_t code, int32_t value) {
  static_assert(sizeof(input_event) == 24);
  input_event record{};
  record.type = type;
  record.code = code;
  record.value = value;
  const auto writer = writers_.find(name);
  if (writer == writers_.end()) throw std::runtime_error("no writer for " + name);
  Check(write(writer->second, &record, sizeof record) == sizeof record, "write " + name);
}

void FakeInputDir::KeyWithSync(const std::string& name, uint16_t code, int32_t value) {
  Key(name, code, value);
  Write(name, kEvSyn, 0, 0);
}

void FakeInputDir::Unplug(const std::string& name) {
  const auto writer = writers_.find(name);
  if (writer == writers_.end()) return;
  close(writer->second);
  writers_.erase(writer);
}

}  // namespace evdev_fake
