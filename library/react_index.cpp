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

#include <algorithm>
#include <unordered_map>
#include <vector>

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
    // identity of a source, and of a reaction -> first cells, ascending
    std::unordered_map<uint64_t, std::vector<int32_t>> by_source, by_reaction;
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

void enter(const kel_value* record, int32_t at) {
    index.records.emplace(key_of(record), at);
    index.by_source[identity_of(record)].push_back(at);
    index.by_reaction[identity_of(record + 2)].push_back(at);
}

void rebuild(const kel_value* table) {
    index.records.clear();
    index.by_source.clear();
    index.by_reaction.clear();
    const int32_t n = cells_of(table);
    const kel_value* cells = n > 0 ? cells_from_start(table) : nullptr;
    for (int32_t i = 0; i + record_cells <= n; i += record_cells) enter(cells + i, i);
    remember(table);
}

void sync(const kel_value* table) {
    if (!in_sync(table)) rebuild(table);
}

// The first cells, ascending, of the records whose value at `offset` (0 the
// source, 2 the reaction) may be `same?` as `v`: a superset, to be checked.
const std::vector<int32_t>* candidates(const kel_value* v, int32_t offset) {
    auto& map = offset == 0 ? index.by_source : index.by_reaction;
    const auto it = map.find(identity_of(v));
    return it == map.end() ? nullptr : &it->second;
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
    sync(&table);
    kel_value answer;
    const bool known = holds(&table, record);
    set_logic(&answer, !known);
    if (!known) {
        const int32_t at = cells_of(&table);
        for (const kel_value& v : record) block::ks_add(&table, &v);
        // A record after a cut-short one is at no multiple of four: the
        // table's search never meets it, nor does the index.
        if (at % record_cells == 0) enter(record, at);
        remember(&table);
    }
    return routines::answer_cell(&answer);
}

// The sources an unlink names: none for any source, else a block of them,
// found by identity so that a long block costs no walk per record.
struct source_set {
    const kel_value* block = nullptr;  // null: any source
    std::unordered_multimap<uint64_t, int32_t> by_identity;  // -> index in the block

    explicit source_set(const kel_value* sources) {
        if (type_of(sources) == types::none) return;
        block = sources;
        const int32_t n = block::ks_length_q(sources);
        for (int32_t i = 0; i < n; ++i) by_identity.emplace(identity_of(at(i)), i);
    }
    const kel_value* at(int32_t i) const { return block::ks_abs_at(block, series_head(block) + i); }
    bool holds(const kel_value* source) const {
        if (!block) return true;
        const auto [first, last] = by_identity.equal_range(identity_of(source));
        for (auto it = first; it != last; ++it)
            if (natives::same_q(at(it->second), source)) return true;
        return false;
    }
};

// react-unlink table reaction sources: removes the records of this very
// reaction whose source is among the sources (none: any), in one pass that
// moves the records that stay up over those that go; answers whether any
// went. The index finds the records of the reaction.
machine_value unlink_routine(const machine_value* a, int32_t) {
    const kel_value table = *a[0].cell;
    if (!in_family(type_of(&table), family::block_like)) fire(error_category::script, "invalid-arg", &table);
    const kel_value reaction = *a[1].cell;
    const kel_value sources_cell = *a[2].cell;
    const source_set sources(&sources_cell);
    sync(&table);
    std::vector<int32_t> going;
    if (const std::vector<int32_t>* found = candidates(&reaction, 2)) {
        const kel_value* cells = cells_from_start(&table);
        for (const int32_t at : *found)
            if (natives::same_q(cells + at + 2, &reaction) && sources.holds(cells + at)) going.push_back(at);
    }
    kel_value answer;
    set_logic(&answer, !going.empty());
    if (!going.empty()) {
        kel_value* cells = block::ks_abs_at(&table, 0);
        const int32_t n = cells_of(&table);
        int32_t kept = going.front();
        auto next_going = going.begin();
        for (int32_t at = going.front(); at < n; at += record_cells) {
            if (next_going != going.end() && *next_going == at) {
                ++next_going;
                continue;
            }
            const int32_t count = std::min(record_cells, n - at);
            std::copy(cells + at, cells + at + count, cells + kept);
            kept += count;
        }
        block::ks_cut_at(&table, kept);
        block::modified(&table);
    }
    return routines::answer_cell(&answer);
}

}  // namespace

int32_t next_record_of(const kel_value* table, const kel_value* source, int32_t from) {
    const int32_t n = cells_of(table);
    if (from % record_cells != 0) {  // off the records' grid: the plain walk
        for (int32_t i = std::max(from, 0); i < n; i += record_cells)
            if (natives::same_q(block::ks_abs_at(table, i), source)) return i;
        return -1;
    }
    sync(table);
    const std::vector<int32_t>* found = candidates(source, 0);
    if (!found) return -1;
    const kel_value* cells = cells_from_start(table);
    for (auto it = std::lower_bound(found->begin(), found->end(), from); it != found->end(); ++it)
        if (*it < n && natives::same_q(cells + *it, source)) return *it;
    return -1;
}

void install() {
    routines::entry e;
    e.name = "react-add-relation";
    // Only add-relation calls it, its arguments checked by its own spec.
    e.spec = R"k("Add a relation unless the table holds it" table [any-type!] obj [any-type!] word [any-type!] reaction [any-type!] targets [any-type!])k";
    e.fn = add_routine;
    routines::define(routine_numbers::react_index, e);
    routines::entry u;
    u.name = "react-unlink";
    // Only react/unlink calls it, with the sources already reduced to a block or none.
    u.spec = R"k("Remove the relations of a reaction" table [any-type!] reaction [any-type!] sources [any-type!])k";
    u.fn = unlink_routine;
    routines::define(routine_numbers::react_index + 1, u);
}

}  // namespace kel::react_index
