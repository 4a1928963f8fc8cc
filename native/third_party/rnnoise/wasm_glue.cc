// The RNNoise C API over the pinned WebAssembly build, translated to C at
// build time. Every DenoiseState owns a whole module instance with its own
// linear memory, so states on different threads share nothing but the
// read-only tables that the one-time initialisation fills in.

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "rnnoise.h"
#include "rnnoise_wasm.h"
#include "trap_handler.h"

namespace {

// The module's exports have minified names; these are what they stand for.
constexpr auto* kModuleMemory = &Z_rnnoiseZ_c;
constexpr auto* kModuleConstructors = &Z_rnnoiseZ_d;  // once per instance, before anything else
constexpr auto* kModuleCreate = &Z_rnnoiseZ_f;        // rnnoise_create
constexpr auto* kModuleMalloc = &Z_rnnoiseZ_g;
constexpr auto* kModuleDestroy = &Z_rnnoiseZ_h;  // rnnoise_destroy
constexpr auto* kModuleFree = &Z_rnnoiseZ_i;
constexpr auto* kModuleProcessFrame = &Z_rnnoiseZ_j;  // rnnoise_process_frame

constexpr std::uint32_t kFrameSamples = 480;
constexpr std::uint32_t kFrameBytes = kFrameSamples * sizeof(float);
constexpr std::uint64_t kWasmPageBytes = 65536;
// wasm-rt-impl of wabt 1.0.32 reserves this much address space per memory
// when bounds are checked by guard pages, but releases only the committed
// part when the memory is freed.
constexpr std::uint64_t kMemoryReservationBytes = 0x200000000ull;

std::once_flag g_runtime_once;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "rnnoise: %s\n", what);
  std::abort();
}

void InitRuntimeOnce() {
  std::call_once(g_runtime_once, [] {
    wasm_rt_init();
    Z_rnnoise_init_module();
  });
}

}  // namespace

// What the module imports from its host: the module's own memory, so the
// heap-resize and memcpy imports can reach it.
struct Z_a_instance_t {
  wasm_rt_memory_t* memory;
};

struct DenoiseState {
  Z_a_instance_t host;
  Z_rnnoise_instance_t module;
  std::uint32_t state;   // the module's denoiser state, an address in its memory
  std::uint32_t input;   // kFrameSamples floats in module memory
  std::uint32_t output;  // kFrameSamples floats in module memory
};

extern "C" {

// Import "a"."a": grow the heap to at least `requested_bytes`; 1 on success.
u32 Z_aZ_a(Z_a_instance_t* host, u32 requested_bytes) {
  wasm_rt_memory_t* memory = host->memory;
  const std::uint64_t needed_pages = (requested_bytes + kWasmPageBytes - 1) / kWasmPageBytes;
  if (needed_pages <= memory->pages) return 1;
  const auto delta = static_cast<std::uint32_t>(needed_pages - memory->pages);
  return wasm_rt_grow_memory(memory, delta) == UINT32_MAX ? 0 : 1;
}

// Import "a"."b": copy `size` bytes within the module's memory.
void Z_aZ_b(Z_a_instance_t* host, u32 destination, u32 source, u32 size) {
  wasm_rt_memory_t* memory = host->memory;
  if (std::uint64_t{destination} + size > memory->size ||
      std::uint64_t{source} + size > memory->size) {
    wasm_rt_trap(WASM_RT_TRAP_OOB);
  }
  std::memmove(memory->data + destination, memory->data + source, size);
}

// Called by the runtime for every trap. There is nothing to unwind to: the
// translated code may have left its state half-updated.
void quiro_rnnoise_trap(wasm_rt_trap_t code) {
  std::fprintf(stderr, "rnnoise: trap in the denoiser module: %s\n", wasm_rt_strerror(code));
  std::abort();
}

int rnnoise_get_frame_size(void) { return kFrameSamples; }

DenoiseState* rnnoise_create(RNNModel* model) {
  if (model != nullptr) Fail("only the built-in model is available");
  InitRuntimeOnce();
  auto* st = static_cast<DenoiseState*>(std::calloc(1, sizeof(DenoiseState)));
  if (st == nullptr) Fail("out of memory for a denoiser state");
  st->host.memory = &st->module.w2c_c;
  Z_rnnoise_instantiate(&st->module, &st->host);
  kModuleConstructors(&st->module);
  st->state = kModuleCreate(&st->module, 0);
  st->input = kModuleMalloc(&st->module, kFrameBytes);
  st->output = kModuleMalloc(&st->module, kFrameBytes);
  if (st->state == 0 || st->input == 0 || st->output == 0) {
    Fail("out of memory inside the denoiser module");
  }
  return st;
}

void rnnoise_destroy(DenoiseState* st) {
  if (st == nullptr) return;
  kModuleFree(&st->module, st->output);
  kModuleFree(&st->module, st->input);
  kModuleDestroy(&st->module, st->state);
  // Give back the uncommitted rest of the reservation first, which the
  // runtime would leak (8 GiB of address space per state). The committed
  // head stays mapped until the runtime frees it, so no other mapping can
  // land inside the range in between.
  wasm_rt_memory_t* memory = &st->module.w2c_c;
  munmap(memory->data + memory->size, kMemoryReservationBytes - memory->size);
  Z_rnnoise_free(&st->module);
  std::free(st);
}

float rnnoise_process_frame(DenoiseState* st, float* out, const float* in) {
  std::uint8_t* memory = kModuleMemory(&st->module)->data;
  std::memcpy(memory + st->input, in, kFrameBytes);
  const float probability = kModuleProcessFrame(&st->module, st->state, st->output, st->input);
  // Growing the heap inside the call may move a memory that has no guard
  // pages, so take the base again.
  memory = kModuleMemory(&st->module)->data;
  std::memcpy(out, memory + st->output, kFrameBytes);
  return probability;
}

}  // extern "C"
