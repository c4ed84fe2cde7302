// react_index: see react_index.h.
//
// The index belongs to one relations block as it was last seen: its node,
// the node's modification stamp and its cell count. Anything else that
// changed the block (stop-reactor, unlink, clear-reactions, a script) has
// bumped the stamp, and the next addition builds the index again from the
// table, once. Records are found the way `find/same/skip head relations
// record 4` finds them: four cells at a multiple of four from the block's
// first cell, every one `same?` as the new record's.
#include "library/react_index.h"

#include <unordered_map>

#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "evaluator/natives_words.h"
#include "evaluator/routines.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::react_index {

namespace {

using routines::machine_value;

constexpr int32_t record_cells = 4;

struct relation_index {
    uint32_t node = 0;
    uint32_t stamp = 0;
    int32_t cells = -1;
    std::unordered_multimap<uint64_t, int32_t> records;  // key -> first cell
};
relation_index index;

uint64_t mix(uint64_t h, uint32_t word) { return (h ^ word) * 0x9E3779B97F4A7C15u; }

// Equal for values that are `same?`: built from the words natives::same_q
// compares for the value's type; a type it compares by value (money!)
// gives its type alone.
uint64_t identity_of(const kel_value* v) {
    const uint32_t t = type_of(v);
    const uint64_t h = mix(0, t);
    switch (t) {
        case types::none:
        case types::unset:
        case types::money: return h;
        case types::datatype:
        case types::logic:
        case types::object: return mix(h, v->w1);
        case types::char_:
        case types::integer:
        case types::bitset: return mix(h, v->w2);
        case types::float_:
        case types::percent:
        case types::pair:
        case types::time:
        case types::op: return mix(mix(h, v->w2), v->w3);
        case types::native:
        case types::action:
        case types::point2d: return mix(mix(h, v->w1), v->w2);
        case types::tuple: return h;
        default: break;
    }
    if (in_family(t, family::series)) return mix(mix(h, v->w1), v->w2);
    return mix(mix(mix(h, v->w1), v->w2), v->w3);
}

// A record's key: its source, its reaction and its targets. Records that
// share all three differ only in the word, which few of them do: a linked
// call of one function over many objects has targets of its own each time.
uint64_t key_of(const kel_value* record) {
    return mix(mix(identity_of(record), uint32_t(identity_of(record + 2) >> 32) ^ uint32_t(identity_of(record + 2))),
               uint32_t(identity_of(record + 3) >> 32) ^ uint32_t(identity_of(record + 3)));
}

int32_t cells_of(const kel_value* table) { return block::ks_length_q(table) + series_head(table); }

const kel_value* cells_from_start(const kel_value* table) {
    return block::ks_abs_at(table, 0);
}

bool in_sync(const kel_value* table) {
    const uint32_t node = series_node(table);
    return index.node == node && index.stamp == memory::stamp_of(memory::buffer_of(node)) &&
           index.cells == cells_of(table);
}

void remember(const kel_value* table) {
    index.node = series_node(table);
    index.stamp = memory::stamp_of(memory::buffer_of(index.node));
    index.cells = cells_of(table);
}

void rebuild(const kel_value* table) {
    index.records.clear();
    const int32_t n = cells_of(table);
    const kel_value* cells = n > 0 ? cells_from_start(table) : nullptr;
    for (int32_t i = 0; i + record_cells <= n; i += record_cells) index.records.emplace(key_of(cells + i), i);
    remember(table);
}

bool holds(const kel_value* table, const kel_value* record) {
    const int32_t n = cells_of(table);
    const auto [first, last] = index.records.equal_range(key_of(record));
    for (auto it = first; it != last; ++it) {
        const int32_t at = it->second;
        if (at + record_cells > n) continue;
        const kel_value* cells = cells_from_start(table) + at;
        bool all = true;
        for (int32_t k = 0; k < record_cells && all; ++k) all = natives::same_q(cells + k, record + k);
        if (all) return true;
    }
    return false;
}

// react-add-relation table obj word reaction targets: appends the record
// unless the table holds it; answers whether it did.
machine_value add_routine(const machine_value* a, int32_t) {
    const kel_value table = *a[0].cell;
    if (!in_family(type_of(&table), family::block_like)) fire(error_category::script, "invalid-arg", &table);
    const kel_value record[record_cells] = {*a[1].cell, *a[2].cell, *a[3].cell, *a[4].cell};
    if (!in_sync(&table)) rebuild(&table);
    kel_value answer;
    const bool known = holds(&table, record);
    set_logic(&answer, !known);
    if (!known) {
        const int32_t at = cells_of(&table);
        for (const kel_value& v : record) block::ks_add(&table, &v);
        // A record after a cut-short one is at no multiple of four: the
        // table's search never meets it, nor does the index.
        if (at % record_cells == 0) index.records.emplace(key_of(record), at);
        remember(&table);
    }
    return routines::answer_cell(&answer);
}

}  // namespace

void install() {
    routines::entry e;
    e.name = "react-add-relation";
    // Only add-relation calls it, its arguments checked by its own spec.
    e.spec = R"k("Add a relation unless the table holds it" table [any-type!] obj [any-type!] word [any-type!] reaction [any-type!] targets [any-type!])k";
    e.fn = add_routine;
    (void)routines::define(routine_number, e);
}

}  // namespace kel::react_index
