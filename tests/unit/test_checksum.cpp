// The checksum routines where scripts cannot reach them: the running forms
// the compressor carries across its blocks, the method words and numbers,
// and the digest routine's refusal of a number without a digest. Values
// against Python are checked in tests/kel/checksums.py.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "datatypes/symbol.h"
#include "evaluator/checksum.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"
#include "tests/unit/runtime_env.h"

using namespace kel;

namespace {

std::vector<uint8_t> bytes_of(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}

}  // namespace

TEST(Checksum, RunningSumsOverPiecesEqualTheWhole) {
    // Splits on both sides of the 8-byte CRC step and of the Adler-32 chunk,
    // all 0xFF (the largest sums) and random.
    for (const uint32_t seed : {0u, 7u}) {
        std::vector<uint8_t> data = bytes_of(12000, seed);
        if (seed == 0) std::fill(data.begin(), data.end(), 0xFF);
        const uint32_t crc = checksum::crc32(data.data(), data.size());
        const uint32_t adler = checksum::adler32(data.data(), data.size());
        for (const size_t cut : {0, 1, 7, 8, 9, 5551, 5552, 5553, 11999, 12000}) {
            const uint8_t* p = data.data();
            const size_t rest = data.size() - cut;
            EXPECT_EQ(checksum::crc32_continue(checksum::crc32(p, cut), p + cut, rest), crc) << cut;
            EXPECT_EQ(checksum::adler32_continue(checksum::adler32(p, cut), p + cut, rest), adler) << cut;
        }
    }
}

TEST(Checksum, BlockStepsAgreeWithByteSteps) {
    // Long runs go through the 16-byte (and, where the processor has it,
    // carry-less multiply) steps; a sum carried one byte at a time takes
    // only the byte step. Every length to 300, at unaligned starts.
    for (const uint32_t seed : {0u, 3u}) {
        std::vector<uint8_t> data = bytes_of(304, seed);
        if (seed == 0) std::fill(data.begin(), data.end(), 0xFF);
        for (size_t start = 0; start < 4; ++start)
            for (size_t length = 0; length <= 300; ++length) {
                const uint8_t* p = data.data() + start;
                uint32_t crc = 0, adler = 1;
                for (size_t i = 0; i < length; ++i) {
                    crc = checksum::crc32_continue(crc, p + i, 1);
                    adler = checksum::adler32_continue(adler, p + i, 1);
                }
                EXPECT_EQ(checksum::crc32(p, length), crc) << start << " " << length;
                EXPECT_EQ(checksum::adler32(p, length), adler) << start << " " << length;
            }
    }
}

TEST(Checksum, MethodWordsAndNumbers) {
    runtime_env::boot();
    const struct {
        const char* name;
        int32_t number;  // -2: not a method
    } rows[] = {
        {"tcp", 0},     {"crc32", 1},  {"md5", 2},      {"sha1", 3},     {"sha256", 4},
        {"sha384", 5},  {"sha512", 6}, {"adler32", -1}, {"hash", -1},    {"SHA256", 4},
        {"Crc32", 1},   {"crc", -2},   {"sha", -2},     {"checksum", -2}, {"with", -2},
    };
    for (const auto& r : rows) {
        const uint32_t sym = symbol::intern(r.name);
        EXPECT_EQ(checksum::method_q(sym), r.number != -2) << r.name;
        if (r.number != -2) {
            EXPECT_EQ(checksum::method_number(sym), r.number) << r.name;
        }
    }
}

TEST(Checksum, DigestSizesAndNumbersWithoutADigest) {
    runtime_env::boot();
    const size_t sizes[] = {0, 0, 16, 20, 32, 48, 64, 0};
    for (int32_t number = 0; number < 8; ++number) EXPECT_EQ(checksum::digest_size(number), sizes[number]);
    for (const int32_t number : {-1, 0, 1, 7, INT32_MAX}) {
        EXPECT_TRUE(fires([&] { (void)checksum::digest(nullptr, 0, number); }, "invalid-arg")) << number;
        EXPECT_EQ(last_fired().category, error_category::script);
        EXPECT_EQ(get_integer(&last_fired().args[0]), number);
        stack::reset();
    }
}

TEST(Checksum, HmacOnlyOverTheDigests) {
    runtime_env::boot();
    const uint8_t data[] = {'a', 'b', 'c'};
    checksum::digest_buffer out{};
    for (const char* name : {"tcp", "crc32", "adler32", "hash"})
        EXPECT_FALSE(checksum::hmac(data, 3, data, 3, symbol::intern(name), &out)) << name;
    EXPECT_TRUE(checksum::hmac(data, 3, data, 3, symbol::intern("SHA384"), &out));
}
