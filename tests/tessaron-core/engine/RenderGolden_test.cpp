// The render step against the golden recording of its output (golden/): every
// kept buffer of every scenario within 1e-6 of full scale, on each kernel path
// (baseline x86-64 and AVX2), so that the hot loops, however restructured,
// change nothing but the last bits.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "tests/tessaron-core/engine/golden/GoldenFile.h"
#include "tests/tessaron-core/engine/golden/GoldenScenarios.h"
#include "tessaron-core/src/render/RenderKernels.h"

namespace {

constexpr double kTolerance = 1e-6;

golden::GoldenData loadGolden() {
    std::ifstream in(VBZ_RENDER_GOLDEN_FILE, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    golden::GoldenData data;
    EXPECT_TRUE(in.good() || in.eof()) << "cannot read " << VBZ_RENDER_GOLDEN_FILE;
    EXPECT_TRUE(golden::decode(text.str(), data)) << VBZ_RENDER_GOLDEN_FILE << " is damaged";
    return data;
}

void compareWithGolden() {
    const golden::GoldenData data = loadGolden();
    if (data.fingerprint != golden::bankFingerprint()) {
        GTEST_SKIP() << "the golden file was recorded with another signal bank";
    }
    const std::vector<golden::Scenario> scenarios = golden::scenarios();
    ASSERT_EQ(data.recordings.size(), scenarios.size());
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
        const golden::Recording& rec = data.recordings[s];
        ASSERT_EQ(rec.name, scenarios[s].name);
        std::size_t kept = 0;
        double worst = 0.0;
        double loudest = 0.0;
        golden::runScenario(scenarios[s], [&](int k, const tsr::ActuatorBuffers& buffers) {
            ASSERT_LT(kept, rec.buffers.size()) << rec.name;
            const golden::Buffer& expected = rec.buffers[kept++];
            ASSERT_EQ(buffers.size(), expected.size()) << rec.name;
            for (std::size_t ch = 0; ch < buffers.size(); ++ch) {
                ASSERT_EQ(buffers[ch].size(), expected[ch].size()) << rec.name;
                for (std::size_t i = 0; i < buffers[ch].size(); ++i) {
                    const double d = std::fabs(buffers[ch][i] - expected[ch][i]);
                    worst = std::max(worst, d);
                    loudest = std::max(loudest, std::fabs(expected[ch][i]));
                    ASSERT_LE(d, kTolerance) << rec.name << ", buffer " << k << ", actuator " << ch << ", frame " << i
                                             << ": " << buffers[ch][i] << " instead of " << expected[ch][i];
                }
            }
        });
        EXPECT_EQ(kept, rec.buffers.size()) << rec.name;
        // A scenario that renders silence would compare nothing.
        EXPECT_GT(loudest, 0.05) << rec.name;
        std::ostringstream worstText;
        worstText << worst;
        ::testing::Test::RecordProperty(rec.name, worstText.str());
    }
}

}  // namespace

TEST(RenderGolden, BaselinePathMatchesTheRecording) {
    ASSERT_TRUE(tsr::selectRenderPath(tsr::RenderPath::Baseline));
    compareWithGolden();
}

TEST(RenderGolden, Avx2PathMatchesTheRecording) {
    if (!tsr::selectRenderPath(tsr::RenderPath::Avx2)) GTEST_SKIP() << "this processor has no AVX2 with FMA";
    EXPECT_EQ(tsr::renderPath(), tsr::RenderPath::Avx2);
    compareWithGolden();
}

// Where the processor has AVX2 with FMA, the library chose it when it loaded.
TEST(RenderGolden, TheLoadChoosesTheBestPathThisProcessorRuns) {
    EXPECT_EQ(tsr::renderPath(), tsr::renderPathSupported(tsr::RenderPath::Avx2) ? tsr::RenderPath::Avx2
                                                                                 : tsr::RenderPath::Baseline);
}
