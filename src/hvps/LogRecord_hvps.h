// The record format of a space's protocol log and its 16-bit checksum. The server verifies the
// first record of a body appended in log mode; clients build records with the same function. Pure
// functions and a small value type: safe from any thread.
#pragma once

#include <cstddef>

#include "CSDefs.h"

// Layout: signature (4 bytes), checksum (2, little-endian), length field n (4, little-endian), then
// n + 32 bytes of record body, which the checksum covers.
constexpr uint8 kLogRecordSignature[4] = {0xFA, 0x01, 0xAB, 0x02};
constexpr size_t kLogRecordHeaderSize = 10;
constexpr size_t kLogRecordChecksumOffset = 4;
constexpr size_t kLogRecordLengthOffset = 6;
// Bytes of the record body beyond the length field.
constexpr uint32 kLogRecordExtraBytes = 32;

// The running record checksum, fed in pieces: feeding a body at once or in any split gives the same
// value. The hash keeps a signed 32-bit state; its high nibble is folded back with an arithmetic
// shift, so a set top bit flips bits 8 to 31 as well.
class HVRecordChecksum {
public:
    void add(const uint8* data, size_t len);
    // The 16-bit checksum of everything added so far.
    uint16 value() const;

private:
    int32 iHash = 0;
};

// The checksum of one record body.
uint16 hvps_record_checksum(const uint8* body, size_t len);

// The header fields of a record that starts at `head` (kLogRecordHeaderSize bytes). False when the
// signature is not there; the fields are then left alone.
bool hvps_parse_record_header(const uint8* head, uint16* checksum, uint32* lengthField);
