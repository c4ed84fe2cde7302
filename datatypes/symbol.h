// symbol: the process-wide symbol table and the symbol! datatype (id 13).
//
// Every word names a symbol: a name held once, identified by its symbol id,
// the 1-based index of its cell in the symbol table block. Names that differ
// only in ASCII letter case are distinct symbols, but every later spelling
// carries an alias to the canonical symbol (the first of its family that was
// interned), so case-insensitive word equality is an integer comparison.
// Invariant: an alias always names a canonical symbol (never another
// variant), so `resolve` needs one step; a symbol id never changes.
//
// Storage. The symbol table is a block in the root block (room for 4,000
// cells at start, grown like any block); its index is a kind-2 hash table
// built for 4,000 entries. A symbol! cell holds: word 1 the alias (-1 for a
// canonical symbol), word 2 the node of the cached string! form (0 until
// first asked for), word 3 the node of a unit-1 series holding the name's
// UTF-8 bytes followed by one zero byte that the tail excludes. Any byte
// sequence is a name (invalid UTF-8, inner zero bytes and the empty name
// included).
//
// The text helpers at the end (decoding a name to code points, appending a
// name to a mold/form buffer, comparing names as text) work on the symbol
// table's own UTF-8 names, so this module needs nothing of the string module.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/symbol_table.h"
#include "kernel/value.h"

namespace kel::symbol {

constexpr uint32_t table_cells = 4000;

// Start-up: the symbol table block (appended to the root block), then the
// index over it.
void init_table();
void init_index();
bool ready();

// The symbol table block and its index.
const kel_value* table();
uint32_t index();
// Symbols made so far.
uint32_t count();

// Interning (see the file comment).
uint32_t intern(const char* name);
uint32_t intern_caseless(const char* name);
uint32_t intern_part(const char* name, uint32_t length);
// A string-like value from its head, converted to UTF-8. A code point above
// U+10FFFF raises script `invalid-char`.
uint32_t intern_string(const kel_value* s);

// The canonical id of a symbol (the table itself is kernel/symbol_table).
inline uint32_t resolve(uint32_t id) { return symbol_table::resolve(id); }
// The raw alias field (-1 when canonical).
int32_t alias_of(uint32_t id);

// A fixed list of words a native takes as a choice (a checksum method, a
// compression framing), matched in any letter case: `intern_canonical` fills
// `ids` with the canonical symbols of `names`; `position_of` answers the
// index of `sym` in them, or `count` when it is none of them.
void intern_canonical(const char* const* names, size_t count, uint32_t* ids);
size_t position_of(const uint32_t* ids, size_t count, uint32_t sym);
// The symbol's cell, its string form cached first (may allocate).
kel_value* cell_at(uint32_t id);
// The symbol's cell as it is (no allocation).
inline kel_value* raw_cell(uint32_t id) { return symbol_table::raw_cell(id); }
// Makes sure the cell's word 2 holds the name as a string!; answers its node.
uint32_t cache_string(uint32_t id);

// The name's UTF-8 bytes (valid until the next allocation) and byte length.
const char* name_bytes(uint32_t id, uint32_t* length);

// --- text of names -------------------------------------------------------------
// Appends the name's code points to a string! buffer, widening the buffer's
// unit when a code point needs it; answers the number of code points.
int32_t append_name(kel_value* buffer, uint32_t id);
// A new string! in `out` holding a copy of the symbol's name.
void copy_name_string(uint32_t id, kel_value* out);
// The names compared as text under a comparison operator code: letter case
// is folded unless op is strict-equal or the case-sensitive sort order;
// equality codes answer 0 or 1, the orderings -1, 0 or 1.
int32_t compare_names(uint32_t a, uint32_t b, int32_t op);

// The symbol! row: compare only.
registry::registration row();
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

}  // namespace kel::symbol
