#include "LogRecord_hvps.h"

#include <cstring>

void HVRecordChecksum::add(const uint8* data, size_t len) {
    // Shifts on the unsigned form: a left shift into the sign bit is then well defined, and the one
    // right shift that must copy the sign bit is made on the signed value explicitly.
    uint32 h = static_cast<uint32>(iHash);
    for (size_t i = 0; i < len; i++) {
        h = (h << 4) + data[i];
        uint32 g = h & 0xF0000000u;
        if (g != 0) {
            h ^= static_cast<uint32>(static_cast<int32>(g) >> 24);
            h ^= g;
        }
    }
    iHash = static_cast<int32>(h);
}

uint16 HVRecordChecksum::value() const {
    uint32 h = static_cast<uint32>(iHash);
    return static_cast<uint16>((h & 0xFFFF) ^ (h >> 16));
}

uint16 hvps_record_checksum(const uint8* body, size_t len) {
    HVRecordChecksum sum;
    sum.add(body, len);
    return sum.value();
}

bool hvps_parse_record_header(const uint8* head, uint16* checksum, uint32* lengthField) {
    if (std::memcmp(head, kLogRecordSignature, sizeof(kLogRecordSignature)) != 0) return false;
    const uint8* c = head + kLogRecordChecksumOffset;
    const uint8* n = head + kLogRecordLengthOffset;
    *checksum = static_cast<uint16>(c[0] | c[1] << 8);
    *lengthField = static_cast<uint32>(n[0]) | static_cast<uint32>(n[1]) << 8 |
                   static_cast<uint32>(n[2]) << 16 | static_cast<uint32>(n[3]) << 24;
    return true;
}
