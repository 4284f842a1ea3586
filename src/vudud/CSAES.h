// CSAES: the version-1 encrypted message format (a random IV, a 4-byte check value and the AES
// block cipher used as a 16-byte block function under the caller's key), and the process's source
// of random bytes. CSAESBuffer works between memory buffers, CSAESFile between files. An object
// runs one operation at a time; failures are reported as false (or -1) with an error code and text
// left in the object, never by exceptions. aes_fillrand is safe from any thread.
#pragma once

#include <cstdio>
#include <memory>

#include "CSDefs.h"

enum : int {
    AES_ERR_VERSION = -1,      // first byte is not 1
    AES_ERR_TOO_SHORT = -2,    // fewer than 18 bytes
    AES_ERR_SHORT_WRITE = -3,  // the output took fewer bytes than given
    AES_ERR_CORRUPT = -4,      // check value mismatch: wrong key or damaged message
    AES_ERR_KEY = -5,          // key is not 16, 24 or 32 bytes
    AES_ERR_MEMORY = -6,
};

class CSAES {
public:
    static constexpr int kMessageOverhead = 22;  // 2 version bytes, 16 header bytes, 4 check bytes
    static constexpr int kMinMessage = 18;
    static constexpr int kMaxErrorText = 127;

    CSAES() = default;
    CSAES(const CSAES&) = delete;
    CSAES& operator=(const CSAES&) = delete;
    virtual ~CSAES() = default;

    // Encode / decode everything aes_read_block yields into aes_write_block. The key bytes are
    // the AES key as they are: 16, 24 or 32 bytes, else AES_ERR_KEY.
    bool aes_encrypt(const unsigned char* key, int keyLen);
    bool aes_decrypt(const unsigned char* key, int keyLen);

    // True when an error is set; fills the code and the text (either pointer may be null).
    bool aes_get_error(int* code, const char** text) const;
    int getErrorCode() const { return iErrorCode; }
    const char* getErrorText() const { return iErrorText; }
    void aes_print_error(const char* prefix) const;
    // Stores `code` and `text` (cut to 127 characters) or, for a null text, the standard text of the
    // code for encoding or decoding. Code 0 clears the error.
    void aes_set_error(int code, const char* text, bool encoding);

    static int aes_encrypt_dest_len(int n) { return n + kMessageOverhead; }
    static int aes_decrypt_dest_len(int n) { return n > kMessageOverhead ? n - kMessageOverhead : 0; }

    // Fills `len` bytes from a cryptographic generator (OpenSSL's, seeded from the operating system)
    // (nothing for len < 1). Raises a CSException only if the generator itself fails.
    static void aes_fillrand(unsigned char* buf, int len);

protected:
    // Up to `len` bytes of input: the count, 0 at the end, -1 on error with *err set.
    virtual int aes_read_block(unsigned char* buf, int len, int* err) = 0;
    // Writes up to `len` bytes: the count (short when the output is full), -1 on error with *err set.
    virtual int aes_write_block(const unsigned char* buf, int len, int* err) = 0;

private:
    class Input;
    class Output;
    void encodeStream(const unsigned char* key, int keyLen);
    void decodeStream(const unsigned char* key, int keyLen);

    int iErrorCode = 0;
    char iErrorText[kMaxErrorText + 1] = {};
};

// Encodes and decodes between memory buffers owned by the caller.
class CSAESBuffer : public CSAES {
public:
    // Encodes into `out`; a capacity below inLen + 22 fails with AES_ERR_SHORT_WRITE and writes nothing.
    bool aes_encrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                          unsigned char* out, int outCapacity);
    // Encodes into a buffer from malloc (inLen + 23 bytes, a NUL after the message) that the caller
    // frees; returns the message length, or -1 with *out null.
    int aes_encrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                         unsigned char** out);
    // Decodes into `out`; a plaintext longer than the capacity fails with AES_ERR_SHORT_WRITE.
    bool aes_decrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                          unsigned char* out, int outCapacity);
    // Decodes into a buffer from malloc (a NUL after the plaintext) that the caller frees; returns
    // the plaintext length, or -1 with *out null.
    int aes_decrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                         unsigned char** out);

    // Bytes written to the output by the last operation.
    int getOutputLength() const { return iOutPos; }

protected:
    int aes_read_block(unsigned char* buf, int len, int* err) override;
    int aes_write_block(const unsigned char* buf, int len, int* err) override;
    void setBuffers(const unsigned char* in, int inLen, unsigned char* out, int outCapacity);

private:
    int iInLen = 0;
    int iInPos = 0;
    const unsigned char* iIn = nullptr;
    int iOutCapacity = 0;
    int iOutPos = 0;
    unsigned char* iOut = nullptr;
};

// Encodes and decodes between files. The output file is created or truncated.
class CSAESFile : public CSAESBuffer {
public:
    // Both return the number of bytes written, or -1 (an open, read, write or close failure sets
    // its errno as the error code).
    int aes_encrypt_file(const unsigned char* key, int keyLen, const char* inPath, const char* outPath);
    int aes_decrypt_file(const unsigned char* key, int keyLen, const char* inPath, const char* outPath);

protected:
    int aes_read_block(unsigned char* buf, int len, int* err) override;
    int aes_write_block(const unsigned char* buf, int len, int* err) override;

private:
    struct FileClose {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    int runOnFiles(bool encoding, const unsigned char* key, int keyLen, const char* inPath,
                   const char* outPath);

    std::unique_ptr<std::FILE, FileClose> iInFile;
    std::unique_ptr<std::FILE, FileClose> iOutFile;
    int iBytesWritten = 0;
};
