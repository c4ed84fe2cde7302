// registry: the datatype registry. Every datatype has a fixed id (value.h), a
// name, a parent, and one row of the flat action table: the handlers of the 62
// generic actions for that type. A datatype module describes its row in a
// `registration` (a fixed array of 62 entries, so a wrong count cannot be
// written) and `install` stores it, resolving `inherit` entries against the
// parent's row as it stands at that moment. Rows are written once, in the
// fixed registration order (parents before children), and never change after.
//
// Handler forms. Most actions are stack handlers: they read their arguments
// from the argument stack (argument N at stack::arguments() + N - 1), get the
// cell offsets of their refinements in spec order, leave the result in the
// base cell and return a signal_code. Four slots have explicit arguments
// because nested values are formed, molded, compared and path-stepped far more
// often than they are called from a script: form (5), mold (6), path step (7)
// and compare (9). Slot 8 is never filled. `install` checks that every entry
// has the form its slot needs; a wrong registration ends the process through
// the fatal path with a non-zero code.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel {

// Action numbers, 1-based, in action order.
namespace act {
enum id : uint8_t {
    make = 1, random, reflect, to, form, mold, path_step, unused8, compare,
    absolute, add, divide, multiply, negate, power, remainder, round, subtract,
    even_q, odd_q, and_, complement, or_, xor_,
    append, at, back, change, clear, copy, find, head, head_q, index_q, insert,
    length_q, move, next, pick, poke, put, remove, reverse, select, sort, skip,
    swap, tail, tail_q, take, trim,
    create, close, delete_, modify, open, open_q, query, read, rename, update, write,
};
constexpr int count = 62;
// Per-row stride of the flat table (62 used, rounded up).
constexpr int row_stride = 64;
}  // namespace act

// Comparison operator codes handed to compare handlers.
namespace cmp {
enum op : int32_t {
    equal = 0, not_equal = 1, strict_equal = 2, lesser = 3, lesser_or_equal = 4,
    greater = 5, greater_or_equal = 6, sort = 7, case_sort = 8, same = 9,
    equal10 = 10, equal11 = 11, find = 12,
};
constexpr int32_t not_comparable = -2;
inline bool equality_op(int32_t op) { return op == 0 || op == 1 || op == 2 || op == 10 || op == 11 || op == 12; }
}  // namespace cmp

// Refinement slots of a stack handler, in spec order: -1 when the refinement
// is absent, else the 0-based cell offset from the arguments base of its
// first argument (where its arguments would start when it takes none).
struct refinements {
    int32_t at[12];
    static constexpr refinements none() {
        return refinements{{-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}};
    }
    bool has(int i) const { return at[i] >= 0; }
    // No refinement among slots 0..n-1 (n at most 12): absent slots hold -1,
    // so the AND of them all keeps the sign bit only when none is set.
    template <int n>
    bool none_below() const {
        static_assert(n >= 1 && n <= 12);
        int32_t all = at[0];
        for (int i = 1; i < n; ++i) all &= at[i];
        return all < 0;
    }
};

// The refinements of find and select by name (select has no /tail, /match):
// one record that every datatype's find and the dispatch helpers share.
struct find_options {
    const kel_value* part = nullptr;
    bool only = false;
    bool case_ = false;
    bool same = false;
    bool any = false;
    const kel_value* with = nullptr;
    const kel_value* skip = nullptr;
    bool last = false;
    bool reverse = false;
    bool tail = false;
    bool match = false;
};
// The record from a stack handler's refinement slots (find's spec order);
// `base` is the arguments base the slots count from.
inline find_options find_options_of(const refinements& r, kel_value* base, bool with_tail_match) {
    auto arg = [&](int i) -> const kel_value* { return r.has(i) ? base + r.at[i] : nullptr; };
    find_options o;
    o.part = arg(0);
    o.only = r.has(1);
    o.case_ = r.has(2);
    o.same = r.has(3);
    o.any = r.has(4);
    o.with = arg(5);
    o.skip = arg(6);
    o.last = r.has(7);
    o.reverse = r.has(8);
    if (with_tail_match) {
        o.tail = r.has(9);
        o.match = r.has(10);
    }
    return o;
}

// One step of a path on a value (slot 7).
struct path_step_args {
    kel_value* parent;
    const kel_value* element;
    const kel_value* value_to_set;  // null for a get step
    const kel_value* path;
    const kel_value* grandparent;
    const kel_value* previous_element;
    int32_t step;
    bool last;
    bool notify_owner;
    kel_value* result;
};

using action_fn = signal_code (*)(const refinements& refs);
// form (value, buffer, /part argument or null, part budget) -> remaining budget
using form_fn = int32_t (*)(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
// mold (value, buffer, only, all, flat, /part argument or null, part budget, indent) -> remaining budget
using mold_fn = int32_t (*)(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat,
                            const kel_value* arg, int32_t part, int32_t indent);
// compare (value, other, operator code) -> -1, 0, 1, or cmp::not_comparable
using compare_fn = int32_t (*)(const kel_value* value, const kel_value* other, int32_t op);
using path_fn = signal_code (*)(const path_step_args& step);

namespace registry {

// One slot of the flat action table; which member is live is fixed by the
// slot's action number.
union slot {
    action_fn stack;
    form_fn form;
    mold_fn mold;
    compare_fn compare;
    path_fn path;
    const void* any;
};

enum class entry_kind : uint8_t { unsupported, inherit, stack, form, mold, compare, path };

// One entry of a registration: a handler of the slot's form, `inherit`
// (take the parent's slot), or unsupported (the default).
struct entry {
    entry_kind kind = entry_kind::unsupported;
    slot fn{};
    constexpr entry() = default;
    constexpr entry(action_fn f) : kind(entry_kind::stack) { fn.stack = f; }
    constexpr entry(form_fn f) : kind(entry_kind::form) { fn.form = f; }
    constexpr entry(mold_fn f) : kind(entry_kind::mold) { fn.mold = f; }
    constexpr entry(compare_fn f) : kind(entry_kind::compare) { fn.compare = f; }
    constexpr entry(path_fn f) : kind(entry_kind::path) { fn.path = f; }
    static constexpr entry inherit() {
        entry e;
        e.kind = entry_kind::inherit;
        return e;
    }
};

// The hash of a value of the row's type (hashtable::hash_by names the common
// ones); case_sensitive matters to text only.
using hash_fn = uint32_t (*)(const kel_value* value, bool case_sensitive);
// What a cell of the row's type keeps alive (collector::cell_markers).
using marker_fn = void (*)(const kel_value* cell);

// How the set natives (unique, union, intersect, exclude, difference) hash a
// key of the row's type. Keys equal under find's equality (or under strict
// equality, with /case) must hash alike, so only a type whose equality is a
// plain function of its hash column may use that column; any other type
// hashes by its type id alone, and its keys are then compared with every key
// of the type, which keeps whatever comparison rule it has.
enum class set_hash_rule : uint8_t {
    type_only,    // the type id alone (the safe default)
    folded,       // the hash column without case, in both modes (words: the canonical symbol)
    cased,        // the hash column, case-sensitive only under /case (text)
    exact,        // the hash column as it is (case means nothing to the type)
    float_value,  // float!'s rule: -0.0 hashes as 0.0, and under find a NaN equals every float
};

struct registration {
    uint32_t id = 0;
    uint32_t parent = 0;  // 0: no parent
    const char* name = nullptr;
    // Required columns: `install` refuses a row without them.
    hash_fn hash = nullptr;
    marker_fn marker = nullptr;
    // The families the type belongs to (family::bits; none is a valid answer).
    uint16_t families = 0;
    // How the set natives hash its keys.
    set_hash_rule set_hash = set_hash_rule::type_only;
    std::array<entry, act::count> actions{};
    entry& operator[](act::id a) { return actions[a - 1]; }
    const entry& operator[](act::id a) const { return actions[a - 1]; }
    // Every entry becomes `inherit` (for a child that takes its parent's row
    // and then overrides some slots).
    void inherit_all() { for (entry& e : actions) e = entry::inherit(); }
};

struct type_name_entry {
    const char* name;   // as registered, e.g. "integer!"
    int32_t length;     // without the trailing "!"
    kel_value word;     // the word! of the name, once the words exist (header 0 until then)
};

// The flat table: slot (type x act::row_stride + action - 1).
extern slot action_table[types::table_rows * act::row_stride];
extern type_name_entry type_names[types::table_rows];
extern uint32_t highest_type_id;
// The parent of each registered type (0: none).
extern uint8_t parent_ids[types::table_rows];
// The hash column of each registered type.
extern hash_fn hashers[types::table_rows];
// The set-hash rule of each registered type, indexed by any byte a header can
// hold (type_only for an id never registered), so no range check is needed.
extern set_hash_rule set_hash_rules[256];

// Registers one datatype. A malformed registration (id out of range or
// registered twice, parent unknown or not yet registered, a missing hash or
// marker column, `inherit` without a parent, an entry of the wrong form for
// its slot, a name not ending in "!")
// prints "*** Datatype Error: ..." and ends the process with a non-zero code.
void install(const registration& r);

// A datatype module's row, by type id.
using row_fn = registration (*)();
struct row_provider {
    uint8_t id;
    row_fn row;
};
// Registers datatypes 1-53 in the fixed order (start-up step), each from its
// provider or, for a type with none, as a bare row (name, parent). event! (54)
// registers later, from the boot.
void register_all(const row_provider* providers, size_t count);
// The boot's registration of event! (54), the one type that comes after the
// start-up: from its provider when the GUI backend installed one, else as a
// bare row, so that the word event! names a datatype even where no window
// system is built. Returns the id registered, 0 when it was registered
// already. The caller makes its word (the symbol table exists by then).
uint32_t register_boot_types(row_fn event_row);
// The fixed registration order of ids 1-53.
const uint8_t* registration_order(int* count);
bool registered_q(uint32_t type);

inline const slot& slot_at(uint32_t type, int action) {
    return action_table[type * act::row_stride + static_cast<uint32_t>(action) - 1];
}
inline action_fn handler(uint32_t type, int action) { return slot_at(type, action).stack; }
inline form_fn form_handler(uint32_t type) { return slot_at(type, act::form).form; }
inline mold_fn mold_handler(uint32_t type) { return slot_at(type, act::mold).mold; }
inline compare_fn compare_handler(uint32_t type) { return slot_at(type, act::compare).compare; }
inline path_fn path_handler(uint32_t type) { return slot_at(type, act::path_step).path; }
inline bool supported(uint32_t type, int action) { return slot_at(type, action).any != nullptr; }

// The name of a type ("block!"), or "" for an id never registered.
const char* type_name(uint32_t type);

}  // namespace registry
}  // namespace kel
