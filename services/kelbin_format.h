// kelbin_format: the byte-level vocabulary of Kelbin blocks, shared by the
// encoder (kelbin_encode.cpp) and the decoder (kelbin_decode.cpp): the
// prefix, the flag bits, the standard header bits, the compact lead bytes,
// and the varint / zigzag helpers. Nothing here touches a cell.
//
// A block is the 8-byte prefix ("KELBIN", version, flags) and then, in the
// standard layout, 32-bit little-endian words; in the compact layout, bytes
// and LEB128 varints. Both layouts describe values as records in the same
// order, and shared parts are written once and later named by a path of
// child indexes from the receiving block.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kel::kelbin {

constexpr uint8_t magic[6] = {'K', 'E', 'L', 'B', 'I', 'N'};
constexpr uint8_t version = 2;
constexpr size_t prefix_size = 8;

// Prefix flags byte.
constexpr uint8_t flag_compact = 1;
constexpr uint8_t flag_compressed = 2;
constexpr uint8_t flag_symbols = 4;

// Standard record header bits.
constexpr uint32_t std_reference_type = 255;
constexpr uint32_t std_new_line = 0x80000000u;
constexpr uint32_t std_reference = 0x80000u;    // bit 19
constexpr uint32_t std_money_negative = 0x400000u;  // bit 22
constexpr uint32_t std_complemented = 0x800000u;    // bit 23
constexpr uint32_t std_on_set = 0x1000000u;         // bit 24: object on-set words follow
constexpr uint32_t std_global = 0x2000000u;         // bit 25: word bound to the global context
constexpr uint32_t unit_shift = 8;                  // string, binary, vector unit in bits 8-15
constexpr uint32_t op_shift = 16;                   // op!: wrapped type in bits 16-23

// Standard context! record header.
constexpr uint32_t ctx_kind_shift = 26;
constexpr uint32_t ctx_self = 0x10000000u;
constexpr uint32_t ctx_stack = 0x20000000u;
constexpr uint32_t ctx_values = 0x40000000u;

// Compact lead and prefix bytes.
constexpr uint8_t c_new_line = 0xC0;
constexpr uint8_t c_reference = 0xC1;
constexpr uint8_t c_true = 0xC2;
constexpr uint8_t c_false = 0xC3;
constexpr uint8_t c_assign = 0xC4;  // boot pool only: refused by the codec
constexpr uint8_t c_path_value = 0xFF;
// The boot pool's private records, refused in every other block: the prefix
// of a block whose buffer is library code, and the global context's object.
constexpr uint8_t c_library = 0xC5;
constexpr uint8_t c_global_object = 0xC6;
constexpr uint8_t pool_version = 1;
constexpr uint8_t c_small_int = 0x80;  // 0x80-0xBF: integers 0-63
constexpr uint8_t c_flag = 0x40;       // per-type flag F of a type byte
constexpr uint8_t c_long_type = 63;    // a varint type id follows

// Compact context! flags byte.
constexpr uint8_t cctx_stack = 4;
constexpr uint8_t cctx_self = 8;
constexpr uint8_t cctx_values = 16;

// Path limits.
constexpr uint32_t max_path = 65536;

// The short forms of the compact layout.
constexpr double whole_float_limit = 2147483000.0;
constexpr double percent_limit = 21474836.0;

inline uint32_t zigzag(int32_t n) {
    return (static_cast<uint32_t>(n) << 1) ^ static_cast<uint32_t>(n >> 31);
}
inline int32_t unzigzag(uint32_t v) { return static_cast<int32_t>((v >> 1) ^ (0u - (v & 1u))); }

inline void put_varint(std::vector<uint8_t>& out, uint32_t v) {
    while (v >= 0x80u) {
        out.push_back(static_cast<uint8_t>(v | 0x80u));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}
inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    out.insert(out.end(), b, b + 4);
}
inline uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace kel::kelbin
