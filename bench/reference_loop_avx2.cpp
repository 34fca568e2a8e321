// The reference loop built for AVX2 with FMA (this file's own flags).
#define VBZ_REFERENCE_LOOP_BODY
#include "bench/ReferenceLoop.h"

namespace bench_reference {
RenderFn avx2Loop() { return renderReference; }
}  // namespace bench_reference
