// The render kernels for baseline x86-64 (and for any other processor).
#include "tessaron-core/src/render/RenderKernelLoops.h"
#include "tessaron-core/src/render/RenderKernels.h"

namespace tsr {

const RenderKernels kBaselineKernels{kernel_loops::interpolate, kernel_loops::scaleByLine, kernel_loops::mix,
                          kernel_loops::clampToFullScale};

}  // namespace tsr
