// checksum: see checksum.h.
#include "evaluator/checksum.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "datatypes/symbol.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "platform/crypto.h"

namespace kel::checksum {

namespace {

constexpr const char* method_names[] = {"tcp",    "md5",    "sha1",   "crc32", "adler32",
                                        "sha256", "sha384", "sha512", "hash"};
static_assert(sizeof method_names / sizeof method_names[0] == static_cast<size_t>(method::count));

// The canonical symbol of each method word, 0 until init_words.
uint32_t method_symbols[static_cast<size_t>(method::count)];

// --- CRC-32 ----------------------------------------------------------------------------
// Slicing by eight: table 0 is the classic byte table; table k advances a
// byte that sits k positions further back, so eight bytes fold in with one
// 64-bit load and eight look-ups instead of eight dependent steps.
struct crc_tables {
    uint32_t t[8][256];
    crc_tables() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (uint32_t n = 0; n < 256; ++n)
            for (int k = 1; k < 8; ++k) t[k][n] = t[0][t[k - 1][n] & 0xFF] ^ (t[k - 1][n] >> 8);
    }
};

// Built on first use and kept for the process.
const crc_tables& tables() {
    static const crc_tables built;
    return built;
}

// --- Adler-32 ----------------------------------------------------------------------------
constexpr uint32_t adler_base = 65521;
// The most bytes after which b cannot have passed 2^32 - 1, starting from
// a and b below the base: 255 n (n + 1) / 2 + (n + 1)(base - 1) < 2^32.
constexpr size_t adler_chunk = 5552;

// --- digests -----------------------------------------------------------------------------
bool digest_number_q(int32_t number) { return number >= 2 && number <= 6; }

platform::digest_algorithm algorithm_of(int32_t number) {
    static constexpr platform::digest_algorithm by_number[] = {
        platform::digest_algorithm::md5, platform::digest_algorithm::sha1, platform::digest_algorithm::sha256,
        platform::digest_algorithm::sha384, platform::digest_algorithm::sha512};
    return by_number[number - 2];
}

void digest_pieces(int32_t number, const platform::byte_span* pieces, size_t count, digest_buffer* out) {
    if (!digest_number_q(number)) {
        kel_value n;
        set_integer(&n, number);
        fire(error_category::script, "invalid-arg", &n);
    }
    std::memset(out->bytes, 0, sizeof out->bytes);
    // The library fails only when it cannot get memory for its context.
    if (!platform::digest(algorithm_of(number), pieces, count, out->bytes))
        fire(error_category::internal, "no-memory");
}

}  // namespace

// --- method words -------------------------------------------------------------------------

void init_words() {
    for (size_t i = 0; i < static_cast<size_t>(method::count); ++i)
        method_symbols[i] = symbol::resolve(symbol::intern(method_names[i]));
}

method method_of(uint32_t sym) {
    const uint32_t canonical = symbol::resolve(sym);
    for (size_t i = 0; i < static_cast<size_t>(method::count); ++i)
        if (method_symbols[i] == canonical && canonical != 0) return static_cast<method>(i);
    return method::count;
}

bool method_q(uint32_t sym) { return method_of(sym) != method::count; }

int32_t method_number(method m) {
    switch (m) {
        case method::tcp: return 0;
        case method::crc32: return 1;
        case method::md5: return 2;
        case method::sha1: return 3;
        case method::sha256: return 4;
        case method::sha384: return 5;
        case method::sha512: return 6;
        default: return -1;
    }
}

int32_t method_number(uint32_t sym) { return method_number(method_of(sym)); }

// --- CRC-32, Adler-32, TCP -------------------------------------------------------------------

uint32_t crc32_continue(uint32_t crc, const uint8_t* p, size_t length) {
    const crc_tables& tb = tables();
    const auto& t = tb.t;
    uint32_t c = ~crc;
    if constexpr (std::endian::native == std::endian::little) {
        while (length >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            const uint32_t lo = static_cast<uint32_t>(word) ^ c;
            const uint32_t hi = static_cast<uint32_t>(word >> 32);
            c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
                t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
            p += 8;
            length -= 8;
        }
    }
    while (length--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t crc32(const uint8_t* bytes, size_t length) { return crc32_continue(0, bytes, length); }

uint32_t adler32_continue(uint32_t adler, const uint8_t* p, size_t length) {
    uint32_t a = (adler & 0xFFFF) % adler_base;
    uint32_t b = (adler >> 16) % adler_base;
    while (length) {
        size_t n = std::min(length, adler_chunk);
        length -= n;
        // Sixteen bytes a round: b gains 16 a plus the bytes weighted
        // 16, 15, ... 1, which breaks the chain of dependent additions.
        for (; n >= 16; n -= 16, p += 16) {
            uint32_t sum = 0, weighted = 0;
            for (int i = 0; i < 16; ++i) {
                sum += p[i];
                weighted += static_cast<uint32_t>(16 - i) * p[i];
            }
            b += 16 * a + weighted;
            a += sum;
        }
        for (; n; --n) {
            a += *p++;
            b += a;
        }
        a %= adler_base;
        b %= adler_base;
    }
    return (b << 16) | a;
}

uint32_t adler32(const uint8_t* bytes, size_t length) { return adler32_continue(1, bytes, length); }

uint16_t tcp(const uint8_t* p, size_t length) {
    // A 64-bit sum cannot wrap for any input a series holds; folding it to
    // 16 bits keeps the one's-complement sum exact at every length.
    uint64_t sum = 0;
    for (; length >= 2; length -= 2, p += 2) sum += static_cast<uint32_t>(p[0]) << 8 | p[1];
    if (length) sum += static_cast<uint32_t>(p[0]) << 8;
    while (sum >> 16) sum = (sum >> 16) + (sum & 0xFFFF);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

// --- digests and HMAC -------------------------------------------------------------------------

size_t digest_size(int32_t number) {
    return digest_number_q(number) ? platform::digest_size(algorithm_of(number)) : 0;
}

digest_buffer digest(const uint8_t* bytes, size_t length, int32_t number) {
    const platform::byte_span piece{bytes, length};
    digest_buffer out;
    digest_pieces(number, &piece, 1, &out);
    return out;
}

bool hmac(const uint8_t* bytes, size_t length, const uint8_t* key, size_t key_length, uint32_t sym,
          digest_buffer* out) {
    const int32_t number = method_number(sym);
    if (!digest_number_q(number)) {
        std_output::print_line_text("The selected algorithm doesn't support HMAC calculation");
        return false;
    }
    const size_t block = number >= 5 ? 128 : 64;
    const size_t size = digest_size(number);
    // A key longer than the block is replaced by its digest; a shorter one
    // is padded with zeros to the block.
    uint8_t padded[128] = {};
    if (key_length > block) {
        const digest_buffer k = digest(key, key_length, number);
        std::memcpy(padded, k.bytes, size);
    } else if (key_length) {
        std::memcpy(padded, key, key_length);
    }
    uint8_t pad[128];
    for (size_t i = 0; i < block; ++i) pad[i] = padded[i] ^ 0x36;
    const platform::byte_span inner_pieces[] = {{pad, block}, {bytes, length}};
    digest_buffer inner;
    digest_pieces(number, inner_pieces, 2, &inner);
    for (size_t i = 0; i < block; ++i) pad[i] = padded[i] ^ 0x5C;
    const platform::byte_span outer_pieces[] = {{pad, block}, {inner.bytes, size}};
    digest_pieces(number, outer_pieces, 2, out);
    return true;
}

bool hash(const uint8_t*, size_t, int32_t) {
    std_output::print_line_text("** /hash support not yet implemented; algorithm TBD.");
    return false;
}

}  // namespace kel::checksum
