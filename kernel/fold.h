// fold: letter-case folding of code points for the name tables and hashing.
//
// TEMPORARY. This header stands in for the case tables until they are merged:
// it knows ASCII and Latin-1 only (plus the two Latin-1 letters whose capital
// lies outside Latin-1). When the case-table module lands, `fold_upper` and
// `fold_lower` forward to it and this file goes; every caller already goes
// through these two functions, so nothing else changes.
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

namespace kel {

// The uppercase of a code point (the first code point of it where the
// uppercase is several), or the code point itself.
inline uint32_t fold_upper(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - 0x20 : cp;
    if (cp > 0xFF) return cp;
    if (cp == 0xB5) return 0x39C;   // micro sign -> capital mu
    if (cp == 0xDF) return 0x53;    // sharp s -> S (first letter of SS)
    if (cp == 0xFF) return 0x178;   // y with diaeresis
    if (cp >= 0xE0 && cp != 0xF7) return cp - 0x20;
    return cp;
}

// The lowercase of a code point, or the code point itself.
inline uint32_t fold_lower(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
    if (cp == 0x178) return 0xFF;
    if (cp > 0xFF) return cp;
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
    return cp;
}

// One byte of a UTF-8 symbol name as the symbol table folds it: ASCII
// capitals to small letters, every other byte (UTF-8 lead and trail bytes
// included) unchanged.
inline uint8_t fold_name_byte(uint8_t b) { return b < 0x80 ? static_cast<uint8_t>(fold_lower(b)) : b; }

}  // namespace kel
