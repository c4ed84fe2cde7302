// checksum: the routines behind the `checksum` native and the compression
// trailers: CRC-32, Adler-32, the Internet (TCP) checksum, the md5, sha1,
// sha256, sha384 and sha512 digests (computed by the cryptographic library
// in platform/crypto), HMAC over those digests, and the method words that
// name them.
//
// The method words are symbols made by the start-up step "checksum words"
// (init_words), in a fixed order; a word names a method when its resolved
// symbol is one of them, so `MD5` and `md5` are the same method. Method
// numbers (method_number) are what the digest routines take: 0 tcp,
// 1 crc32, 2 md5, 3 sha1, 4 sha256, 5 sha384, 6 sha512.
//
// CRC-32, Adler-32 and the Internet checksum work on plain bytes and never
// raise or allocate, so the compressor can call them on every block it
// writes; the `_continue` forms carry a running value across pieces.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::checksum {

// The method words in their order (indices into the table init_words fills).
enum class method : uint8_t { tcp, md5, sha1, crc32, adler32, sha256, sha384, sha512, hash, count };

// Start-up: makes the nine method symbols.
void init_words();
// The method a symbol names (its case variants included), or method::count.
method method_of(uint32_t symbol);
bool method_q(uint32_t symbol);
// 0..6 for the seven methods with a number (see above); -1 for adler32 and hash.
int32_t method_number(uint32_t symbol);
int32_t method_number(method m);

// Reflected CRC-32 of polynomial 0xEDB88320 (the CRC of zlib and gzip).
uint32_t crc32(const uint8_t* bytes, size_t length);
// The CRC-32 of the bytes that gave `crc` followed by these.
uint32_t crc32_continue(uint32_t crc, const uint8_t* bytes, size_t length);

// Adler-32 (modulo 65521); 1 for no bytes.
uint32_t adler32(const uint8_t* bytes, size_t length);
uint32_t adler32_continue(uint32_t adler, const uint8_t* bytes, size_t length);

// The Internet checksum: big-endian 16-bit words, an odd last byte as the
// high byte of a last word, the sum folded and complemented.
uint16_t tcp(const uint8_t* bytes, size_t length);

// A digest, the first digest_size(number) bytes valid.
struct digest_buffer {
    uint8_t bytes[64];
};
// Bytes of the digest of method number 2..6; 0 for any other number.
size_t digest_size(int32_t number);
// The digest of method number 2..6; script `invalid-arg` with the number
// for any other.
digest_buffer digest(const uint8_t* bytes, size_t length, int32_t number);

// HMAC (RFC 2104) with the digest of the method the symbol names. Answers
// false, after printing that the method has no HMAC, for a method without a
// digest.
bool hmac(const uint8_t* bytes, size_t length, const uint8_t* key, size_t key_length, uint32_t symbol,
          digest_buffer* out);

// A keyed hash into a table of `size` slots: no algorithm is defined for it,
// so it prints that and gives no value (answers false).
bool hash(const uint8_t* bytes, size_t length, int32_t size);

}  // namespace kel::checksum
