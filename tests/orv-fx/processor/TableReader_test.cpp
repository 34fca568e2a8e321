#include "orv-fx/processor/TableReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using orv::orvWaveforms;
using orv::TableReader;
using orv::WaveformRow;

namespace {

template <typename T>
class TableReaderTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(TableReaderTest, Precisions);

// One pass of read over a block of the given size; the values written.
template <typename T>
std::vector<T> readBlock(TableReader<T>& reader, const WaveformRow& row, uint64_t& position, std::size_t size,
                         bool& full) {
    std::vector<T> out(size, T(-7));
    std::size_t n = 0;
    full = reader.read(row, position, out, n);
    out.resize(n);
    return out;
}

}  // namespace

TYPED_TEST(TableReaderTest, RefusedRatesChangeNothing) {
    using T = TypeParam;
    TableReader<T> reader;
    reader.setOutputRate(T(48000));
    reader.setTableRate(T(18000));
    const T step = reader.step();
    const T threshold = reader.threshold();
    for (T bad : {T(0), T(-1), std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                  -std::numeric_limits<T>::infinity(), std::numeric_limits<T>::denorm_min()}) {
        reader.setTableRate(bad);
        reader.setOutputRate(bad == std::numeric_limits<T>::denorm_min() ? T(-3) : bad);
        EXPECT_EQ(reader.tableRate(), T(18000)) << bad;
        EXPECT_EQ(reader.outputRate(), T(48000)) << bad;
        EXPECT_EQ(reader.step(), step);
        EXPECT_EQ(reader.threshold(), threshold);
    }
    TableReader<T> fresh;
    EXPECT_EQ(fresh.step(), T(1));
    EXPECT_EQ(fresh.threshold(), T(0.005));
    fresh.setTableRate(T(1000));
    EXPECT_EQ(fresh.threshold(), T(0.5));  // capped
}

// A pulse of row 1 over 0.0555 s at 48000 Hz.
TYPED_TEST(TableReaderTest, WorkedPulseExample) {
    using T = TypeParam;
    TableReader<T> reader;
    reader.setOutputRate(T(48000));
    reader.setTableRate(T(1000) / T(0.0555));
    EXPECT_NEAR(reader.step(), 0.3754, 1e-4);
    EXPECT_NEAR(reader.threshold(), 0.00188, 1e-5);
    const WaveformRow& row = orvWaveforms[1];
    uint64_t position = 0;
    std::size_t total = 0;
    std::vector<T> out(960);
    for (;;) {
        std::size_t n = 0;
        const bool full = reader.read(row, position, out, n);
        total += n;
        if (!full) break;
        ASSERT_LT(total, 10000u);
    }
    EXPECT_EQ(total, 2662u);
    EXPECT_EQ(position, 0u);
    ASSERT_TRUE(reader.hasHeld());
    const T held = reader.held();
    EXPECT_EQ(held, static_cast<T>(row.samples[999]));

    std::size_t n = 0;
    ASSERT_TRUE(reader.readTail(out, n));
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 3u);
    // The ramp falls from held towards 0.
    for (std::size_t i = 0; i < n; ++i) EXPECT_LE(std::abs(out[i]), std::abs(held));
    EXPECT_FALSE(reader.hasHeld());
    EXPECT_EQ(reader.x(), T(0));
}

// The rumble's way of reading: on after every reported end, across blocks.
TYPED_TEST(TableReaderTest, LoopingAtHalfStepIsSeamless) {
    using T = TypeParam;
    TableReader<T> reader;
    reader.setOutputRate(T(2));
    reader.setTableRate(T(1));
    const WaveformRow& row = orvWaveforms[0];
    auto at = [&](uint64_t k) { return static_cast<T>(row.samples[k]); };
    auto mid = [](T a, T b) { return a + T(0.5) * (b - a); };

    uint64_t position = 0;
    std::vector<T> values;
    bool ended = false;
    while (!ended) {
        bool full = false;
        const std::vector<T> block = readBlock(reader, row, position, 7, full);
        values.insert(values.end(), block.begin(), block.end());
        ended = !full;
    }
    ASSERT_EQ(values.size(), 1998u);
    for (uint64_t k = 0; k < 999; ++k) {
        EXPECT_EQ(values[2 * k], at(k)) << k;
        EXPECT_EQ(values[2 * k + 1], mid(at(k), at(k + 1))) << k;
    }
    EXPECT_EQ(position, 0u);
    EXPECT_TRUE(reader.hasHeld());
    EXPECT_EQ(reader.held(), at(999));
    EXPECT_EQ(reader.x(), T(-1));

    bool full = false;
    const std::vector<T> next = readBlock(reader, row, position, 3, full);
    ASSERT_TRUE(full);
    EXPECT_EQ(next[0], at(999));
    EXPECT_EQ(next[1], mid(at(999), at(0)));
    EXPECT_EQ(next[2], at(0));
}

TYPED_TEST(TableReaderTest, EdgeCases) {
    using T = TypeParam;
    const WaveformRow& row10 = orvWaveforms[10];
    {
        SCOPED_TRACE("a read starting past the end writes nothing");
        TableReader<T> reader;
        uint64_t position = 390;
        bool full = true;
        EXPECT_TRUE(readBlock(reader, row10, position, 8, full).empty());
        EXPECT_FALSE(full);
        EXPECT_EQ(position, 0u);
    }
    {
        SCOPED_TRACE("a tail with nothing held completes at once");
        TableReader<T> reader;
        std::vector<T> out(4, T(-7));
        std::size_t n = 1;
        EXPECT_TRUE(reader.readTail(out, n));
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(out[1], T(-7));
    }
    {
        SCOPED_TRACE("row 10 at step 1 and its one-sample tail");
        TableReader<T> reader;
        uint64_t position = 0;
        bool full = true;
        const std::vector<T> body = readBlock(reader, row10, position, 1000, full);
        EXPECT_FALSE(full);
        ASSERT_EQ(body.size(), 389u);
        EXPECT_EQ(body[152], T(1));
        EXPECT_TRUE(reader.hasHeld());
        EXPECT_EQ(reader.held(), static_cast<T>(row10.samples[389]));
        EXPECT_EQ(reader.held(), T(0));
        EXPECT_EQ(reader.x(), T(-1));
        std::vector<T> tail(4, T(-7));
        std::size_t n = 0;
        EXPECT_TRUE(reader.readTail(tail, n));
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(tail[0], T(0));
    }
    {
        SCOPED_TRACE("a tail split over two blocks");
        TableReader<T> reader;
        reader.setTableRate(T(1));
        reader.setOutputRate(T(4));  // step 0.25: three ramp samples
        uint64_t position = 0;
        bool full = true;
        readBlock(reader, orvWaveforms[1], position, 5000, full);
        ASSERT_FALSE(full);
        std::vector<T> one(1);
        std::size_t n = 0;
        EXPECT_FALSE(reader.readTail(one, n));
        EXPECT_EQ(n, 1u);
        std::vector<T> rest(8);
        n = 0;
        EXPECT_TRUE(reader.readTail(rest, n));
        EXPECT_GE(n, 1u);
    }
}

TYPED_TEST(TableReaderTest, LoopingStopsWhenItCannotAdvance) {
    using T = TypeParam;
    std::vector<T> out(16, T(-7));
    {
        TableReader<T> reader;
        uint64_t position = 0;
        std::size_t n = 0;
        EXPECT_FALSE(reader.readLooping(WaveformRow{}, position, out, n));
        EXPECT_EQ(n, 0u);
    }
    {
        // A step far longer than the row: no pass can write after the first.
        TableReader<T> reader;
        reader.setTableRate(T(1e30));
        uint64_t position = 0;
        std::size_t n = 0;
        EXPECT_FALSE(reader.readLooping(orvWaveforms[0], position, out, n));
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(out[0], T(0));
    }
    {
        // The ordinary case fills the block across several row ends.
        TableReader<T> reader;
        reader.setOutputRate(T(1000));
        reader.setTableRate(T(90 * 1000));
        uint64_t position = 0;
        std::vector<T> block(960);
        std::size_t n = 0;
        EXPECT_TRUE(reader.readLooping(orvWaveforms[0], position, block, n));
        EXPECT_EQ(n, block.size());
    }
}
