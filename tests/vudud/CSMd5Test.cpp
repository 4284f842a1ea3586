#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "CSException.h"
#include "CSMd5.h"

namespace {

struct Vector {
    const char* text;
    const char* hex;
};

// The RFC 1321 test suite, written with upper-case digits.
const Vector kVectors[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

const unsigned char* bytes(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

}  // namespace

TEST(CSMd5Test, DigestsOfTheReferenceStringsAreUpperCaseHexWhateverTheFeedPieces) {
    for (const Vector& v : kVectors) {
        const int len = static_cast<int>(std::strlen(v.text));
        for (int piece : {1, 3, 63, 64, 1000}) {
            CSMd5 md5;
            for (int off = 0; off < len; off += piece)
                md5.md5_append(bytes(v.text) + off, std::min(piece, len - off));
            EXPECT_STREQ(md5.getDigestHex(), v.hex) << "\"" << v.text << "\" in pieces of " << piece;
        }
    }
}

TEST(CSMd5Test, InitStartsOverAFinishedDigestRefusesMoreInputAndCopiesDiverge) {
    CSMd5 md5;
    md5.md5_append(bytes("junk"), 4);
    md5.md5_digest();
    EXPECT_THROW(md5.md5_append(bytes("a"), 1), CSException);
    md5.md5_init();
    EXPECT_FALSE(md5.isFinished());
    md5.md5_append(bytes("a"), 1);
    md5.md5_append(bytes("xyz"), -5);
    Md5Digest d;
    md5.getDigest(&d);
    EXPECT_EQ(d.val[0], 0x0C);
    EXPECT_EQ(d.val[15], 0x61);
    EXPECT_STREQ(md5.getDigestHex(), "0CC175B9C0F1B6A831C399E269772661");

    // A copy carries the partial state and goes on independently.
    CSMd5 a;
    a.md5_append(bytes("message "), 8);
    CSMd5 b(a);
    a.md5_append(bytes("digest"), 6);
    b.md5_append(bytes("xx"), 2);
    EXPECT_STREQ(a.getDigestHex(), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_STRNE(b.getDigestHex(), a.getDigestHex());
}
