// The log-record checksum and the record layout against values worked out by hand from the
// published algorithm (never from the server's own function), so that a client and a server that
// share a wrong checksum cannot agree on it unnoticed.
#include <gtest/gtest.h>

#include <string>

#include "CSException.h"
#include "HVPSClient.h"
#include "LogRecord_hvps.h"

namespace {

uint16 checksumOf(const std::string& bytes) {
    return hvps_record_checksum(reinterpret_cast<const uint8*>(bytes.data()), bytes.size());
}

std::string bytes0To31() {
    std::string s;
    for (int i = 0; i < 32; i++) s += static_cast<char>(i);
    return s;
}

TEST(LogRecordTest, ChecksumMatchesTheIndependentVectors) {
    struct Case {
        std::string body;
        uint16 checksum;
    } cases[] = {
        // "abcdefghi" reaches a hash with the top bit set: a logical shift would give A3C2.
        {"abcdefghi", 0xA33D},
        {std::string(8, '\x08'), 0x807F},
        {"", 0},
        {std::string(32, '\0'), 0},
        {bytes0To31(), 0x50BF},
        {"The quick brown fox jumps over the lazy dog!", 0xA60E},
    };
    for (const auto& c : cases) EXPECT_EQ(checksumOf(c.body), c.checksum) << c.body;
}

TEST(LogRecordTest, ARecordIsSignatureChecksumAndLengthFieldLittleEndianBeforeTheBody) {
    const std::string body = bytes0To31();
    std::string record;
    HVPSClient::buildLogRecord(body.data(), body.size(), record);
    EXPECT_EQ(record, std::string("\xFA\x01\xAB\x02\xBF\x50\x00\x00\x00\x00", 10) + body);

    const std::string fox = "The quick brown fox jumps over the lazy dog!";  // 44 bytes: length field 12
    HVPSClient::buildLogRecord(fox.data(), fox.size(), record);
    EXPECT_EQ(record, std::string("\xFA\x01\xAB\x02\x0E\xA6\x0C\x00\x00\x00", 10) + fox);

    record = "unchanged";
    EXPECT_THROW(HVPSClient::buildLogRecord("short", 5, record), CSException);
    EXPECT_EQ(record, "unchanged");
}

}  // namespace
