/* The runtime's trap handler (WASM_RT_TRAP_HANDLER): reports the trap on one
 * line of stderr and aborts. Forced into wasm-rt-impl.c, which calls it by
 * the macro without declaring it. */
#ifndef QUIRO_RNNOISE_TRAP_HANDLER_H_
#define QUIRO_RNNOISE_TRAP_HANDLER_H_

#include <wasm-rt.h>

#ifdef __cplusplus
extern "C" {
#endif

WASM_RT_NO_RETURN void quiro_rnnoise_trap(wasm_rt_trap_t code);

#ifdef __cplusplus
}
#endif

#endif /* QUIRO_RNNOISE_TRAP_HANDLER_H_ */
