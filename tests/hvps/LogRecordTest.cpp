#include <gtest/gtest.h>

#include <cstring>
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

TEST(LogRecordTest, HeaderFieldsAreLittleEndianBehindTheSignature) {
    const uint8 head[kLogRecordHeaderSize] = {0xFA, 0x01, 0xAB, 0x02, 0x3D, 0xA3, 0x04, 0x03, 0x02, 0x81};
    uint16 checksum = 0;
    uint32 length = 0;
    ASSERT_TRUE(hvps_parse_record_header(head, &checksum, &length));
    EXPECT_EQ(checksum, 0xA33D);
    EXPECT_EQ(length, 0x81020304u);

    uint8 other[kLogRecordHeaderSize];
    std::memcpy(other, head, sizeof(other));
    other[3] = 0x03;
    checksum = 7;
    EXPECT_FALSE(hvps_parse_record_header(other, &checksum, &length));
    EXPECT_EQ(checksum, 7);
}

}  // namespace
