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
    // Sphere keyframes, run through again and again: every keyframe sizes its
    // weight caches on its first evaluation, within the warm-up below.
    const auto& pos = core.layout_get()->positions();
    s.spatKeyframes = nlohmann::json::array();
    for (int k = 0; k < 4; ++k) {
        const int a = 5 * k;
        s.spatKeyframes.push_back({{"timestamp", 0.25 * k},
                                   {"vicinities",
                                    {{{"position", {pos(0, a), pos(1, a), pos(2, a)}},
                                      {"orientation", {1, 0, 0, 0}},
                                      {"scale", {0.1, 0.1, 0.1}},
                                      {"amplitude", 80}}}}});
    }
    s.repeatSpat = true;
    const int p = core.pattern_load_from_vpt(engine_test::patternText(s), -1);
    ASSERT_GE(p, 0);
    for (int k = 0; k < 8; ++k) {
        const int id = core.sequence_new(p, true, -1);
        core.sequence_play(id, 0.1 * k, 0.001 * k);
    }
    for (int k = 0; k < 120; ++k) core.render_buffer();  // 1.28 s
    const long before = vbz_test::allocationCount();
    for (int k = 0; k < 200; ++k) core.render_buffer();
    EXPECT_EQ(vbz_test::allocationCount() - before, 0);
    EXPECT_EQ(core.sequences().size(), 8u);
}
}  // namespace
