// The emulator's terminal picture of what the vest played.
#include "tools/vest-emulator/LevelChart.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using vbz::emu::levelChart;

namespace {
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}
}  // namespace

TEST(LevelChart, ARowPerActuatorWithItsSignalWhereItPlayed) {
    // 1 s at 2000 Hz: actuator 0 full scale in the first half, actuator 2
    // at 1/8 in the second half, actuator 1 silent.
    std::vector<std::vector<float>> s(3, std::vector<float>(2000, 0.0f));
    for (int i = 0; i < 1000; ++i) s[0][static_cast<size_t>(i)] = (i % 2) ? 1.0f : -1.0f;
    for (int i = 1000; i < 2000; ++i) s[2][static_cast<size_t>(i)] = 0.125f;
    const auto rows = lines(levelChart(s, 2000, 10));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "actuator levels over 1.00 s (each column 100 ms; ' ' silence ... '@' full scale)");
    EXPECT_EQ(rows[1], "   0 |@@@@@     |   -3.0 dBFS");
    EXPECT_EQ(rows[2], "   1 |          |   silent");
    EXPECT_EQ(rows[3], "   2 |     +++++|  -21.1 dBFS");
}

TEST(LevelChart, NothingReceivedAndOddSizesAreSaidPlainly) {
    EXPECT_EQ(levelChart({}, 2000), "the vest received no signal\n");
    EXPECT_EQ(levelChart({{}, {}}, 2000), "the vest received no signal\n");
    EXPECT_EQ(levelChart({{0.5f}}, 0), "the vest received no signal\n");
    // Channels of different lengths: the short one is silent at the end.
    const auto rows = lines(levelChart({{1.0f, 1.0f, 1.0f, 1.0f}, {1.0f}}, 2000, 4));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2], "   1 |@   |    0.0 dBFS");
}
