// Pattern text through the engine: load, and for a pattern that loads, a
// sequence of it played and rendered for a bounded number of blocks (an
// endless pattern would render for ever), then stopped and unloaded.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tessaron-core/src/spatial/Layout.h"
#include "tessaron-core/src/tsr/TessaronCore.h"

namespace {
constexpr int kBlocks = 24;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tsr::TessaronCore core(tsr::makeDefaultLayout(), 2000.0, 128);
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int pattern = core.pattern_load_from_vpt(text, -1);
    if (pattern < 0) return 0;
    const int sequence = core.sequence_new(pattern, true, -1);
    if (sequence >= 0 && core.sequence_play(sequence, 0.0, 0.0) == 0) {
        for (int i = 0; i < kBlocks; ++i) core.render_buffer();
        core.sequence_stop(sequence, 0.0);
        core.render_buffer();  // removes the stopped sequence
    }
    core.pattern_unload(pattern);
    return 0;
}
