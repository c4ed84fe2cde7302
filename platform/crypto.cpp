// platform crypto: see crypto.h.
#include "platform/crypto.h"

#include <openssl/evp.h>

namespace kel::platform {

namespace {

const EVP_MD* method_of(digest_algorithm algorithm) {
    switch (algorithm) {
        case digest_algorithm::md5: return EVP_md5();
        case digest_algorithm::sha1: return EVP_sha1();
        case digest_algorithm::sha256: return EVP_sha256();
        case digest_algorithm::sha384: return EVP_sha384();
        case digest_algorithm::sha512: return EVP_sha512();
    }
    return nullptr;
}

}  // namespace

size_t digest_size(digest_algorithm algorithm) {
    switch (algorithm) {
        case digest_algorithm::md5: return 16;
        case digest_algorithm::sha1: return 20;
        case digest_algorithm::sha256: return 32;
        case digest_algorithm::sha384: return 48;
        case digest_algorithm::sha512: return 64;
    }
    return 0;
}

bool digest(digest_algorithm algorithm, const byte_span* pieces, size_t count, uint8_t* out) {
    const EVP_MD* md = method_of(algorithm);
    if (!md) return false;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context) return false;
    bool ok = EVP_DigestInit_ex(context, md, nullptr) == 1;
    for (size_t i = 0; ok && i < count; ++i)
        if (pieces[i].length) ok = EVP_DigestUpdate(context, pieces[i].bytes, pieces[i].length) == 1;
    unsigned int size = 0;
    ok = ok && EVP_DigestFinal_ex(context, out, &size) == 1 && size == digest_size(algorithm);
    EVP_MD_CTX_free(context);
    return ok;
}

}  // namespace kel::platform
