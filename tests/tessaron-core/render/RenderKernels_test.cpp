// Both kernel sets against the plain formulas, on sources sized exactly to
// what the caller guarantees (a read past them shows under AddressSanitizer),
// at ratios on either side of the AVX2 interpolation's two forms, lengths
// that are not multiples of the vector width, and spans that end at the last
// pair of the source.
#include "tessaron-core/src/render/RenderKernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

using tsr::RenderKernels;
using tsr::RenderPath;

struct PathCase {
    RenderPath path;
    const char* name;
};
const PathCase kPaths[] = {{RenderPath::Baseline, "baseline"}, {RenderPath::Avx2, "avx2"}};

const RenderKernels* kernelsOf(RenderPath path) {
    if (!tsr::renderPathSupported(path)) return nullptr;
    return path == RenderPath::Avx2 ? tsr::kAvx2Kernels : &tsr::kBaselineKernels;
}

float expectedAt(const std::vector<float>& src, double x) {
    const auto i = static_cast<std::size_t>(x + 0.00001);
    const float t = static_cast<float>(std::max(x - static_cast<double>(i), 0.0));
    return t * (src[i + 1] - src[i]) + src[i];
}

std::vector<float> wave(std::size_t n) {
    std::vector<float> s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<float>(std::sin(0.37 * static_cast<double>(i)) * 0.9);
    return s;
}

}  // namespace

TEST(RenderKernels, InterpolateFollowsTheFormulaUpToTheSourcesLastPair) {
    for (const PathCase& p : kPaths) {
        const RenderKernels* k = kernelsOf(p.path);
        if (!k) continue;
        for (double ratio : {0.001, 1.0 / 6.0, 0.5, 0.75, 0.76, 1.0, 8000.0 / 2000.0, 9.7, 1000.0}) {
            for (double pos0 : {-0.000005, 0.0, 0.3, 2.999995, 17.25}) {
                for (std::size_t length : {std::size_t{2}, std::size_t{5}, std::size_t{23}, std::size_t{4000}}) {
                    if (pos0 + 0.00001 >= static_cast<double>(length - 1)) continue;
                    // As many outputs as keep every pair inside the source.
                    std::size_t n = 0;
                    while (pos0 + static_cast<double>(n) * ratio + 0.00001 + 1e-6 < static_cast<double>(length - 1) &&
                           n < 5000) {
                        ++n;
                    }
                    const std::vector<float> src = wave(length);
                    std::vector<float> out(n, -7.0f);
                    k->interpolate(src.data(), length, pos0, ratio, out.data(), n);
                    for (std::size_t i = 0; i < n; ++i) {
                        ASSERT_NEAR(out[i], expectedAt(src, pos0 + static_cast<double>(i) * ratio), 1e-6)
                            << p.name << " ratio " << ratio << " pos0 " << pos0 << " length " << length << " k " << i;
                    }
                }
            }
        }
    }
}

TEST(RenderKernels, ScaleByLineAndMixFollowTheirFormulas) {
    for (const PathCase& p : kPaths) {
        const RenderKernels* k = kernelsOf(p.path);
        if (!k) continue;
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{25}, std::size_t{512}}) {
            std::vector<float> x = wave(n);
            const std::vector<float> before = x;
            k->scaleByLine(x.data(), n, 0.8, -0.001);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_FLOAT_EQ(x[i], before[i] * static_cast<float>(0.8 - 0.001 * static_cast<double>(i)))
                    << p.name << " " << n << " " << i;
            }

            std::vector<std::vector<double>> acc(3, std::vector<double>(n + 1, 0.25));
            double* targets[3] = {acc[0].data(), acc[2].data() + 1, acc[1].data()};
            const double weights[3] = {0.5, -2.0, 1e-3};
            k->mix(targets, weights, 2, x.data(), n);  // the third one is not given
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_NEAR(acc[0][i], 0.25 + x[i] * 0.5, 1e-15) << p.name;
                ASSERT_NEAR(acc[2][i + 1], 0.25 - x[i] * 2.0, 1e-15) << p.name;
                ASSERT_EQ(acc[1][i], 0.25) << p.name;
            }
            EXPECT_EQ(acc[2][0], 0.25) << p.name;
            EXPECT_EQ(acc[0][n], 0.25) << p.name;
        }
    }
}

TEST(RenderKernels, ClampKeepsFullScaleAndSilencesNaN) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> in{0.5, 1.0, 1.5, -1.0, -3.0, std::nan(""), inf, -inf, -0.0, 0.999999, -0.25};
    const std::vector<double> want{0.5, 1.0, 1.0, -1.0, -1.0, 0.0, 1.0, -1.0, -0.0, 0.999999, -0.25};
    for (const PathCase& p : kPaths) {
        const RenderKernels* k = kernelsOf(p.path);
        if (!k) continue;
        for (std::size_t shift = 0; shift < 4; ++shift) {  // every value in every lane
            std::vector<double> x(in.begin() + static_cast<long>(shift), in.end());
            x.insert(x.end(), in.begin(), in.begin() + static_cast<long>(shift));
            k->clampToFullScale(x.data(), x.size());
            for (std::size_t i = 0; i < x.size(); ++i) {
                ASSERT_EQ(x[i], want[(i + shift) % want.size()]) << p.name << " " << shift << " " << i;
                ASSERT_EQ(std::signbit(x[i]), std::signbit(want[(i + shift) % want.size()])) << p.name;
            }
        }
    }
}

TEST(RenderKernels, ThePathCanBeChosenOnlyWhereTheProcessorRunsIt) {
    EXPECT_TRUE(tsr::renderPathSupported(RenderPath::Baseline));
    const bool avx2 = tsr::renderPathSupported(RenderPath::Avx2);
    EXPECT_EQ(tsr::selectRenderPath(RenderPath::Avx2), avx2);
    EXPECT_EQ(tsr::renderPath(), avx2 ? RenderPath::Avx2 : RenderPath::Baseline);
    EXPECT_TRUE(tsr::selectRenderPath(RenderPath::Baseline));
    EXPECT_EQ(tsr::renderPath(), RenderPath::Baseline);
    EXPECT_EQ(&tsr::renderKernels(), &tsr::kBaselineKernels);
}
