// crypto: the message digests of the cryptographic library (OpenSSL's
// libcrypto, through its EVP interface, opened at the first digest). The
// checksum routines of the evaluator call it for md5, sha1, sha256, sha384 and sha512; everything
// else about checksums (CRC-32, Adler-32, the Internet checksum, HMAC) is
// our own code and lives with them. No state is kept between calls.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::platform {

enum class digest_algorithm : uint8_t { md5, sha1, sha256, sha384, sha512 };

// The largest digest any algorithm here gives (sha512).
constexpr size_t max_digest_size = 64;

// Bytes of the algorithm's digest.
size_t digest_size(digest_algorithm algorithm);

// A piece of the input of a digest.
struct byte_span {
    const uint8_t* bytes;
    size_t length;
};

// Hashes the pieces one after another, as if they were one run of bytes, and
// writes the digest to `out` (room for max_digest_size bytes): HMAC hashes a
// pad before the data without copying the data behind it. False when the
// library refused (out of memory, or an algorithm the installed library
// does not offer).
bool digest(digest_algorithm algorithm, const byte_span* pieces, size_t count, uint8_t* out);

}  // namespace kel::platform
