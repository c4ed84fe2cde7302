// lz: see lz.h. The bit reader refills one byte at a time, only as many as a
// field needs (fields are at most 17 bits), so after a chunk its byte
// position is exactly where the next chunk length starts.
#include "kernel/lz.h"

#include <cstring>

#include "kernel/heap.h"

namespace kel::lz {
namespace {

uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// The most output one byte of bit stream can describe: a 566-byte match
// costs at least 22 bits (flag 1, length code 5 + 9, distance code 4 + 3),
// so below 206 bytes per byte. A header claiming more than that is corrupt;
// checking it keeps a tiny forged block from reserving gigabytes.
constexpr uint64_t max_expansion = 206;

struct bit_reader {
    const uint8_t* p;
    const uint8_t* end;
    uint32_t acc = 0;
    int count = 0;  // bits held in acc
};

// Takes `bits` (1-17) bits; false when the stream would pass the block's end.
inline bool take(bit_reader& r, int bits, uint32_t& v) {
    while (r.count < bits) {
        if (r.p == r.end) return false;
        r.acc |= static_cast<uint32_t>(*r.p++) << r.count;
        r.count += 8;
    }
    v = r.acc & ((1u << bits) - 1);
    r.acc >>= bits;
    r.count -= bits;
    return true;
}

// Length code -> extra (match length - 3), or false at the stream's end.
bool read_extra(bit_reader& r, uint32_t& extra) {
    static constexpr int value_bits[6] = {2, 2, 2, 3, 5, 9};
    static constexpr uint32_t base[6] = {0, 4, 8, 12, 20, 52};
    int zeros = 0;
    while (zeros < 5) {
        uint32_t bit;
        if (!take(r, 1, bit)) return false;
        if (bit) break;
        ++zeros;
    }
    uint32_t v;
    if (!take(r, value_bits[zeros], v)) return false;
    extra = base[zeros] + v;
    return true;
}

bool read_distance(bit_reader& r, uint32_t& d) {
    uint32_t k;
    if (!take(r, 4, k)) return false;
    if (k == 0) return take(r, 3, d);
    int j = static_cast<int>(k) + 2;
    uint32_t v;
    if (!take(r, j, v)) return false;
    d = v + (1u << j);
    return true;
}

// Decodes one chunk of `length` bytes into out[0, length). False when corrupt.
bool decode_chunk(bit_reader& r, uint8_t* out, uint32_t length) {
    uint32_t pos = 0;
    while (pos < length) {
        uint32_t flag;
        if (!take(r, 1, flag)) return false;
        if (!flag) {
            uint32_t byte;
            if (!take(r, 8, byte)) return false;
            out[pos++] = static_cast<uint8_t>(byte);
            continue;
        }
        uint32_t extra, d;
        if (!read_extra(r, extra) || !read_distance(r, d)) return false;
        uint32_t n = extra + min_match;
        uint32_t distance = d + 1;
        if (distance > pos || n > length - pos) return false;
        // Byte by byte: an overlapping copy repeats what it has just written.
        const uint8_t* src = out + pos - distance;
        for (uint32_t i = 0; i < n; ++i) out[pos + i] = src[i];
        pos += n;
    }
    return true;
}

}  // namespace

namespace {

// Decodes every chunk of the packed data [pos, end) into out. The end is
// tested before a chunk length is read, and a chunk length must lie wholly
// inside the block.
bool decode_chunks(const uint8_t* pos, const uint8_t* end, uint8_t* out, uint64_t room, uint64_t* produced) {
    uint64_t done = 0;
    while (pos != end) {
        if (end - pos < 4) return false;
        uint32_t length = load32(pos);
        pos += 4;
        if (length < 1 || length > max_chunk || done + length > room) return false;
        bit_reader r{pos, end};
        if (!decode_chunk(r, out + done, length)) return false;
        done += length;
        pos = r.p;  // the rest of a partly used byte is padding
    }
    *produced = done;
    return true;
}

}  // namespace

uint8_t* decompress(const uint8_t* block, size_t block_size, size_t* out_size) {
    if (!block || block_size < 8) return nullptr;
    uint32_t packed = load32(block);
    uint32_t unpacked = load32(block + 4);
    if (packed > block_size - 8) return nullptr;
    if (unpacked > static_cast<uint64_t>(packed) * max_expansion) return nullptr;

    uint64_t room = static_cast<uint64_t>(unpacked) + 8;
    auto* out = static_cast<uint8_t*>(heap::allocate(room));
    uint64_t produced = 0;
    if (!decode_chunks(block + 8, block + 8 + packed, out, room, &produced)) {
        heap::free(out);
        return nullptr;
    }
    if (out_size) *out_size = static_cast<size_t>(produced);
    return out;
}

void free_output(void* p) { heap::free(p); }

// ---------------------------------------------------------------- compressor

namespace {

constexpr int hash_bits = 16;
constexpr uint32_t hash_size = 1u << hash_bits;
constexpr uint32_t max_chain = 256;
constexpr uint32_t far_short_match = 65536;  // a 3-byte match beyond this costs more than 3 literals
constexpr uint32_t none = 0xFFFFFFFFu;

struct bit_writer {
    uint8_t* p;
    uint8_t* limit;
    uint64_t acc = 0;
    int count = 0;
    bool overflow = false;
};

void put(bit_writer& w, uint32_t v, int bits) {
    w.acc |= static_cast<uint64_t>(v) << w.count;
    w.count += bits;
    while (w.count >= 8) {
        if (w.p == w.limit) {
            w.overflow = true;
            w.count = 0;
            w.acc = 0;
            return;
        }
        *w.p++ = static_cast<uint8_t>(w.acc);
        w.acc >>= 8;
        w.count -= 8;
    }
}

// Seven zero bits complete the partly filled byte; the bits left over are
// dropped, so the stream ends on the byte boundary the decoder stops at.
void finish(bit_writer& w) {
    put(w, 0, 7);
    w.acc = 0;
    w.count = 0;
}

void put_match(bit_writer& w, uint32_t length, uint32_t distance) {
    put(w, 1, 1);
    uint32_t extra = length - min_match;
    if (extra < 4) {
        put(w, 1, 1);
        put(w, extra, 2);
    } else if (extra < 8) {
        put(w, 0b10, 2);
        put(w, extra - 4, 2);
    } else if (extra < 12) {
        put(w, 0b100, 3);
        put(w, extra - 8, 2);
    } else if (extra < 20) {
        put(w, 0b1000, 4);
        put(w, extra - 12, 3);
    } else if (extra < 52) {
        put(w, 0b10000, 5);
        put(w, extra - 20, 5);
    } else {
        put(w, 0, 5);
        put(w, extra - 52, 9);
    }
    uint32_t d = distance - 1;
    if (d < 8) {
        put(w, 0, 4);
        put(w, d, 3);
    } else {
        int j = 31 - __builtin_clz(d);  // 3..17
        put(w, static_cast<uint32_t>(j - 2), 4);
        put(w, d - (1u << j), j);
    }
}

inline uint32_t hash3(const uint8_t* p) {
    uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> (32 - hash_bits);
}

inline uint32_t hash4(const uint8_t* p) { return (load32(p) * 2246822519u) >> (32 - hash_bits); }

inline uint32_t match_length(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t n = 0;
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

struct finder {
    uint32_t* head3;  // one entry per 3-byte hash: the latest position
    uint32_t* head4;  // chain heads per 4-byte hash
    uint32_t* prev;   // chain links, indexed by position modulo the window
};

void insert(finder& f, const uint8_t* base, uint32_t pos, uint32_t n) {
    if (pos + 3 <= n) f.head3[hash3(base + pos)] = pos;
    if (pos + 4 <= n) {
        uint32_t h = hash4(base + pos);
        f.prev[pos & (window - 1)] = f.head4[h];
        f.head4[h] = pos;
    }
}

// A farther candidate must beat the best by one byte more for each time a
// sixteenth of its distance has to be divided by 8 to reach the best's.
bool better(uint32_t len, uint32_t dist, uint32_t best_len, uint32_t best_dist) {
    if (best_len < min_match) return len >= min_match;
    uint32_t penalty = 0;
    for (uint32_t x = dist / 16; x > best_dist; x /= 8) ++penalty;
    return len > best_len + penalty;
}

void encode_chunk(finder& f, bit_writer& w, const uint8_t* base, uint32_t n) {
    for (uint32_t i = 0; i < hash_size; ++i) f.head3[i] = f.head4[i] = none;
    uint32_t pos = 0;
    while (pos < n && !w.overflow) {
        uint32_t limit = n - pos < max_match ? n - pos : max_match;
        uint32_t best_len = 0, best_dist = 0;
        if (pos + 3 <= n) {
            uint32_t c = f.head3[hash3(base + pos)];
            if (c != none && pos - c <= window) {
                uint32_t len = match_length(base + c, base + pos, limit);
                if (len >= min_match) best_len = len, best_dist = pos - c;
            }
        }
        if (pos + 4 <= n) {
            uint32_t c = f.head4[hash4(base + pos)];
            for (uint32_t tries = 0; c != none && pos - c <= window && tries < max_chain; ++tries) {
                uint32_t dist = pos - c;
                uint32_t len = match_length(base + c, base + pos, limit);
                if (better(len, dist, best_len, best_dist)) best_len = len, best_dist = dist;
                if (best_len == limit) break;
                uint32_t next = f.prev[c & (window - 1)];
                if (next == none || next >= c) break;  // the slot was reused: the chain has left the window
                c = next;
            }
        }
        if (best_len == min_match && best_dist > far_short_match) best_len = 0;
        if (best_len >= min_match) {
            put_match(w, best_len, best_dist);
            for (uint32_t i = 0; i < best_len; ++i) insert(f, base, pos + i, n);
            pos += best_len;
        } else {
            put(w, 0, 1);
            put(w, base[pos], 8);
            insert(f, base, pos, n);
            ++pos;
        }
    }
    finish(w);
}

}  // namespace

long compress(const uint8_t* src, size_t length, uint8_t* dst) {
    if (length <= 127 || length > 0xFFFFFFFFu) return -1;
    finder f;
    f.head3 = static_cast<uint32_t*>(heap::allocate(hash_size * sizeof(uint32_t)));
    f.head4 = static_cast<uint32_t*>(heap::allocate(hash_size * sizeof(uint32_t)));
    f.prev = static_cast<uint32_t*>(heap::allocate(window * sizeof(uint32_t)));
    bit_writer w{dst + 8, dst + length};
    for (size_t start = 0; start < length && !w.overflow; start += max_chunk) {
        uint32_t n = static_cast<uint32_t>(length - start < max_chunk ? length - start : max_chunk);
        if (w.limit - w.p < 4) {
            w.overflow = true;
            break;
        }
        store32(w.p, n);
        w.p += 4;
        encode_chunk(f, w, src + start, n);
    }
    heap::free(f.prev);
    heap::free(f.head4);
    heap::free(f.head3);
    if (w.overflow) return -1;
    size_t packed = static_cast<size_t>(w.p - (dst + 8));
    store32(dst, static_cast<uint32_t>(packed));
    store32(dst + 4, static_cast<uint32_t>(length));
    return static_cast<long>(packed + 8);
}

}  // namespace kel::lz
