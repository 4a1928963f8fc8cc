// The runtime under the translated RNNoise module lives inside a process
// with its own crash handling: it must leave signal handling alone, and a
// trap must end the process with one line rather than jump anywhere.

#include <gtest/gtest.h>
#include <rnnoise.h>
#include <signal.h>
#include <wasm-rt.h>

namespace {

struct sigaction CurrentAction(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

TEST(WasmRuntimeTest, CreatingStatesInstallsNoSignalHandler) {
  for (int signal : {SIGSEGV, SIGBUS}) {
    SCOPED_TRACE(signal);
    const struct sigaction before = CurrentAction(signal);
    DenoiseState* state = rnnoise_create(nullptr);
    float in[480] = {}, out[480];
    rnnoise_process_frame(state, out, in);
    rnnoise_destroy(state);
    const struct sigaction after = CurrentAction(signal);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_EQ(after.sa_flags, before.sa_flags);
  }
}

// wasm_rt_trap is what the translated code calls on every trap.
TEST(WasmRuntimeDeathTest, TrapReportsOneLineAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(wasm_rt_trap(WASM_RT_TRAP_INT_OVERFLOW),
               "^rnnoise: trap in the denoiser module: Integer overflow on divide or "
               "truncation\n$");
}

}  // namespace
