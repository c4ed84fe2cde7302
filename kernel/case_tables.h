// case_map: uppercase and lowercase of a code point for the whole runtime:
// the `uppercase`/`lowercase` natives and every case-insensitive operation
// (text comparison, find, parse, hashing), which fold both sides to uppercase.
//
// Invariants: the BMP tables are built at compile time from the generated pair
// lists (kernel/case_tables_data.inc, made by tools/gen_case_tables.py), so
// they need no start-up work and are read-only. An entry of 0 means "maps to
// itself". A BMP lookup is one indexed load; above U+FFFF a short walk over a
// sorted supplementary list. Any 32-bit value is a valid argument: values
// outside Unicode come back unchanged.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::case_map {

struct case_pair {
    uint32_t from, to;
};

// The built-in pair lists, sorted by `from` with no repeats.
struct pair_list {
    const case_pair* pairs;
    size_t count;
};
pair_list to_uppercase_bmp();
pair_list to_lowercase_bmp();
pair_list to_uppercase_supplementary();
pair_list to_lowercase_supplementary();

// The uppercase (to_upper true) or lowercase of cp.
uint32_t convert_char(uint32_t cp, bool to_upper);

inline uint32_t uppercase(uint32_t cp) { return convert_char(cp, true); }
inline uint32_t lowercase(uint32_t cp) { return convert_char(cp, false); }

// Its uppercase when that differs from it, else its lowercase.
uint32_t swap_char(uint32_t cp);

}  // namespace kel::case_map
