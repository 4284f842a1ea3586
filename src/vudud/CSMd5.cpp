#include "CSMd5.h"

#include <openssl/evp.h>

#include <cstring>

#include "CSException.h"

namespace {

[[noreturn]] void throwDigestFailure(const char* func, const char* file, int line) {
    CSException::throwException(func, file, line, CS_ERR_GENERIC_ERROR,
                                "MD5 digest failed in the crypto library");
}

}  // namespace

void CSMd5::CtxFree::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

CSMd5::CSMd5() : iCtx(EVP_MD_CTX_new()) {
    if (!iCtx) throw std::bad_alloc();
    md5_init();
}

CSMd5::CSMd5(const CSMd5& other) : iCtx(EVP_MD_CTX_new()) {
    if (!iCtx) throw std::bad_alloc();
    *this = other;
}

CSMd5& CSMd5::operator=(const CSMd5& other) {
    if (this == &other) return *this;
    if (other.isFinished()) {
        // A finished context cannot be copied usefully; the result is all that matters.
        md5_init();
    } else if (EVP_MD_CTX_copy_ex(iCtx.get(), other.iCtx.get()) != 1) {
        throwDigestFailure(CS_CONTEXT);
    }
    std::memcpy(iDigest, other.iDigest, sizeof(iDigest));
    std::memcpy(iHexDigest, other.iHexDigest, sizeof(iHexDigest));
    return *this;
}

CSMd5::~CSMd5() = default;

void CSMd5::md5_init() {
    if (EVP_DigestInit_ex(iCtx.get(), EVP_md5(), nullptr) != 1) throwDigestFailure(CS_CONTEXT);
    std::memset(iDigest, 0, sizeof(iDigest));
    iHexDigest[0] = 0;
}

void CSMd5::md5_append(const unsigned char* data, int len) {
    if (len < 1) return;
    CS_ASSERT(!isFinished());
    if (EVP_DigestUpdate(iCtx.get(), data, static_cast<size_t>(len)) != 1) throwDigestFailure(CS_CONTEXT);
}

void CSMd5::md5_digest() {
    if (isFinished()) return;
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(iCtx.get(), iDigest, &len) != 1 || len != kDigestLen)
        throwDigestFailure(CS_CONTEXT);
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < kDigestLen; i++) {
        iHexDigest[2 * i] = kHex[iDigest[i] >> 4];
        iHexDigest[2 * i + 1] = kHex[iDigest[i] & 0x0F];
    }
    iHexDigest[kHexLen] = 0;
}

const char* CSMd5::getDigestHex() {
    md5_digest();
    return iHexDigest;
}

void CSMd5::getDigest(Md5Digest* out) {
    md5_digest();
    std::memcpy(out->val, iDigest, kDigestLen);
}
