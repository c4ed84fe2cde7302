// fold: letter-case folding of code points for the name tables and hashing,
// over the case tables.
//
// Invariant that callers rely on: case-insensitive comparison and
// case-insensitive hashing fold with the same function (`fold_upper`), so two
// texts equal under comparison always hash alike.
//
// Symbol names fold differently on purpose: the alias rule of the symbol table
// makes names that differ only in ASCII letter case variants of one another,
// and nothing else. `fold_name_byte` is that one rule; both the symbol hash and
// the symbol table's caseless comparison use it, so they can never disagree.
#pragma once
#include <cstdint>

#include "kernel/case_tables.h"

namespace kel {

// The uppercase of a code point (the first code point of it where the
// uppercase is several), or the code point itself.
inline uint32_t fold_upper(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - 0x20 : cp;
    return case_map::uppercase(cp);
}

// The lowercase of a code point, or the code point itself.
inline uint32_t fold_lower(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
    return case_map::lowercase(cp);
}

// One byte of a UTF-8 symbol name as the symbol table folds it: ASCII
// capitals to small letters, every other byte (UTF-8 lead and trail bytes
// included) unchanged.
inline uint8_t fold_name_byte(uint8_t b) { return b < 0x80 ? static_cast<uint8_t>(fold_lower(b)) : b; }

}  // namespace kel
