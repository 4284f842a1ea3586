// CSMd5: the MD5 digest of a byte sequence fed in pieces, with its 32-digit upper-case hexadecimal
// form. Used to verify uploads, to compute login key codes and file digests. The hash itself comes
// from the crypto library; this class owns one digest context. An object is used by one thread at a
// time; copies carry the digest state so far.
#pragma once

#include <cstddef>
#include <memory>

#include "CSDefs.h"

struct evp_md_ctx_st;

// The 16 raw bytes of an MD5 digest.
struct Md5Digest {
    unsigned char val[16];
};

class CSMd5 {
public:
    static constexpr int kDigestLen = 16;
    static constexpr int kHexLen = 32;

    CSMd5();
    CSMd5(const CSMd5& other);
    CSMd5& operator=(const CSMd5& other);
    ~CSMd5();

    // Starts a new digest; the hex digest becomes empty.
    void md5_init();
    // Feeds `len` bytes; nothing for len < 1. Feeding a finished digest is an assertion failure
    // (call md5_init first).
    void md5_append(const unsigned char* data, int len);
    // Finishes the digest: fills the raw digest and the hex digest. A second call does nothing.
    void md5_digest();

    bool isFinished() const { return iHexDigest[0] != 0; }
    // The 32 upper-case hexadecimal digits, finishing the digest the first time.
    const char* getDigestHex();
    // The raw digest, finishing it the first time.
    void getDigest(Md5Digest* out);

private:
    struct CtxFree {
        void operator()(evp_md_ctx_st* ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, CtxFree> iCtx;
    unsigned char iDigest[kDigestLen] = {};
    char iHexDigest[kHexLen + 1] = {};
};
