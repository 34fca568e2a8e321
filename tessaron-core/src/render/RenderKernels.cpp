#include "tessaron-core/src/render/RenderKernels.h"

#include <atomic>

namespace tsr {

#ifndef VBZ_AVX2_KERNELS
const RenderKernels* const kAvx2Kernels = nullptr;
#endif

namespace {

bool processorHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

const RenderKernels* kernelsFor(RenderPath path) {
    return path == RenderPath::Avx2 ? kAvx2Kernels : &kBaselineKernels;
}

// Chosen while the library loads; a render before that (from another load-time
// initialiser) finds the baseline set.
std::atomic<const RenderKernels*> current{&kBaselineKernels};
[[maybe_unused]] const bool chosenAtLoad = selectRenderPath(RenderPath::Avx2);

}  // namespace

const RenderKernels& renderKernels() { return *current.load(std::memory_order_relaxed); }

RenderPath renderPath() {
    return current.load(std::memory_order_relaxed) == &kBaselineKernels ? RenderPath::Baseline : RenderPath::Avx2;
}

bool renderPathSupported(RenderPath path) {
    if (path == RenderPath::Baseline) return true;
    static const bool avx2 = kAvx2Kernels != nullptr && processorHasAvx2();
    return avx2;
}

bool selectRenderPath(RenderPath path) {
    if (!renderPathSupported(path)) return false;
    current.store(kernelsFor(path), std::memory_order_relaxed);
    return true;
}

}  // namespace tsr
