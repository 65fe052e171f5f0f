// A build without zlib: gzip is known for what it is, and said to be
// unreadable here, never taken for text.

#include <gtest/gtest.h>

#include <vector>

#include "app/gunzip.h"

TEST(WithoutZlib, GzipIsRecognisedAndNotRead) {
    const std::vector<std::uint8_t> gzip = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03};
    EXPECT_FALSE(tarnwick::gzip_supported());
    EXPECT_TRUE(tarnwick::is_gzip(gzip));
    EXPECT_FALSE(tarnwick::is_gzip(std::vector<std::uint8_t>{0x1F}));
    EXPECT_EQ(tarnwick::gunzip(gzip, 1 << 20).outcome, tarnwick::Gunzipped::Outcome::unsupported);
}
