#include "CSAES.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "CSException.h"

namespace {

constexpr int kBlock = 16;
constexpr int kCheckLen = 4;
// Bytes handed to the block cipher and the output in one call.
constexpr size_t kChunk = 64 * 1024;

bool validKey(const unsigned char* key, int keyLen) {
    return key != nullptr && (keyLen == 16 || keyLen == 24 || keyLen == 32);
}

// AES in ECB mode without padding: the bare block function, applied to whole runs of blocks.
class BlockCipher {
public:
    BlockCipher() : iCtx(EVP_CIPHER_CTX_new()) {
        if (!iCtx) throw std::bad_alloc();
    }
    ~BlockCipher() { EVP_CIPHER_CTX_free(iCtx); }
    BlockCipher(const BlockCipher&) = delete;
    BlockCipher& operator=(const BlockCipher&) = delete;

    // False when the crypto library refuses the key.
    bool init(const unsigned char* key, int keyLen, bool encrypt) {
        const EVP_CIPHER* cipher = keyLen == 16   ? EVP_aes_128_ecb()
                                   : keyLen == 24 ? EVP_aes_192_ecb()
                                                  : EVP_aes_256_ecb();
        if (EVP_CipherInit_ex(iCtx, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) != 1) return false;
        return EVP_CIPHER_CTX_set_padding(iCtx, 0) == 1;
    }

    // `len` is a multiple of 16, a little over kChunk at most; in and out may be the same buffer.
    bool run(const unsigned char* in, unsigned char* out, size_t len) {
        int outLen = 0;
        return EVP_CipherUpdate(iCtx, out, &outLen, in, static_cast<int>(len)) == 1 &&
               outLen == static_cast<int>(len);
    }

private:
    EVP_CIPHER_CTX* iCtx;
};

void xorInto(unsigned char* dst, const unsigned char* src, int len) {
    for (int i = 0; i < len; i++) dst[i] ^= src[i];
}

// Carries an error code out of the encode and decode loops.
struct Failure {
    int code;
};

// The working memory of one encode or decode: the stream not yet encoded, the cipher output and the
// output buffer. Each thread keeps one set and reuses it, so a message costs no allocation (and no
// zeroing) beyond what its own size needs; an operation started from inside another on the same
// thread (from a read or write callback) gets a set of its own.
struct Scratch {
    static constexpr size_t kStreamCapacity = kChunk + kBlock + kCheckLen;
    static constexpr size_t kCipherCapacity = kChunk + 2 * kBlock;

    std::unique_ptr<unsigned char[]> stream;
    std::unique_ptr<unsigned char[]> cipher;
    std::vector<unsigned char> output;
    bool busy = false;

    void ensureEncodeBuffers() {
        if (!stream) stream.reset(new unsigned char[kStreamCapacity]);
        if (!cipher) cipher.reset(new unsigned char[kCipherCapacity]);
    }
};

class ScratchLease {
public:
    ScratchLease() {
        thread_local Scratch perThread;
        if (!perThread.busy) {
            iScratch = &perThread;
        } else {
            iOwn = std::make_unique<Scratch>();
            iScratch = iOwn.get();
        }
        iScratch->busy = true;
        iScratch->output.clear();
    }
    ~ScratchLease() {
        iScratch->busy = false;
        // A large message's output buffer is not kept: the next small message needs none of it.
        if (iScratch->output.capacity() > 4 * kChunk) std::vector<unsigned char>().swap(iScratch->output);
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;

    Scratch* operator->() const { return iScratch; }

private:
    std::unique_ptr<Scratch> iOwn;
    Scratch* iScratch;
};

}  // namespace

// Reads the input through aes_read_block; a short count means the input has ended.
class CSAES::Input {
public:
    explicit Input(CSAES& owner) : iOwner(owner) {}

    size_t read(unsigned char* dst, size_t want) {
        size_t got = 0;
        while (got < want && !iEnded) {
            const size_t ask = std::min(want - got, static_cast<size_t>(INT_MAX));
            int err = 0;
            const int r = iOwner.aes_read_block(dst + got, static_cast<int>(ask), &err);
            if (r < 0) throw Failure{err != 0 ? err : EIO};
            if (r == 0) iEnded = true;
            got += static_cast<size_t>(r);
        }
        return got;
    }

private:
    CSAES& iOwner;
    bool iEnded = false;
};

// Collects output and hands it to aes_write_block in large pieces. With a hold-back the last
// bytes given stay in the buffer until the caller takes them (the decoder's check value).
class CSAES::Output {
public:
    // `buffer` is empty; it grows with the output, up to a little over a chunk.
    Output(CSAES& owner, size_t holdBack, std::vector<unsigned char>& buffer)
        : iOwner(owner), iHoldBack(holdBack), iBuf(buffer) {}

    void put(const unsigned char* data, size_t len) {
        iBuf.insert(iBuf.end(), data, data + len);
        if (iBuf.size() >= kChunk + iHoldBack) write(iBuf.size() - iHoldBack);
    }
    void flush() { write(iBuf.size() - std::min(iHoldBack, iBuf.size())); }
    // The bytes not written yet.
    const std::vector<unsigned char>& pending() const { return iBuf; }

private:
    void write(size_t len) {
        size_t done = 0;
        while (done < len) {
            const int ask = static_cast<int>(std::min(len - done, static_cast<size_t>(INT_MAX)));
            int err = 0;
            const int w = iOwner.aes_write_block(iBuf.data() + done, ask, &err);
            if (w < 0) throw Failure{err != 0 ? err : EIO};
            if (w < ask) throw Failure{AES_ERR_SHORT_WRITE};
            done += static_cast<size_t>(w);
        }
        iBuf.erase(iBuf.begin(), iBuf.begin() + static_cast<std::ptrdiff_t>(len));
    }

    CSAES& iOwner;
    size_t iHoldBack;
    std::vector<unsigned char>& iBuf;
};

// ---- Errors ---------------------------------------------------------------------------------

bool CSAES::aes_get_error(int* code, const char** text) const {
    if (code) *code = iErrorCode;
    if (text) *text = iErrorText;
    return iErrorCode != 0;
}

void CSAES::aes_print_error(const char* prefix) const {
    std::printf("%s%s", prefix ? prefix : "", iErrorText);
    std::fflush(stdout);
}

void CSAES::aes_set_error(int code, const char* text, bool encoding) {
    iErrorCode = code;
    if (code == 0) {
        iErrorText[0] = 0;
        return;
    }
    if (text) {
        std::snprintf(iErrorText, sizeof(iErrorText), "%s", text);
        return;
    }
    const char* what = encoding ? "encode" : "decode";
    const char* detail;
    switch (code) {
        case AES_ERR_VERSION:
            detail = "require version 1.x encoding";
            break;
        case AES_ERR_TOO_SHORT:
            detail = "minimum encrypted message length is 18 bytes";
            break;
        case AES_ERR_SHORT_WRITE:
            detail = "too few bytes written on output";
            break;
        case AES_ERR_CORRUPT:
            detail = "curruption detected";
            break;
        case AES_ERR_KEY:
            detail = "invalid key";
            break;
        case AES_ERR_MEMORY:
            detail = "insufficient memory";
            break;
        default:
            detail = code > 0 ? std::strerror(code) : "unknown error";
            break;
    }
    std::snprintf(iErrorText, sizeof(iErrorText), "AES %s error- %s", what, detail);
}

// ---- Random bytes ---------------------------------------------------------------------------

namespace {

// Bytes drawn ahead from the generator for the calling thread, so that a short request (an 8-byte
// challenge) costs no call into it: the generator looks at the process id on every call, which is
// a system call. A forked child never hands out its parent's bytes: the fork count changes and
// every pool of the child's thread is dropped.
std::atomic<uint32> gForkCount{0};

void countFork() { gForkCount.fetch_add(1, std::memory_order_relaxed); }

void drawRandom(unsigned char* buf, int len) {
    if (RAND_bytes(buf, len) != 1) {
        const unsigned long err = ERR_get_error();
        char text[256];
        ERR_error_string_n(err, text, sizeof(text));
        CSException::throwExceptionf(CS_CONTEXT, CS_ERR_GENERIC_ERROR, "Random bytes unavailable: %s", text);
    }
}

struct RandomPool {
    static constexpr int kSize = 512;
    unsigned char bytes[kSize];
    int left = 0;  // unused bytes at the end of `bytes`
    uint32 forkCount = 0;

    ~RandomPool() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

}  // namespace

void CSAES::aes_fillrand(unsigned char* buf, int len) {
    // OpenSSL's generator runs in user space, seeded and reseeded from the operating system.
    if (len < 1) return;
    static const bool forkHandler = pthread_atfork(nullptr, nullptr, countFork) == 0;
    thread_local RandomPool pool;
    if (!forkHandler || len > RandomPool::kSize / 4) {
        drawRandom(buf, len);
        return;
    }
    const uint32 forks = gForkCount.load(std::memory_order_relaxed);
    if (pool.forkCount != forks) {
        pool.left = 0;
        pool.forkCount = forks;
    }
    if (pool.left < len) {
        drawRandom(pool.bytes, RandomPool::kSize);
        pool.left = RandomPool::kSize;
    }
    unsigned char* from = pool.bytes + RandomPool::kSize - pool.left;
    std::memcpy(buf, from, static_cast<size_t>(len));
    // Bytes handed out are not kept.
    OPENSSL_cleanse(from, static_cast<size_t>(len));
    pool.left -= len;
}

// ---- Encoding -------------------------------------------------------------------------------

bool CSAES::aes_encrypt(const unsigned char* key, int keyLen) {
    aes_set_error(0, nullptr, true);
    try {
        if (!validKey(key, keyLen)) throw Failure{AES_ERR_KEY};
        encodeStream(key, keyLen);
        return true;
    } catch (const Failure& f) {
        aes_set_error(f.code, nullptr, true);
    } catch (const std::bad_alloc&) {
        aes_set_error(AES_ERR_MEMORY, nullptr, true);
    }
    return false;
}

void CSAES::encodeStream(const unsigned char* key, int keyLen) {
    BlockCipher enc;
    if (!enc.init(key, keyLen, true)) throw Failure{AES_ERR_KEY};
    auto E = [&](const unsigned char* in, unsigned char* out, size_t len) {
        if (!enc.run(in, out, len)) throw Failure{AES_ERR_KEY};
    };

    unsigned char iv[kBlock];
    aes_fillrand(iv, kBlock);

    ScratchLease scratch;
    scratch->ensureEncodeBuffers();
    Input input(*this);
    Output output(*this, 0, scratch->output);
    const unsigned char version[2] = {1, 0};
    output.put(version, 2);

    // The stream (plaintext, then the check value) not yet encoded: sLen bytes at s.
    unsigned char* const s = scratch->stream.get();
    size_t sLen = 0;
    bool ended = false;
    auto fill = [&](size_t target) {
        if (ended || sLen >= target) return;
        sLen += input.read(s + sLen, target - sLen);
        if (sLen < target) {
            std::memcpy(s + sLen, iv, kCheckLen);
            sLen += kCheckLen;
            ended = true;
        }
    };

    fill(kBlock);
    if (ended && sLen < static_cast<size_t>(kBlock)) {
        // Short form: the IV and the stream are encrypted as two overlapping blocks.
        const int L = static_cast<int>(sLen);
        unsigned char w[2 * kBlock];
        std::memcpy(w, iv, kBlock);
        std::memcpy(w + kBlock, s, L);
        E(w + L, w + L, kBlock);
        xorInto(w + kBlock, w, L);
        E(w, w, kBlock);
        output.put(w, kBlock + L);
        output.flush();
        return;
    }

    // Long form. Every full block is sent as E(Pj) xor (IV xor P1 xor ... xor Pj-1), so the block
    // cipher runs over a whole chunk at once and the chaining is a cheap pass afterwards.
    unsigned char header[kBlock];
    E(iv, header, kBlock);
    output.put(header, kBlock);

    unsigned char chain[kBlock];
    std::memcpy(chain, iv, kBlock);
    unsigned char* const x = scratch->cipher.get();
    for (;;) {
        // Unless the stream has ended, keep one full block beyond the chunk so that no block of the
        // chunk can be the last full one (which the partial tail would steal from).
        fill(kChunk + kBlock);
        const size_t blocks = ended ? sLen / kBlock : kChunk / kBlock;
        const int q = ended ? static_cast<int>(sLen % kBlock) : 0;
        const size_t full = blocks * kBlock;
        E(s, x, full);

        const size_t plain = q > 0 ? blocks - 1 : blocks;
        for (size_t j = 0; j < plain; j++) {
            xorInto(x + j * kBlock, chain, kBlock);
            xorInto(chain, s + j * kBlock, kBlock);
        }
        output.put(x, plain * kBlock);

        if (q > 0) {
            // Ciphertext stealing: the last full block's E(P) lends its tail to the partial block.
            const unsigned char* p = s + plain * kBlock;
            const unsigned char* xp = x + plain * kBlock;
            const unsigned char* tail = s + full;
            unsigned char y[kBlock];
            for (int i = 0; i < q; i++) y[i] = tail[i] ^ chain[i] ^ p[i];
            std::memcpy(y + q, xp + q, kBlock - q);
            E(y, y, kBlock);
            output.put(y, kBlock);
            unsigned char last[kBlock];
            for (int i = 0; i < q; i++) last[i] = xp[i] ^ chain[i];
            output.put(last, q);
        }
        if (ended) break;
        std::memmove(s, s + full, sLen - full);
        sLen -= full;
    }
    output.flush();
}

// ---- Decoding -------------------------------------------------------------------------------

bool CSAES::aes_decrypt(const unsigned char* key, int keyLen) {
    aes_set_error(0, nullptr, false);
    try {
        if (!validKey(key, keyLen)) throw Failure{AES_ERR_KEY};
        decodeStream(key, keyLen);
        return true;
    } catch (const Failure& f) {
        aes_set_error(f.code, nullptr, false);
    } catch (const std::bad_alloc&) {
        aes_set_error(AES_ERR_MEMORY, nullptr, false);
    }
    return false;
}

void CSAES::decodeStream(const unsigned char* key, int keyLen) {
    BlockCipher dec;
    if (!dec.init(key, keyLen, false)) throw Failure{AES_ERR_KEY};
    auto D = [&](const unsigned char* in, unsigned char* out) {
        if (!dec.run(in, out, kBlock)) throw Failure{AES_ERR_KEY};
    };

    Input input(*this);
    unsigned char head[kMinMessage];
    if (input.read(head, kMinMessage) < static_cast<size_t>(kMinMessage)) throw Failure{AES_ERR_TOO_SHORT};
    if (head[0] != 1) throw Failure{AES_ERR_VERSION};
    unsigned char h[kBlock];
    D(head + 2, h);

    // The last 4 bytes of the stream are the check value, not plaintext: they are held back.
    ScratchLease scratch;
    Output output(*this, kCheckLen, scratch->output);
    unsigned char cur[kBlock];
    const int r = static_cast<int>(input.read(cur, kBlock));
    if (r < kBlock) {
        unsigned char w[2 * kBlock];
        std::memcpy(w, h, kBlock);
        std::memcpy(w + kBlock, cur, r);
        xorInto(w + kBlock, w, r);
        D(w + r, w + r);
        output.put(w + kBlock, r);
    } else {
        unsigned char chain[kBlock];
        std::memcpy(chain, h, kBlock);
        unsigned char next[kBlock], p[kBlock];
        for (;;) {
            const int r2 = static_cast<int>(input.read(next, kBlock));
            if (r2 > 0 && r2 < kBlock) {
                unsigned char y[kBlock];
                xorInto(next, chain, r2);
                D(cur, y);
                std::memcpy(next + r2, y + r2, kBlock - r2);
                D(next, p);
                output.put(p, kBlock);
                unsigned char last[kBlock];
                for (int i = 0; i < r2; i++) last[i] = y[i] ^ chain[i] ^ p[i];
                output.put(last, r2);
                break;
            }
            xorInto(cur, chain, kBlock);
            D(cur, p);
            output.put(p, kBlock);
            if (r2 == 0) break;
            xorInto(chain, p, kBlock);
            std::memcpy(cur, next, kBlock);
        }
    }

    const std::vector<unsigned char>& held = output.pending();
    if (held.size() < static_cast<size_t>(kCheckLen) ||
        std::memcmp(held.data() + held.size() - kCheckLen, h, kCheckLen) != 0)
        throw Failure{AES_ERR_CORRUPT};
    output.flush();
}

// ---- Memory buffers -------------------------------------------------------------------------

void CSAESBuffer::setBuffers(const unsigned char* in, int inLen, unsigned char* out, int outCapacity) {
    CS_ASSERT(inLen >= 0 && (in != nullptr || inLen == 0));
    CS_ASSERT(outCapacity >= 0 && (out != nullptr || outCapacity == 0));
    iIn = in;
    iInLen = inLen;
    iInPos = 0;
    iOut = out;
    iOutCapacity = outCapacity;
    iOutPos = 0;
}

int CSAESBuffer::aes_read_block(unsigned char* buf, int len, int*) {
    const int n = std::min(len, iInLen - iInPos);
    if (n <= 0) return 0;
    std::memcpy(buf, iIn + iInPos, n);
    iInPos += n;
    return n;
}

int CSAESBuffer::aes_write_block(const unsigned char* buf, int len, int*) {
    const int n = std::min(len, iOutCapacity - iOutPos);
    if (n <= 0) return 0;
    std::memcpy(iOut + iOutPos, buf, n);
    iOutPos += n;
    return n;
}

bool CSAESBuffer::aes_encrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                                   unsigned char* out, int outCapacity) {
    setBuffers(in, inLen, out, outCapacity);
    if (validKey(key, keyLen) &&
        (inLen > INT_MAX - kMessageOverhead || outCapacity < inLen + kMessageOverhead)) {
        // Refused before anything is written.
        aes_set_error(AES_ERR_SHORT_WRITE, nullptr, true);
        return false;
    }
    return aes_encrypt(key, keyLen);
}

int CSAESBuffer::aes_encrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                                  unsigned char** out) {
    *out = nullptr;
    setBuffers(in, inLen, nullptr, 0);
    if (inLen > INT_MAX - kMessageOverhead - 1) {
        aes_set_error(AES_ERR_MEMORY, nullptr, true);
        return -1;
    }
    auto* buf = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(inLen) + kMessageOverhead + 1));
    if (!buf) {
        aes_set_error(AES_ERR_MEMORY, nullptr, true);
        return -1;
    }
    setBuffers(in, inLen, buf, inLen + kMessageOverhead);
    if (!aes_encrypt(key, keyLen)) {
        std::free(buf);
        return -1;
    }
    buf[iOutPos] = 0;
    *out = buf;
    return iOutPos;
}

bool CSAESBuffer::aes_decrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                                   unsigned char* out, int outCapacity) {
    setBuffers(in, inLen, out, outCapacity);
    return aes_decrypt(key, keyLen);
}

int CSAESBuffer::aes_decrypt_data(const unsigned char* key, int keyLen, const unsigned char* in, int inLen,
                                  unsigned char** out) {
    *out = nullptr;
    setBuffers(in, inLen, nullptr, 0);
    const int n = aes_decrypt_dest_len(inLen);
    auto* buf = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!buf) {
        aes_set_error(AES_ERR_MEMORY, nullptr, false);
        return -1;
    }
    setBuffers(in, inLen, buf, n);
    if (!aes_decrypt(key, keyLen)) {
        std::free(buf);
        return -1;
    }
    buf[iOutPos] = 0;
    *out = buf;
    return iOutPos;
}

// ---- Files ----------------------------------------------------------------------------------

int CSAESFile::aes_read_block(unsigned char* buf, int len, int* err) {
    const size_t n = std::fread(buf, 1, static_cast<size_t>(len), iInFile.get());
    if (n == 0 && std::ferror(iInFile.get())) {
        *err = errno != 0 ? errno : EIO;
        return -1;
    }
    return static_cast<int>(n);
}

int CSAESFile::aes_write_block(const unsigned char* buf, int len, int* err) {
    errno = 0;
    const size_t n = std::fwrite(buf, 1, static_cast<size_t>(len), iOutFile.get());
    iBytesWritten += static_cast<int>(n);
    if (n < static_cast<size_t>(len)) {
        // A file takes every byte unless the write failed (disk full, I/O error).
        *err = errno != 0 ? errno : EIO;
        return -1;
    }
    return static_cast<int>(n);
}

int CSAESFile::runOnFiles(bool encoding, const unsigned char* key, int keyLen, const char* inPath,
                          const char* outPath) {
    aes_set_error(0, nullptr, encoding);
    iBytesWritten = 0;
    iInFile.reset(std::fopen(inPath, "rb"));
    if (!iInFile) {
        aes_set_error(errno != 0 ? errno : EIO, nullptr, encoding);
        return -1;
    }
    iOutFile.reset(std::fopen(outPath, "wb"));
    if (!iOutFile) {
        aes_set_error(errno != 0 ? errno : EIO, nullptr, encoding);
        iInFile.reset();
        return -1;
    }
    bool ok = encoding ? aes_encrypt(key, keyLen) : aes_decrypt(key, keyLen);
    iInFile.reset();
    // Buffered data reaches the file only here: a failing close is a failed write.
    errno = 0;
    const bool closed = std::fclose(iOutFile.release()) == 0;
    if (ok && !closed) {
        aes_set_error(errno != 0 ? errno : EIO, nullptr, encoding);
        ok = false;
    }
    return ok ? iBytesWritten : -1;
}

int CSAESFile::aes_encrypt_file(const unsigned char* key, int keyLen, const char* inPath,
                                const char* outPath) {
    return runOnFiles(true, key, keyLen, inPath, outPath);
}

int CSAESFile::aes_decrypt_file(const unsigned char* key, int keyLen, const char* inPath,
                                const char* outPath) {
    return runOnFiles(false, key, keyLen, inPath, outPath);
}
