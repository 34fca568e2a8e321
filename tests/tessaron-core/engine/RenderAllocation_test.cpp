// Steady-state rendering must not touch the heap: a counting operator new
// watches a render loop after its warm-up.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "tessaron-core/src/tsr/TessaronCore.h"
#include "tests/support/CountingAllocator.h"

namespace {
TEST(RenderAllocation, SteadyStateRenderingAllocatesNothing) {
    tsr::TessaronCore core(tsr::makeDefaultLayout(), 48000.0, 512);
    engine_test::SampleSpec s;
    s.repeatCount = 0;
    s.volumeKeyframes = nlohmann::json::array({{{"timestamp", 0.0}, {"volume", 20}}, {{"timestamp", 1.0}, {"volume", 100}}});
    s.spatKeyframes = nlohmann::json::array({engine_test::weightsKeyframe(0.0, 1), engine_test::weightsKeyframe(0.5, 9)});
    const int p = core.pattern_load_from_vpt(engine_test::patternText(s), -1);
    for (int k = 0; k < 8; ++k) {
        const int id = core.sequence_new(p, true, -1);
        core.sequence_play(id, 0.1 * k, 0.001 * k);
    }
    for (int k = 0; k < 4; ++k) core.render_buffer();
    const long before = vbz_test::allocationCount();
    for (int k = 0; k < 200; ++k) core.render_buffer();
    EXPECT_EQ(vbz_test::allocationCount() - before, 0);
    EXPECT_EQ(core.sequences().size(), 8u);
}
}  // namespace
