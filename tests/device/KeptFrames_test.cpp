// The frames of the vest's own that a transport keeps during an exchange:
// a bounded list, handed out oldest first, each only to the link it came
// from.
#include "device/KeptFrames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/LogCapture.h"

using namespace vbz;

namespace {
constexpr const char* kTag = "Link";

std::vector<uint8_t> status(uint8_t marker) {
    std::vector<uint8_t> f(10, 0);
    f[0] = commandId(DeviceCommand::BoardStatus);
    f[1] = kSyncByte1;
    f[2] = kSyncByte2;
    f[3] = marker;
    commandCrc16(f.data(), 10);
    return f;
}
}  // namespace

TEST(KeptFrames, HandsOutOldestFirstUpToItsBoundAndLogsWhatItDrops) {
    vbz_test::LogCapture log;
    KeptFrames<> kept(kTag);
    for (uint8_t i = 0; i < KeptFrames<>::kMaxFrames; ++i)
        EXPECT_TRUE(kept.keep(status(i).data(), 10));
    EXPECT_FALSE(kept.keep(status(99).data(), 10));
    EXPECT_EQ(log.count(kTag,
                        "Dropped frame 0xA0 of the device's own: too many came during one exchange.",
                        1),
              1);

    KeptFrames<>::Buffer out{};
    for (uint8_t i = 0; i < KeptFrames<>::kMaxFrames; ++i) {
        ASSERT_EQ(kept.handOut(out), 10);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 10), status(i));
    }
    EXPECT_EQ(kept.handOut(out), 0);
    EXPECT_TRUE(kept.empty());
}

TEST(KeptFrames, FramesFromWhereTheLinkNoLongerPointsAreForgotten) {
    KeptFrames<int> kept(kTag);
    kept.keep(status(1).data(), 10, 1);
    kept.keep(status(2).data(), 10, 2);
    kept.keep(status(3).data(), 10, 1);
    KeptFrames<int>::Buffer out{};
    ASSERT_EQ(kept.handOut(out, 2), 10);
    EXPECT_EQ(out[3], 2) << "the frame of origin 1 before it is gone";
    EXPECT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.handOut(out, 2), 0);
    EXPECT_TRUE(kept.empty());

    kept.keep(status(4).data(), 10, 1);
    kept.clear();
    EXPECT_EQ(kept.handOut(out, 1), 0);
}
