// compression: see compression.h.
#include "services/compression.h"

#include <cstring>

#include "datatypes/symbol.h"

namespace kel::compression {

namespace {

running_check crc32_running = nullptr;
running_check adler32_running = nullptr;

uint32_t crc32_of(const uint8_t* p, size_t n) { return crc32_running(0, p, n); }
uint32_t adler32_of(const uint8_t* p, size_t n) { return adler32_running(1, p, n); }

constexpr const char* method_names[] = {"zlib", "deflate", "gzip"};
uint32_t method_symbols[static_cast<size_t>(method::count)];

// --- tables shared by both directions ----------------------------------------------

constexpr uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t dist_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t code_length_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct reverse_table {
    uint8_t r[256];
    constexpr reverse_table() : r() {
        for (int i = 0; i < 256; ++i) {
            uint8_t v = 0;
            for (int b = 0; b < 8; ++b)
                if (i & (1 << b)) v = static_cast<uint8_t>(v | (0x80 >> b));
            r[i] = v;
        }
    }
};
constexpr reverse_table reversed_bytes;

// The low `bits` bits of `code` in the opposite order.
constexpr uint32_t reverse_bits(uint32_t code, unsigned bits) {
    const uint32_t r16 = uint32_t(reversed_bytes.r[code & 0xFF]) << 8 | reversed_bytes.r[(code >> 8) & 0xFF];
    return r16 >> (16 - bits);
}

// --- deflate -------------------------------------------------------------------------

// The fixed literal/length codes, already reversed for a least-significant-
// first writer, with their lengths.
struct fixed_codes {
    uint16_t code[288];
    uint8_t bits[288];
    constexpr fixed_codes() : code(), bits() {
        for (uint32_t s = 0; s < 288; ++s) {
            uint32_t c, n;
            if (s < 144) c = 0x30 + s, n = 8;
            else if (s < 256) c = 0x190 + (s - 144), n = 9;
            else if (s < 280) c = s - 256, n = 7;
            else c = 0xC0 + (s - 280), n = 8;
            code[s] = static_cast<uint16_t>(reverse_bits(c, n));
            bits[s] = static_cast<uint8_t>(n);
        }
    }
};
constexpr fixed_codes fixed;

// Length 3..258 to its symbol offset (0..28), distance 1..32768 to its code.
struct match_codes {
    uint8_t length_code[259];
    uint8_t dist_code_low[257];   // distances 1..256
    uint8_t dist_code_high[256];  // (distance - 1) >> 7 for distances above 256
    constexpr match_codes() : length_code(), dist_code_low(), dist_code_high() {
        for (int c = 0; c < 29; ++c)
            for (int l = length_base[c]; l < length_base[c] + (1 << length_extra[c]) && l <= 258; ++l)
                length_code[l] = static_cast<uint8_t>(c);
        length_code[258] = 28;
        for (int c = 0; c < 30; ++c)
            for (int d = dist_base[c]; d < dist_base[c] + (1 << dist_extra[c]) && d <= 32768; ++d) {
                if (d <= 256) dist_code_low[d] = static_cast<uint8_t>(c);
                else dist_code_high[(d - 1) >> 7] = static_cast<uint8_t>(c);
            }
    }
};
constexpr match_codes matches;

// Least-significant-first bit writer. Whole bytes are stored while they
// fit; the count goes on past the capacity so the end tells the size needed.
struct bit_writer {
    uint8_t* out;
    size_t capacity;
    size_t pos = 0;
    uint64_t bits = 0;
    unsigned count = 0;

    void put(uint32_t value, unsigned n) {
        bits |= uint64_t(value) << count;
        count += n;
        if (count >= 32) flush32();
    }
    void flush32() {
        while (count >= 8) {
            if (pos < capacity) out[pos] = static_cast<uint8_t>(bits);
            ++pos;
            bits >>= 8;
            count -= 8;
        }
    }
    void finish() {
        flush32();
        if (count > 0) {
            if (pos < capacity) out[pos] = static_cast<uint8_t>(bits);
            ++pos;
            bits = 0;
            count = 0;
        }
    }
};

inline uint32_t bucket_of(const uint8_t* p) {
    const uint32_t b0 = p[0], b1 = p[1], b2 = p[2];
    uint32_t h = (b0 ^ (b0 << 16 | b1 << 8 | b2)) * 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h & 0x3FFu;
}

inline void put_literal(bit_writer& w, uint32_t s) { w.put(fixed.code[s], fixed.bits[s]); }

void put_match(bit_writer& w, uint32_t length, uint32_t distance) {
    const uint32_t lc = matches.length_code[length];
    put_literal(w, 257 + lc);
    if (length_extra[lc]) w.put(length - length_base[lc], length_extra[lc]);
    const uint32_t dc = distance <= 256 ? matches.dist_code_low[distance] : matches.dist_code_high[(distance - 1) >> 7];
    w.put(reverse_bits(dc, 5), 5);
    if (dist_extra[dc]) w.put(distance - dist_base[dc], dist_extra[dc]);
}

// --- inflate -------------------------------------------------------------------------

constexpr unsigned fast_bits = 10;

// A canonical Huffman code. `sorted` holds every used symbol as (code left-
// justified to 32 bits) | symbol << 4 | length, in code order; `fast` maps the
// next fast_bits input bits straight to symbol << 4 | length for the codes
// that short (0: look in `sorted`).
struct huffman {
    uint16_t fast[1u << fast_bits];
    uint32_t sorted[288];
    uint32_t count;
};

// Builds the code of `n` lengths. False for an over-subscribed set, or an
// incomplete one other than a single code of one bit (or, when
// `empty_ok`, no codes at all): such sets do not decode.
bool build(huffman& h, const uint8_t* lengths, uint32_t n, bool empty_ok) {
    uint32_t per_length[16] = {};
    for (uint32_t i = 0; i < n; ++i) ++per_length[lengths[i]];
    per_length[0] = 0;
    int32_t left = 1;
    uint32_t used = 0;
    for (int len = 1; len < 16; ++len) {
        left <<= 1;
        left -= static_cast<int32_t>(per_length[len]);
        if (left < 0) return false;
        used += per_length[len];
    }
    if (used == 0) {
        if (!empty_ok) return false;
    } else if (left > 0 && !(used == 1 && per_length[1] == 1)) {
        return false;
    }
    uint32_t next[16];
    uint32_t offset[16];
    uint32_t code = 0, at = 0;
    for (int len = 1; len < 16; ++len) {
        next[len] = code;
        code = (code + per_length[len]) << 1;
        offset[len] = at;
        at += per_length[len];
    }
    std::memset(h.fast, 0, sizeof h.fast);
    h.count = used;
    for (uint32_t s = 0; s < n; ++s) {
        const uint32_t len = lengths[s];
        if (!len) continue;
        const uint32_t c = next[len]++;
        // Codes of one length are consecutive and lengths sort shorter
        // first, so the table is in code order when placed by length.
        h.sorted[offset[len]++] = (c << (32 - len)) | s << 4 | len;
        if (len <= fast_bits) {
            const uint32_t r = reverse_bits(c, len);
            for (uint32_t k = r; k < (1u << fast_bits); k += 1u << len)
                h.fast[k] = static_cast<uint16_t>(s << 4 | len);
        }
    }
    return true;
}

// Least-significant-first bit reader over the input; never reads past it.
struct bit_reader {
    const uint8_t* in;
    size_t length;
    size_t pos = 0;
    uint64_t bits = 0;
    unsigned count = 0;

    void refill() {
        while (count <= 56 && pos < length) {
            bits |= uint64_t(in[pos++]) << count;
            count += 8;
        }
    }
    // False when the input ends first.
    bool need(unsigned n) {
        if (count < n) refill();
        return count >= n;
    }
    uint32_t take(unsigned n) {
        const uint32_t v = static_cast<uint32_t>(bits & ((uint64_t(1) << n) - 1));
        bits >>= n;
        count -= n;
        return v;
    }
    bool exhausted() const { return pos >= length && count == 0; }
};

// The next symbol of `h`, or -1 when the bits are not a code of it or the
// input ends inside one.
inline int32_t decode(bit_reader& r, const huffman& h) {
    if (r.count < 15) r.refill();
    const uint32_t e = h.fast[r.bits & ((1u << fast_bits) - 1)];
    if (e) {
        const uint32_t len = e & 15;
        if (len > r.count) return -1;
        r.bits >>= len;
        r.count -= len;
        return static_cast<int32_t>(e >> 4);
    }
    if (h.count == 0) return -1;
    const uint32_t low = static_cast<uint32_t>(r.bits & 0xFFFF);
    const uint32_t v = (uint32_t(reversed_bytes.r[low & 0xFF]) << 24) | (uint32_t(reversed_bytes.r[low >> 8]) << 16) | 0xFFFF;
    // The last entry whose code is not above the next 16 bits.
    uint32_t lo = 0, hi = h.count;
    while (hi - lo > 1) {
        const uint32_t mid = (lo + hi) / 2;
        if (h.sorted[mid] <= v) lo = mid;
        else hi = mid;
    }
    const uint32_t entry = h.sorted[lo];
    const uint32_t len = entry & 15;
    // An incomplete code leaves bit patterns no entry starts with.
    if (((entry ^ v) >> (32 - len)) != 0 || len > r.count) return -1;
    r.bits >>= len;
    r.count -= len;
    return static_cast<int32_t>((entry >> 4) & 0x1FF);
}

struct fixed_lengths {
    uint8_t lit[288];
    uint8_t dist[32];  // 30 and 31 have codes but no meaning
    constexpr fixed_lengths() : lit(), dist() {
        for (int s = 0; s < 288; ++s) lit[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        for (int s = 0; s < 32; ++s) dist[s] = 5;
    }
};
constexpr fixed_lengths fixed_lens;

// Reads a dynamic block's header into the two codes.
bool read_dynamic(bit_reader& r, huffman& lit, huffman& dist) {
    if (!r.need(14)) return false;
    const uint32_t hlit = r.take(5) + 257;
    const uint32_t hdist = r.take(5) + 1;
    const uint32_t hclen = r.take(4) + 4;
    if (hlit > 286 || hdist > 30) return false;
    uint8_t cl_lengths[19] = {};
    for (uint32_t i = 0; i < hclen; ++i) {
        if (!r.need(3)) return false;
        cl_lengths[code_length_order[i]] = static_cast<uint8_t>(r.take(3));
    }
    huffman cl;
    if (!build(cl, cl_lengths, 19, false)) return false;
    uint8_t lengths[286 + 30];
    const uint32_t total = hlit + hdist;
    uint32_t i = 0;
    while (i < total) {
        const int32_t s = decode(r, cl);
        if (s < 0) return false;
        if (s < 16) {
            lengths[i++] = static_cast<uint8_t>(s);
            continue;
        }
        uint32_t repeat;
        uint8_t value = 0;
        if (s == 16) {
            if (i == 0 || !r.need(2)) return false;
            value = lengths[i - 1];
            repeat = 3 + r.take(2);
        } else if (s == 17) {
            if (!r.need(3)) return false;
            repeat = 3 + r.take(3);
        } else {
            if (!r.need(7)) return false;
            repeat = 11 + r.take(7);
        }
        if (repeat > total - i) return false;
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    if (lengths[256] == 0) return false;  // no end of block: the block cannot end
    return build(lit, lengths, hlit, false) && build(dist, lengths + hlit, hdist, true);
}

}  // namespace

void install_checks(running_check crc32_continue, running_check adler32_continue) {
    crc32_running = crc32_continue;
    adler32_running = adler32_continue;
}

void init_words() { symbol::intern_canonical(method_names, static_cast<size_t>(method::count), method_symbols); }

method method_of(uint32_t sym) {
    return static_cast<method>(symbol::position_of(method_symbols, static_cast<size_t>(method::count), sym));
}

int deflate(uint8_t* out, size_t* size, const uint8_t* in, size_t length) {
    uint32_t table[4096];
    std::memset(table, 0, sizeof table);
    bit_writer w{out, out ? *size : 0};
    w.put(1, 1);
    w.put(1, 2);
    size_t p = 0;
    while (p < length) {
        const size_t start = p;
        const bool hashed = length - p >= 3;
        uint32_t bucket = 0;
        if (p < 3 || !hashed) {
            put_literal(w, in[p]);
            ++p;
            if (hashed) bucket = bucket_of(in + start);
        } else {
            bucket = bucket_of(in + p);
            const uint32_t* slots = table + bucket * 4;
            bool matched = false;
            for (int k = 0; k < 4; ++k) {
                const size_t c = slots[k];
                if (c == 0 || c >= p || p - c >= 32768) continue;
                if (in[c] != in[p] || in[c + 1] != in[p + 1] || in[c + 2] != in[p + 2]) continue;
                size_t len = 3;
                const size_t most = length - p < 258 ? length - p : 258;
                while (len < most && in[c + len] == in[p + len]) ++len;
                put_match(w, static_cast<uint32_t>(len), static_cast<uint32_t>(p - c));
                p += len;
                matched = true;
                break;
            }
            if (!matched) {
                put_literal(w, in[p]);
                ++p;
            }
        }
        // A step that began with fewer than 3 bytes left has no bucket;
        // bytes past the end count as 0 in the slot.
        if (hashed) {
            const uint32_t b1 = p + 1 < length ? in[p + 1] : 0;
            const uint32_t b2 = p + 2 < length ? in[p + 2] : 0;
            const uint32_t slot = ((b1 >> 6) - b2) & 3u;
            table[bucket * 4 + slot] = static_cast<uint32_t>(start);
        }
    }
    put_literal(w, 256);
    w.finish();
    const bool over = w.pos > *size;
    *size = w.pos;
    return over ? 1 : 0;
}

int inflate(uint8_t* out, size_t* size, const uint8_t* in, size_t length) {
    const size_t capacity = out ? *size : 0;
    bit_reader r{in, length};
    size_t produced = 0;  // counted past the capacity too
    huffman lit, dist;
    auto finish = [&](int code) {
        *size = produced;
        if (code == done && produced > capacity) return static_cast<int>(too_small);
        return code;
    };
    for (;;) {
        if (!r.need(3)) return finish(bad_data);
        const bool final = r.take(1) != 0;
        const uint32_t type = r.take(2);
        if (type == 0) {
            r.take(r.count & 7);
            if (!r.need(32)) return finish(stored_short);
            const uint32_t len = r.take(16);
            // NLEN is the complement of LEN: a block whose two disagree is
            // damaged, and its length cannot be trusted.
            if (r.take(16) != (~len & 0xFFFFu)) return finish(bad_data);
            // Whole bytes still in the bit buffer come first.
            uint32_t left = len;
            while (left && r.count >= 8) {
                const uint8_t b = static_cast<uint8_t>(r.take(8));
                if (produced < capacity) out[produced] = b;
                ++produced;
                --left;
            }
            if (left > r.length - r.pos) return finish(stored_short);
            if (produced < capacity) {
                const size_t room = capacity - produced;
                std::memcpy(out + produced, r.in + r.pos, left < room ? left : room);
            }
            produced += left;
            r.pos += left;
            if (produced > most_output) return finish(too_large);
        } else if (type == 3) {
            return finish(bad_block_type);
        } else {
            if (type == 1) {
                build(lit, fixed_lens.lit, 288, false);
                build(dist, fixed_lens.dist, 32, false);
            } else if (!read_dynamic(r, lit, dist)) {
                return finish(bad_data);
            }
            for (;;) {
                const int32_t s = decode(r, lit);
                if (s < 0) return finish(bad_data);
                if (s < 256) {
                    if (produced < capacity) out[produced] = static_cast<uint8_t>(s);
                    if (++produced > most_output) return finish(too_large);
                    continue;
                }
                if (s == 256) break;
                if (s > 285) return finish(bad_data);
                const uint32_t lc = static_cast<uint32_t>(s) - 257;
                if (!r.need(length_extra[lc])) return finish(bad_data);
                const size_t len = length_base[lc] + r.take(length_extra[lc]);
                const int32_t ds = decode(r, dist);
                if (ds < 0 || ds > 29) return finish(bad_data);
                if (!r.need(dist_extra[ds])) return finish(bad_data);
                const size_t d = dist_base[ds] + r.take(dist_extra[ds]);
                if (d > produced) return finish(bad_distance);
                if (produced + len <= capacity) {
                    uint8_t* to = out + produced;
                    const uint8_t* from = to - d;
                    if (d >= len) std::memcpy(to, from, len);
                    else
                        for (size_t k = 0; k < len; ++k) to[k] = from[k];
                } else {
                    // Past the capacity nothing is stored, so nothing there
                    // is read back either.
                    for (size_t k = 0; k < len; ++k)
                        if (produced + k < capacity) out[produced + k] = out[produced + k - d];
                }
                produced += len;
                if (produced > most_output) return finish(too_large);
            }
        }
        if (final) return finish(done);
        if (r.exhausted()) return finish(bad_data);
    }
}

int zlib_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t length) {
    const size_t capacity = out ? *size : 0;
    if (capacity < 6) {
        *size = length + 6;
        return 2;
    }
    out[0] = 0x78;
    out[1] = 0x01;
    size_t body = capacity - 6;
    const int code = deflate(out + 2, &body, in, length);
    *size = body + 6;
    if (code) return 1;
    const uint32_t a = adler32_of(in, length);
    uint8_t* t = out + 2 + body;
    t[0] = static_cast<uint8_t>(a >> 24);
    t[1] = static_cast<uint8_t>(a >> 16);
    t[2] = static_cast<uint8_t>(a >> 8);
    t[3] = static_cast<uint8_t>(a);
    return 0;
}

int gzip_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t length) {
    const size_t capacity = out ? *size : 0;
    if (capacity < 18) {
        *size = length + 18;
        return 2;
    }
    static constexpr uint8_t header[10] = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x04, 0x04};
    std::memcpy(out, header, 10);
    size_t body = capacity - 18;
    const int code = deflate(out + 10, &body, in, length);
    *size = body + 18;
    if (code) return 1;
    const uint32_t c = crc32_of(in, length);
    const uint32_t n = static_cast<uint32_t>(length);
    uint8_t* t = out + 10 + body;
    for (int i = 0; i < 4; ++i) {
        t[i] = static_cast<uint8_t>(c >> (8 * i));
        t[4 + i] = static_cast<uint8_t>(n >> (8 * i));
    }
    return 0;
}

int zlib_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t length) {
    if (length < 6) return 2;
    const uint32_t cmf = in[0], flg = in[1];
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf >> 4) >= 8 || (flg & 0x20)) return 2;
    const size_t capacity = out ? *size : 0;
    size_t n = capacity;
    const int code = inflate(out, &n, in + 2, length - 6);
    *size = n;
    if (code == too_small || code == too_large) return code;
    if (code != done) return 2;
    const uint8_t* t = in + length - 4;
    const uint32_t stored = uint32_t(t[0]) << 24 | uint32_t(t[1]) << 16 | uint32_t(t[2]) << 8 | t[3];
    return adler32_of(out, n) == stored ? 0 : 2;
}

int gzip_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t length) {
    if (length < 18) return 2;
    if (in[0] != 0x1F || in[1] != 0x8B || in[2] != 8) return 2;
    const uint32_t flags = in[3];
    if (flags & 0xE0) return 2;
    const size_t body_end = length - 8;  // the trailer is not header room
    size_t p = 10;
    if (flags & 0x04) {  // FEXTRA
        if (body_end - p < 2) return 2;
        const size_t xlen = in[p] | size_t(in[p + 1]) << 8;
        p += 2;
        if (body_end - p < xlen) return 2;
        p += xlen;
    }
    for (const uint32_t bit : {0x08u, 0x10u}) {  // FNAME, FCOMMENT
        if (!(flags & bit)) continue;
        while (p < body_end && in[p] != 0) ++p;
        if (p >= body_end) return 2;
        ++p;
    }
    if (flags & 0x02) {  // FHCRC
        if (body_end - p < 2) return 2;
        const uint32_t want = in[p] | uint32_t(in[p + 1]) << 8;
        if ((crc32_of(in, p) & 0xFFFF) != want) return 2;
        p += 2;
    }
    const uint8_t* t = in + body_end;
    const uint32_t crc = t[0] | uint32_t(t[1]) << 8 | uint32_t(t[2]) << 16 | uint32_t(t[3]) << 24;
    const uint32_t stored = t[4] | uint32_t(t[5]) << 8 | uint32_t(t[6]) << 16 | uint32_t(t[7]) << 24;
    // Deflate expands at most 1032 to 1: a larger stored size is a lie, and
    // believing it would have the caller allocate it.
    if (uint64_t(stored) > most_output_of(length)) return 2;
    const size_t capacity = out ? *size : 0;
    if (stored > capacity) {
        *size = stored;
        return 1;
    }
    size_t n = capacity;
    const int code = inflate(out, &n, in + p, body_end - p);
    *size = n;
    if (code == too_large) return code;
    if (code != done || n != stored) return 2;
    return crc32_of(out, n) == crc ? 0 : 2;
}

codec compressor(method m) {
    switch (m) {
        case method::zlib: return zlib_compress;
        case method::deflate: return deflate;
        case method::gzip: return gzip_compress;
        default: return nullptr;
    }
}

codec decompressor(method m) {
    switch (m) {
        case method::zlib: return zlib_decompress;
        case method::deflate: return inflate;
        case method::gzip: return gzip_decompress;
        default: return nullptr;
    }
}

}  // namespace kel::compression
