/* libquiro native interface: a voice isolator for 48 kHz mono speech in
 * frames of 480 samples. Frames are 32-bit floats on the unit scale
 * (-1.0 to 1.0) and are processed in place.
 *
 * The interface takes no lock: calls on one handle must not overlap, while
 * different handles may be used on different threads at the same time. */
#ifndef QUIRO_H_
#define QUIRO_H_

#include <stddef.h>
#include <stdint.h>

#define QUIRO_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QuiroIsolator QuiroIsolator;

/* Modes: 1 voice gate, 2 bypass, any other value denoise. */
#define QUIRO_MODE_DENOISE 0
#define QUIRO_MODE_VOICE_GATE 1
#define QUIRO_MODE_BYPASS 2

/* Status codes of quiro_isolator_process_frame_f32. */
#define QUIRO_OK 0
#define QUIRO_ERROR_NULL_ARGUMENT (-1)
#define QUIRO_ERROR_FRAME_SIZE (-2)
#define QUIRO_ERROR_PROCESSING (-3)

/* Never returns NULL; a failed allocation ends the process with a report on
 * standard error. */
QUIRO_EXPORT QuiroIsolator* quiro_isolator_create(int32_t mode);

/* NULL is allowed and does nothing. */
QUIRO_EXPORT void quiro_isolator_destroy(QuiroIsolator* isolator);

/* Processes `count` samples in place; `count` must be quiro_frame_samples().
 * The frame's voice score is not returned here. */
QUIRO_EXPORT int32_t quiro_isolator_process_frame_f32(QuiroIsolator* isolator, float* samples,
                                                      size_t count);

QUIRO_EXPORT size_t quiro_frame_samples(void); /* 480 */
QUIRO_EXPORT uint32_t quiro_sample_rate(void); /* 48000 Hz */

/* Returns the address of quiro_isolator_create; it keeps the native
 * exports referenced so that no link step drops them. */
QUIRO_EXPORT void* quiro_c_api_keep_symbols(void);

#ifdef __cplusplus
}
#endif

#endif /* QUIRO_H_ */
