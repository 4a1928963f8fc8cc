/* RNNoise C API as offered by the translated WebAssembly build. Only the
 * calls libquiro makes are declared; they behave like the native library's. */
#ifndef QUIRO_THIRD_PARTY_RNNOISE_H_
#define QUIRO_THIRD_PARTY_RNNOISE_H_

#ifdef __cplusplus
extern "C" {
#endif

typedef struct DenoiseState DenoiseState;
typedef struct RNNModel RNNModel;

/* Frame length in samples at 48 kHz. */
int rnnoise_get_frame_size(void);

/* `model` must be NULL: the built-in model is the only one available. Never
 * returns NULL; a failed allocation ends the process with a report. */
DenoiseState *rnnoise_create(RNNModel *model);

void rnnoise_destroy(DenoiseState *st);

/* Denoises one frame of 480 samples on the 16-bit scale from `in` into
 * `out` and returns the voice probability of the frame in [0, 1]. */
float rnnoise_process_frame(DenoiseState *st, float *out, const float *in);

#ifdef __cplusplus
}
#endif

#endif /* QUIRO_THIRD_PARTY_RNNOISE_H_ */
