// The engine's render step.
#include <cmath>

#include "tessaron-core/src/render/RenderKernels.h"
#include "tessaron-core/src/signal/EngineClock.h"
#include "tessaron-core/src/tsr/TessaronCore.h"
#include "tessaron-core/src/tsr/time_utils.h"
#include "tessaron-core/src/tsr/tsr_log.h"

namespace tsr {
namespace {
constexpr const char* kSource = "tessaron-core/src/tsr";
}  // namespace

void TessaronCore::render_buffer() {
    const uint32_t actuators = layout_actuator_count();
    if (actuators != buffers_.size()) {
        buffers_.resize(actuators);
        if (actuators == 0) {
            tsr_log(3, kSource, __LINE__, "render_buffer: the layout has no actuator; nothing is rendered");
        }
        config_buffer_size_set(bufferSize_);
    }
    for (auto& buffer : buffers_) std::fill(buffer.begin(), buffer.end(), 0.0);
    // Without an actuator there is nothing to render into: like a pause.
    if (paused_ || buffers_.empty()) return;

    for (auto& [id, sequence] : sequences_.entries()) sequence.render(sampleRate_, globalBoost_, layout_, buffers_);

    layout_->clearChanged();

    const RenderKernels& kernels = renderKernels();
    for (auto& buffer : buffers_) kernels.clampToFullScale(buffer.data(), buffer.size());

    auto& entries = sequences_.entries();
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->second.isFinished()) it = entries.erase(it);
        else ++it;
    }

    advanceEngineClock(samplesToSeconds(sampleRate_, buffers_[0].size()));
}

}  // namespace tsr
