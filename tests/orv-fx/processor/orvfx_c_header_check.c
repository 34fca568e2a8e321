/* The processor's C interface must be usable from C. */
#include "orv-fx/orvfx.h"

#include <stddef.h>

int orvfx_c_header_ok(void) {
    orvfx_processor_t* processor = orvfx_create(48000, 1, ORVFX_INPUT_F32, ORVFX_PROCESS_F64);
    const int32_t blockSize = orvfx_block_size(processor);
    const uint32_t tokenBytes = orvfx_token_bytes(processor, (uint64_t)blockSize);
    const int ok = processor != NULL && blockSize == 960 && tokenBytes == 32 && orvfx_last_error() == ORVFX_SUCCESS &&
                   orvfx_set_preset(processor, 4) == ORVFX_ERROR_INVALID_PARAMETER;
    orvfx_destroy(processor);
    return ok;
}
