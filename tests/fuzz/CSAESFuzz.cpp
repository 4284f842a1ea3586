// Encrypted command bodies through the AES message decoder, and the encoder's round trip. The
// first input byte picks the key size; the rest is the message (or the plaintext to encode).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CSAES.h"
#include "FuzzSupport.h"

namespace {

const unsigned char kKey[32] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6, 0xAB, 0xF7, 0x15,
                                0x88, 0x09, 0xCF, 0x4F, 0x3C, 0x60, 0x3D, 0xEB, 0x10, 0x15, 0xCA,
                                0x71, 0xBE, 0x2B, 0x73, 0xAE, 0xF0, 0x85, 0x7D, 0x77, 0x81};

struct Freed {
    unsigned char* p = nullptr;
    ~Freed() { std::free(p); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1 << 20) return 0;
    const int keyLen = 16 + 8 * (data[0] % 3);
    const unsigned char* msg = data + 1;
    const int len = static_cast<int>(size - 1);

    // Decoding any bytes: either an error, or exactly the plaintext length the format implies,
    // the same through both output forms.
    CSAESBuffer aes;
    std::vector<unsigned char> plain(CSAES::aes_decrypt_dest_len(len) + 1);
    bool ok = aes.aes_decrypt_data(kKey, keyLen, msg, len, plain.data(), static_cast<int>(plain.size()));
    FUZZ_CHECK(ok != (aes.getErrorCode() != 0));
    Freed copy;
    int copyLen = aes.aes_decrypt_data(kKey, keyLen, msg, len, &copy.p);
    FUZZ_CHECK(ok == (copyLen >= 0));
    if (ok) {
        FUZZ_CHECK(aes.getOutputLength() == CSAES::aes_decrypt_dest_len(len));
        FUZZ_CHECK(copyLen == CSAES::aes_decrypt_dest_len(len));
        FUZZ_CHECK(std::memcmp(copy.p, plain.data(), copyLen) == 0 && copy.p[copyLen] == 0);
        if (copyLen > 0) {
            CSAESBuffer small;
            FUZZ_CHECK(!small.aes_decrypt_data(kKey, keyLen, msg, len, plain.data(), copyLen - 1));
            FUZZ_CHECK(small.getErrorCode() == AES_ERR_SHORT_WRITE);
        }
    } else {
        FUZZ_CHECK(copy.p == nullptr);
    }

    // Encoding the same bytes as plaintext: the message is 22 bytes longer and decodes back.
    std::vector<unsigned char> message(CSAES::aes_encrypt_dest_len(len));
    CSAESBuffer enc;
    FUZZ_CHECK(
        !enc.aes_encrypt_data(kKey, keyLen, msg, len, message.data(), static_cast<int>(message.size()) - 1));
    FUZZ_CHECK(enc.getErrorCode() == AES_ERR_SHORT_WRITE);
    FUZZ_CHECK(
        enc.aes_encrypt_data(kKey, keyLen, msg, len, message.data(), static_cast<int>(message.size())));
    FUZZ_CHECK(enc.getOutputLength() == static_cast<int>(message.size()));
    Freed back;
    int backLen =
        enc.aes_decrypt_data(kKey, keyLen, message.data(), static_cast<int>(message.size()), &back.p);
    FUZZ_CHECK(backLen == len);
    FUZZ_CHECK(len == 0 || std::memcmp(back.p, msg, len) == 0);
    return 0;
}
