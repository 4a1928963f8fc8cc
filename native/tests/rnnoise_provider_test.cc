// The RNNoise provider as libquiro sees it: the plain C API.

#include <gtest/gtest.h>
#include <rnnoise.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace {

// Virtual memory size of this process in kB, from /proc/self/status.
std::uint64_t VmSizeKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7));
  }
  ADD_FAILURE() << "no VmSize in /proc/self/status";
  return 0;
}

// Each state reserves a large range of address space for its own memory;
// releasing a state must give all of it back, or a process that opens and
// closes streams runs out of address space.
TEST(RnnoiseProviderTest, DestroyGivesBackAllAddressSpace) {
  rnnoise_destroy(rnnoise_create(nullptr));  // one-time set-up out of the way
  const std::uint64_t before = VmSizeKb();
  for (int i = 0; i < 8; ++i) rnnoise_destroy(rnnoise_create(nullptr));
  const std::uint64_t after = VmSizeKb();
  EXPECT_LT(after, before + 64 * 1024) << "grew by " << (after - before) / 1024 << " MiB";
}

TEST(RnnoiseProviderTest, SilenceInSilenceOut) {
  DenoiseState* state = rnnoise_create(nullptr);
  ASSERT_NE(state, nullptr);
  float in[480] = {};
  float out[480];
  for (int n = 0; n < 10; ++n) {
    const float probability = rnnoise_process_frame(state, out, in);
    EXPECT_GE(probability, 0.0f);
    EXPECT_LT(probability, 0.5f);
    for (float sample : out) ASSERT_EQ(sample, 0.0f);
  }
  rnnoise_destroy(state);
}

}  // namespace
