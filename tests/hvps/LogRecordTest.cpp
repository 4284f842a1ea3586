#include <gtest/gtest.h>

#include <string>

#include "LogRecord_hvps.h"

namespace {

uint16 checksumOf(const std::string& bytes) {
    return hvps_record_checksum(reinterpret_cast<const uint8*>(bytes.data()), bytes.size());
}

TEST(LogRecordTest, ChecksumFoldsTheHighNibbleBackWithAnArithmeticShift) {
    // "abcdefghi" reaches a hash with the top bit set: a logical shift would give A3C2.
    EXPECT_EQ(checksumOf("abcdefghi"), 0xA33D);
    EXPECT_EQ(checksumOf(std::string(8, '\x08')), 0x807F);
    EXPECT_EQ(checksumOf(""), 0);
}

TEST(LogRecordTest, ChecksumFedInPiecesEqualsTheChecksumOfTheWhole) {
    std::string body;
    for (int i = 0; i < 1000; i++) body += static_cast<char>(i * 37 % 256);
    const uint16 whole = checksumOf(body);
    for (size_t split : {size_t{0}, size_t{1}, size_t{7}, size_t{500}, body.size()}) {
        HVRecordChecksum sum;
        sum.add(reinterpret_cast<const uint8*>(body.data()), split);
        sum.add(reinterpret_cast<const uint8*>(body.data()) + split, body.size() - split);
        EXPECT_EQ(sum.value(), whole) << split;
    }
}

}  // namespace
