#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CSAES.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

Bytes pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

const Bytes kKey16 = fromHex("000102030405060708090A0B0C0D0E0F");
const Bytes kKey24 = fromHex("8E73B0F7DA0E6452C810F32B809079E562F8EAD2522C6B7B");
const Bytes kKey32 = fromHex("603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4");

Bytes encrypt(const Bytes& key, const Bytes& plain) {
    CSAESBuffer aes;
    Bytes out(plain.size() + 22);
    EXPECT_TRUE(aes.aes_encrypt_data(key.data(), static_cast<int>(key.size()), plain.data(),
                                     static_cast<int>(plain.size()), out.data(),
                                     static_cast<int>(out.size())))
        << aes.getErrorText();
    out.resize(aes.getOutputLength());
    return out;
}

// Decodes `msg` into a buffer of `capacity` bytes; returns the error code (0 on success).
int decrypt(const Bytes& key, const Bytes& msg, Bytes* plain, size_t capacity, std::string* text = nullptr) {
    CSAESBuffer aes;
    plain->assign(capacity, 0xEE);
    const bool ok =
        aes.aes_decrypt_data(key.data(), static_cast<int>(key.size()), msg.data(),
                             static_cast<int>(msg.size()), plain->data(), static_cast<int>(capacity));
    if (text) *text = aes.getErrorText();
    if (ok) plain->resize(aes.getOutputLength());
    EXPECT_EQ(ok, aes.getErrorCode() == 0);
    return aes.getErrorCode();
}

struct DataLine {
    Bytes key, plain, message;
};

std::vector<DataLine> readDataFile() {
    std::ifstream in(HVPS_SOURCE_DIR "/tests/data/aes-messages.txt");
    std::vector<DataLine> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string key, plain, message;
        fields >> key >> plain >> message;
        lines.push_back({fromHex(key), plain == "-" ? Bytes{} : fromHex(plain), fromHex(message)});
    }
    return lines;
}

}  // namespace

TEST(CSAESTest, EveryMessageFromTheSecondImplementationDecodesAndFailsUnderAnotherKey) {
    const std::vector<DataLine> lines = readDataFile();
    ASSERT_GE(lines.size(), 20u);
    for (const DataLine& d : lines) {
        SCOPED_TRACE("key " + std::to_string(d.key.size()) + " bytes, plaintext " +
                     std::to_string(d.plain.size()));
        Bytes plain;
        ASSERT_EQ(decrypt(d.key, d.message, &plain, d.plain.size()), 0);
        EXPECT_EQ(plain, d.plain);

        Bytes otherKey = d.key;
        otherKey[5] ^= 0x01;
        std::string text;
        EXPECT_EQ(decrypt(otherKey, d.message, &plain, d.plain.size() + 100, &text), AES_ERR_CORRUPT);
        EXPECT_EQ(text, "AES decode error- curruption detected");
    }
}

TEST(CSAESTest, RoundTripsForEveryLengthAndKeySizeWithMessages22BytesLonger) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 64; n++) lengths.push_back(n);
    // Lengths around the encoder's 64 KiB chunk, with and without a partial last block.
    for (size_t n : {100, 1000, 4095, 65531, 65532, 65533, 65535, 65536, 65548, 65549, 131073, 300001})
        lengths.push_back(n);
    for (const Bytes* key : {&kKey16, &kKey24, &kKey32}) {
        for (size_t n : lengths) {
            SCOPED_TRACE("key " + std::to_string(key->size()) + ", length " + std::to_string(n));
            const Bytes plain = pattern(n, static_cast<unsigned>(n));
            const Bytes msg = encrypt(*key, plain);
            ASSERT_EQ(msg.size(), n + 22);
            EXPECT_EQ(msg[0], 1);
            EXPECT_EQ(msg[1], 0);
            Bytes back;
            ASSERT_EQ(decrypt(*key, msg, &back, n), 0);
            EXPECT_EQ(back, plain);
        }
    }
    // Each encoding draws a fresh IV.
    EXPECT_NE(encrypt(kKey16, Bytes{}), encrypt(kKey16, Bytes{}));
}

TEST(CSAESTest, DamagedOrTruncatedMessagesAreDetectedAsCorruption) {
    for (size_t n : {0, 5, 11, 12, 16, 29, 100}) {
        const Bytes msg = encrypt(kKey16, pattern(n, 3));
        // Every byte after the version: header, body, stolen tail, check value.
        for (size_t pos = 2; pos < msg.size(); pos++) {
            Bytes bad = msg;
            bad[pos] ^= 0x40;
            Bytes plain;
            EXPECT_EQ(decrypt(kKey16, bad, &plain, n + 10), AES_ERR_CORRUPT)
                << "length " << n << " byte " << pos;
        }
        if (msg.size() > 18) {
            Bytes cut(msg.begin(), msg.end() - 1);
            Bytes plain;
            EXPECT_EQ(decrypt(kKey16, cut, &plain, n + 10), AES_ERR_CORRUPT)
                << "length " << n << " truncated";
        }
    }
}

TEST(CSAESTest, MalformedInputsAndBadArgumentsGiveTheirCodesAndTexts) {
    const Bytes good = encrypt(kKey16, pattern(20, 2));
    Bytes version2 = good;
    version2[0] = 2;
    Bytes minor7 = good;
    minor7[1] = 7;  // the minor version is not checked
    struct Case {
        const char* name;
        Bytes message;
        size_t capacity;
        int code;
        const char* text;
    } cases[] = {
        {"17 bytes", Bytes(good.begin(), good.begin() + 17), 100, AES_ERR_TOO_SHORT,
         "AES decode error- minimum encrypted message length is 18 bytes"},
        {"first byte 2", version2, 100, AES_ERR_VERSION, "AES decode error- require version 1.x encoding"},
        {"buffer one byte short", good, 19, AES_ERR_SHORT_WRITE,
         "AES decode error- too few bytes written on output"},
        {"exact buffer", good, 20, 0, ""},
        {"other minor version", minor7, 20, 0, ""},
    };
    for (const Case& c : cases) {
        Bytes plain;
        std::string text;
        EXPECT_EQ(decrypt(kKey16, c.message, &plain, c.capacity, &text), c.code) << c.name;
        EXPECT_EQ(text, c.text) << c.name;
    }

    // An encoding destination one byte short is refused before anything is written.
    CSAESBuffer aes;
    Bytes out(100, 0xEE);
    EXPECT_FALSE(aes.aes_encrypt_data(kKey16.data(), 16, good.data(), 10, out.data(), 31));
    EXPECT_STREQ(aes.getErrorText(), "AES encode error- too few bytes written on output");
    EXPECT_EQ(out, Bytes(100, 0xEE));
}

namespace {

// Encodes `input` through the stream interface; each block written runs a whole round trip of
// another message on this thread, as a callback may.
class NestingAES : public CSAES {
public:
    Bytes input, output;
    int nested = 0;

protected:
    int aes_read_block(unsigned char* buf, int len, int*) override {
        const int n = std::min(len, static_cast<int>(input.size() - iPos));
        std::copy_n(input.begin() + iPos, n, buf);
        iPos += n;
        return n;
    }
    int aes_write_block(const unsigned char* buf, int len, int*) override {
        const Bytes inner = pattern(70000 + nested++, 11);
        Bytes back;
        EXPECT_EQ(decrypt(kKey24, encrypt(kKey24, inner), &back, inner.size()), 0);
        EXPECT_EQ(back, inner);
        output.insert(output.end(), buf, buf + len);
        return len;
    }

private:
    size_t iPos = 0;
};

}  // namespace

// Working memory shared between the outer and the inner operation would garble one of them.
TEST(CSAESTest, AnOperationStartedFromInsideAnotherOnTheSameThreadKeepsBothIntact) {
    NestingAES outer;
    outer.input = pattern(200003, 4);
    ASSERT_TRUE(outer.aes_encrypt(kKey16.data(), 16)) << outer.getErrorText();
    EXPECT_GE(outer.nested, 3);
    Bytes back;
    ASSERT_EQ(decrypt(kKey16, outer.output, &back, outer.input.size()), 0);
    EXPECT_EQ(back, outer.input);
}

TEST(CSAESTest, RandomBytesUseEveryBitStayWithinTheBufferAndAreNeverRepeatedByAForkedChild) {
    Bytes a(4096 + 1, 0xAB);
    CSAES::aes_fillrand(a.data(), 4096);
    EXPECT_EQ(a[4096], 0xAB);
    // A generator built on 31-bit rand() values never sets the top bit of every fourth byte.
    bool highBitSeen[4] = {};
    for (size_t i = 0; i < 4096; i++) highBitSeen[i % 4] |= (a[i] & 0x80) != 0;
    for (bool seen : highBitSeen) EXPECT_TRUE(seen);
    Bytes untouched(8, 0x11);
    CSAES::aes_fillrand(untouched.data(), -3);
    EXPECT_EQ(untouched, Bytes(8, 0x11));

    // Small requests are served from bytes drawn ahead; a child must not repeat its parent's.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        unsigned char mine[8];
        CSAES::aes_fillrand(mine, 8);
        _exit(write(fds[1], mine, sizeof(mine)) == static_cast<ssize_t>(sizeof(mine)) ? 0 : 1);
    }
    Bytes parent(8), fromChild(8), again(8);
    CSAES::aes_fillrand(parent.data(), 8);
    ASSERT_EQ(read(fds[0], fromChild.data(), 8), 8);
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(parent, fromChild);
    CSAES::aes_fillrand(again.data(), 8);
    EXPECT_NE(again, parent);
}
