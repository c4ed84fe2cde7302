// platform crypto: see crypto.h.
#include "platform/crypto.h"

#include <openssl/evp.h>

#include <mutex>

#include "platform/dynlib.h"

namespace kel::platform {

namespace {

// The libcrypto entry points the digests need, typed by the library's own
// declarations; the library is opened at the first digest.
struct crypto_api {
    decltype(&EVP_md5) md5;
    decltype(&EVP_sha1) sha1;
    decltype(&EVP_sha256) sha256;
    decltype(&EVP_sha384) sha384;
    decltype(&EVP_sha512) sha512;
    decltype(&EVP_MD_CTX_new) ctx_new;
    decltype(&EVP_MD_CTX_free) ctx_free;
    decltype(&EVP_DigestInit_ex) init;
    decltype(&EVP_DigestUpdate) update;
    decltype(&EVP_DigestFinal_ex) final;
};

crypto_api lib;
bool lib_loaded = false;

void load_crypto() {
    static const char* const names[] = {"libcrypto.so.3", "libcrypto.so", nullptr};
    void* h = dynlib::open(names);
    lib_loaded = h && dynlib::bind(h, "EVP_md5", lib.md5) && dynlib::bind(h, "EVP_sha1", lib.sha1) &&
                 dynlib::bind(h, "EVP_sha256", lib.sha256) && dynlib::bind(h, "EVP_sha384", lib.sha384) &&
                 dynlib::bind(h, "EVP_sha512", lib.sha512) && dynlib::bind(h, "EVP_MD_CTX_new", lib.ctx_new) &&
                 dynlib::bind(h, "EVP_MD_CTX_free", lib.ctx_free) &&
                 dynlib::bind(h, "EVP_DigestInit_ex", lib.init) && dynlib::bind(h, "EVP_DigestUpdate", lib.update) &&
                 dynlib::bind(h, "EVP_DigestFinal_ex", lib.final);
}

bool have_crypto() {
    static std::once_flag once;
    std::call_once(once, load_crypto);
    return lib_loaded;
}

const EVP_MD* method_of(digest_algorithm algorithm) {
    switch (algorithm) {
        case digest_algorithm::md5: return lib.md5();
        case digest_algorithm::sha1: return lib.sha1();
        case digest_algorithm::sha256: return lib.sha256();
        case digest_algorithm::sha384: return lib.sha384();
        case digest_algorithm::sha512: return lib.sha512();
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
    if (!have_crypto()) return false;
    const EVP_MD* md = method_of(algorithm);
    if (!md) return false;
    EVP_MD_CTX* context = lib.ctx_new();
    if (!context) return false;
    bool ok = lib.init(context, md, nullptr) == 1;
    for (size_t i = 0; ok && i < count; ++i)
        if (pieces[i].length) ok = lib.update(context, pieces[i].bytes, pieces[i].length) == 1;
    unsigned int size = 0;
    ok = ok && lib.final(context, out, &size) == 1 && size == digest_size(algorithm);
    lib.ctx_free(context);
    return ok;
}

}  // namespace kel::platform
