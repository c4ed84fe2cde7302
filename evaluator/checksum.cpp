// checksum: see checksum.h.
#include "evaluator/checksum.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "datatypes/symbol.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "platform/crypto.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

void init_words() { symbol::intern_canonical(method_names, static_cast<size_t>(method::count), method_symbols); }

method method_of(uint32_t sym) {
    return static_cast<method>(symbol::position_of(method_symbols, static_cast<size_t>(method::count), sym));
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

namespace {

// Slicing by eight over the pre-conditioned register (complemented).
uint32_t crc_tables_run(uint32_t c, const uint8_t* p, size_t length) {
    const auto& t = tables().t;
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
    return c;
}

#if defined(__x86_64__)
// Folding with carry-less multiplication: four 128-bit lanes are folded
// forward 512 bits at a time, then into one lane, then reduced to 32 bits
// (Barrett). The constants are x^k mod P for the reflected polynomial at
// the fold distances, and P with its Barrett quotient. Takes a multiple of
// 16 bytes, at least 64, and the pre-conditioned register.
// One lane carried forward by the distance k holds, onto the next lane.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i k, __m128i x, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t crc_fold_run(uint32_t crc, const uint8_t* p, size_t length) {
    alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
    auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    __m128i x1 = load(p), x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    p += 64;
    length -= 64;
    while (length >= 64) {
        x1 = fold(k, x1, load(p));
        x2 = fold(k, x2, load(p + 16));
        x3 = fold(k, x3, load(p + 32));
        x4 = fold(k, x4, load(p + 48));
        p += 64;
        length -= 64;
    }
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = fold(k, x1, x2);
    x1 = fold(k, x1, x3);
    x1 = fold(k, x1, x4);
    while (length >= 16) {
        x1 = fold(k, x1, load(p));
        p += 16;
        length -= 16;
    }
    // 128 bits to 64, to 32 (Barrett).
    const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

// Asked once; the processor's features are read before the first ask, as
// this may run during static initialisation.
bool fold_available() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return yes;
}
#endif

}  // namespace

uint32_t crc32_continue(uint32_t crc, const uint8_t* p, size_t length) {
    uint32_t c = ~crc;
#if defined(__x86_64__)
    if (length >= 64 && fold_available()) {
        const size_t folded = length & ~static_cast<size_t>(15);
        c = crc_fold_run(c, p, folded);
        p += folded;
        length -= folded;
    }
#endif
    return ~crc_tables_run(c, p, length);
}
uint32_t crc32(const uint8_t* bytes, size_t length) { return crc32_continue(0, bytes, length); }

namespace {

#if defined(__SSE2__)
// Whole 16-byte blocks of one chunk, with SSE2: per block, the byte sum
// (sad against zero) and the sum weighted 16, 15, ... 1 (16-bit multiply-
// adds); b also gains 16 times every a that came before a block, kept as
// the running total of the block sums. Answers the bytes consumed.
size_t adler_blocks(uint32_t* a_io, uint32_t* b_io, const uint8_t* p, size_t blocks) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights_lo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i weights_hi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i sums = zero;      // two 64-bit lanes: bytes so far
    __m128i earlier = zero;   // two 64-bit lanes: the sums before each block, added up
    __m128i weighted = zero;  // four 32-bit lanes
    for (size_t i = 0; i < blocks; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        earlier = _mm_add_epi64(earlier, sums);
        sums = _mm_add_epi64(sums, _mm_sad_epu8(v, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weights_lo));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weights_hi));
    }
    alignas(16) uint64_t s[2], e[2];
    alignas(16) uint32_t w[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(s), sums);
    _mm_store_si128(reinterpret_cast<__m128i*>(e), earlier);
    _mm_store_si128(reinterpret_cast<__m128i*>(w), weighted);
    const uint64_t a = *a_io;
    const uint64_t b = *b_io + 16 * (blocks * a + e[0] + e[1]) + w[0] + w[1] + w[2] + w[3];
    *a_io = static_cast<uint32_t>((a + s[0] + s[1]) % adler_base);
    *b_io = static_cast<uint32_t>(b % adler_base);
    return blocks * 16;
}
#endif

}  // namespace

uint32_t adler32_continue(uint32_t adler, const uint8_t* p, size_t length) {
    uint32_t a = (adler & 0xFFFF) % adler_base;
    uint32_t b = (adler >> 16) % adler_base;
    while (length) {
        size_t n = std::min(length, adler_chunk);
        length -= n;
#if defined(__SSE2__)
        const size_t done = adler_blocks(&a, &b, p, n / 16);
        p += done;
        n -= done;
#else
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
#endif
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
