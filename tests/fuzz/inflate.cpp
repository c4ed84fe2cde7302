// Fuzz target: inflate and the zlib and gzip decompressors on arbitrary
// bytes, on bytes made to open a fixed or dynamic block (so the block
// decoders, not the header bits, see the noise), and on real streams of the
// compressor mutated by the rest of the input (so the framing checks pass and
// the corruption lands in the data). Every input and output sits in an
// exactly sized heap buffer, so a read or write past one shows under ASan.
// Clean streams must round-trip exactly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "evaluator/checksum.h"
#include "services/compression.h"

namespace {

namespace cz = kel::compression;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct heap_bytes {
    uint8_t* p;
    explicit heap_bytes(size_t n) : p(static_cast<uint8_t*>(std::malloc(n ? n : 1))) {}
    ~heap_bytes() { std::free(p); }
};

// Sizes the output with no buffer, then decodes into exactly that much and
// into less; answers the final code and the bytes of a full decode.
int decode(cz::codec c, const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    heap_bytes in(size);
    if (size) std::memcpy(in.p, data, size);
    size_t need = 0;
    const int sizing = c(nullptr, &need, in.p, size);
    if (sizing != cz::done && sizing != cz::too_small) return sizing;
    check(sizing == cz::too_small || need == 0);
    // A sizing run believes no more than a real one can produce.
    check(need <= 1032 * uint64_t(size) + 64);
    heap_bytes buf(need);
    size_t n = need;
    const int code = c(buf.p, &n, in.p, size);
    if (code == cz::done) {
        check(n <= need);
        if (out) out->assign(buf.p, buf.p + n);
    }
    if (need > 1) {
        heap_bytes small(need / 2);
        size_t m = need / 2;
        const int short_code = c(small.p, &m, in.p, size);
        check(short_code != cz::done || m <= need / 2);
    }
    return code;
}

void decode_all(const uint8_t* data, size_t size) {
    decode(cz::inflate, data, size, nullptr);
    decode(cz::zlib_decompress, data, size, nullptr);
    decode(cz::gzip_decompress, data, size, nullptr);
}

std::vector<uint8_t> encode(cz::codec c, const uint8_t* data, size_t size) {
    size_t n = size + 32;
    std::vector<uint8_t> out(n);
    int code = c(out.data(), &n, data, size);
    if (code == cz::too_small) {
        out.resize(n);
        code = c(out.data(), &n, data, size);
    }
    check(code == cz::done);
    out.resize(n);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (cz::install_checks(kel::checksum::crc32_continue, kel::checksum::adler32_continue), true);
    (void)ready;

    // As it comes.
    decode_all(data, size);

    // Opening a final fixed block and a final dynamic block.
    if (size > 0) {
        std::vector<uint8_t> v(data, data + size);
        for (const uint8_t opening : {uint8_t(3), uint8_t(5)}) {
            v[0] = static_cast<uint8_t>((data[0] & 0xF8) | opening);
            decode(cz::inflate, v.data(), v.size(), nullptr);
        }
    }

    // The first part compressed in each framing, round-tripped, then
    // mutated by the rest: (position, xor) pairs, then a cut.
    if (size > 0) {
        const size_t split = 1 + data[0] % size;
        const uint8_t* plain = data + 1;
        const size_t plain_size = split - 1;
        const uint8_t* rest = data + split;
        const size_t rest_size = size - split;
        const cz::codec pairs[3][2] = {{cz::deflate, cz::inflate},
                                       {cz::zlib_compress, cz::zlib_decompress},
                                       {cz::gzip_compress, cz::gzip_decompress}};
        for (const auto& pair : pairs) {
            std::vector<uint8_t> stream = encode(pair[0], plain, plain_size);
            std::vector<uint8_t> back;
            check(decode(pair[1], stream.data(), stream.size(), &back) == cz::done);
            check(back == std::vector<uint8_t>(plain, plain + plain_size));
            if (rest_size == 0) continue;
            for (size_t i = 0; i + 1 < rest_size; i += 2)
                stream[rest[i] % stream.size()] ^= static_cast<uint8_t>(rest[i + 1] | 1);
            decode(pair[1], stream.data(), stream.size(), nullptr);
            stream.resize(rest[rest_size - 1] % stream.size());
            decode(pair[1], stream.data(), stream.size(), nullptr);
        }
    }
    return 0;
}
