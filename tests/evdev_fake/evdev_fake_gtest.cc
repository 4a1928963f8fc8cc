// Enters the private mount namespace once per test process, before any test
// has started GLib or GTK threads.
#include <gtest/gtest.h>

#include "evdev_fake.h"

namespace evdev_fake {
namespace {

class MountNamespaceEnvironment : public testing::Environment {
 public:
  void SetUp() override { reason = EnterPrivateMountNamespace(); }
  std::string reason = "the mount namespace environment has not run";
};

MountNamespaceEnvironment* const g_environment = static_cast<MountNamespaceEnvironment*>(
    testing::AddGlobalTestEnvironment(new MountNamespaceEnvironment));

}  // namespace

std::string Unavailable() {
  return g_environment->reason.empty() ? "" : "cannot fake /dev/input: " + g_environment->reason;
}

}  // namespace evdev_fake
