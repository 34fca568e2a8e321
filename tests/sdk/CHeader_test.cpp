#include <gtest/gtest.h>

extern "C" int vbz_c_header_sizes_ok(void);

TEST(PublicHeader, CompilesAsCWithTheSameRecordLayout) { EXPECT_EQ(vbz_c_header_sizes_ok(), 1); }
