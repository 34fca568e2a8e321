// The reference loop built for baseline x86-64.
#define VBZ_REFERENCE_LOOP_BODY
#include "bench/ReferenceLoop.h"

namespace bench_reference {
RenderFn baselineLoop() { return renderReference; }
#ifndef VBZ_BENCH_AVX2
RenderFn avx2Loop() { return nullptr; }
#endif
}  // namespace bench_reference
