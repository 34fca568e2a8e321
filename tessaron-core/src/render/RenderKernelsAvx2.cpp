// The render kernels for AVX2 with FMA; this file alone is compiled with
// those instructions enabled, and its kernels run only where the processor
// has them (RenderKernels.cpp).
#include "tessaron-core/src/render/RenderKernelLoops.h"
#include "tessaron-core/src/render/RenderKernels.h"

namespace tsr {
namespace {
const RenderKernels kAvx2{kernel_loops::interpolate, kernel_loops::scaleByLine, kernel_loops::mix,
                          kernel_loops::clampToFullScale};
}  // namespace

const RenderKernels* const kAvx2Kernels = &kAvx2;

}  // namespace tsr
