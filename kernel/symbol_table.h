// symbol_table: where the symbol table lives and how an alias resolves. The
// hash tables' word lookups resolve a symbol to its canonical id on every
// probe, so that plain table read sits here at the kernel level, beside the
// interning in kernel/hashtable. The table is a block of symbol! cells; a
// cell's word 1 is its alias (the canonical id, or -1 for a canonical
// symbol). The symbol module (datatypes/symbol) makes the block at start-up
// and owns everything else about symbols: names, their text, the symbol! row.
#pragma once
#include <cstdint>

#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::symbol_table {

// The table block's cell (a copy of its cell in the root block); not a block
// until start-up.
inline kel_value block{};

// Header flag of a canonical symbol's cell once another spelling aliases
// it: a search for the symbol that finds no such flag compares ids alone.
constexpr uint32_t flag_has_variants = 0x100u;

// The cell of symbol `id` (1-based), as it is.
inline kel_value* raw_cell(uint32_t id) {
    return reinterpret_cast<kel_value*>(memory::buffer_of(series_node(&block))->head_ptr()) + (id - 1);
}

// The canonical id of a symbol (0 stays 0). An alias always names a
// canonical symbol, so one step suffices.
inline uint32_t resolve(uint32_t id) {
    if (id == 0) return 0;
    const int32_t alias = static_cast<int32_t>(raw_cell(id)->w1);
    return alias > 0 ? static_cast<uint32_t>(alias) : id;
}

// Does any other spelling resolve to this canonical symbol?
inline bool has_variants(uint32_t canonical) { return (raw_cell(canonical)->header & flag_has_variants) != 0; }

}  // namespace kel::symbol_table
