/* C interface of the ORV-fx audio-to-haptics processor.
 *
 * A processor cuts interleaved audio into blocks of 20 ms and reduces every
 * block of every channel to a token of four band values (encode), or turns a
 * token stream back into vibration at its own rate (decode). Tokens carry no
 * rate: a processor at the capture rate and one at the haptic rate can form
 * a pipeline. These functions use the float sample overloads, so they work
 * with processors of input type 2 only.
 *
 * Results: 0 success, -22 invalid parameter (or an operation that failed),
 * -12 out of memory, -256 any other error. Every call stores its result as
 * the process-wide last error (orvfx_preset_name excepted).
 *
 * Threads: a processor is used by one thread at a time; different processors
 * may run on different threads. The encode, decode, size and last-error calls
 * allocate nothing and may run on an audio callback; create, destroy and
 * set_preset allocate or free and should not. */
#ifndef VIBRENZA_ORVFX_H
#define VIBRENZA_ORVFX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ORVFX_SUCCESS = 0,
    ORVFX_ERROR_NO_MEMORY = -12,
    ORVFX_ERROR_INVALID_PARAMETER = -22,
    ORVFX_ERROR_UNKNOWN = -256
};

/* Input sample types (0 int16, 1 int32, 2 float, 3 double) and processing
 * precisions (0 float, 1 double). */
enum {
    ORVFX_INPUT_S16 = 0,
    ORVFX_INPUT_S32 = 1,
    ORVFX_INPUT_F32 = 2,
    ORVFX_INPUT_F64 = 3,
    ORVFX_PROCESS_F32 = 0,
    ORVFX_PROCESS_F64 = 1
};

typedef struct orvfx_processor orvfx_processor_t;

/* A new processor with preset 0, or null (last error -22 for a rate other
 * than 500, 1000, 2000, 4000, 8000, 16000, 32000, 44100, 48000, 88200 or
 * 96000 Hz, no channel or an unknown type; -12 or -256 when out of memory). */
orvfx_processor_t* orvfx_create(uint32_t sampleRate, uint32_t channels, uint32_t inputType,
                                uint32_t processingType);
/* Null is accepted and does nothing. */
void orvfx_destroy(orvfx_processor_t* processor);
/* in holds frames x channels interleaved samples; tokens receives
 * orvfx_token_bytes(processor, frames) bytes. Null buffers with frames to
 * encode give -22. */
int32_t orvfx_encode_f32(orvfx_processor_t* processor, const float* in, uint8_t* tokens, uint64_t frames);
/* Blocks whose tokens lie beyond tokenBytes come out silent (not an error). */
int32_t orvfx_decode_f32(orvfx_processor_t* processor, const uint8_t* tokens, uint64_t tokenBytes, float* out,
                         uint64_t frames);
/* Frames per block; 0 for a null processor. */
int32_t orvfx_block_size(orvfx_processor_t* processor);
/* Token bytes for that many frames; 0 with last error -22 for a null
 * processor or a size beyond 32 bits. */
uint32_t orvfx_token_bytes(orvfx_processor_t* processor, uint64_t frames);
int32_t orvfx_last_error(void);
/* Presets 0 to 3; the processor starts afresh. -22 for any other value. */
int32_t orvfx_set_preset(orvfx_processor_t* processor, uint32_t preset);
/* "Default", "Sharp", "Crunchy", "Smooth" for 0 to 3, "Invalid" for any other
 * value; texts that live as long as the library. Leaves the last error. */
const char* orvfx_preset_name(uint32_t preset);

#ifdef __cplusplus
}
#endif

#endif /* VIBRENZA_ORVFX_H */
