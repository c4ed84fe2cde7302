// ownership: see ownership.h. Records are appended to the record block (a
// block! held by this module, moved like any buffer) and found by a linear
// scan; a dropped record keeps its place, header 0, and is reused first.
#include "kernel/ownership.h"

#include <algorithm>

#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::ownership {

dispatch_fn dispatch = nullptr;
void (*each_field)(const kel_value* object, field_visitor visit, void* context) = nullptr;

namespace {

// The owner table: a record table of kind 4 whose records are 4 cells (the
// key cell, then value, owner, word).
uint32_t table = 0;
// On a record's cell 0 during the collector's sweep: the record survives.
constexpr uint32_t kept_bit = 0x100000u;

// --- storage ------------------------------------------------------------------------

// The key's record from its cell 1 (valid until the next allocation), or null.
kel_value* find_record(uint32_t key) {
    if (!table || !key) return nullptr;
    kel_value* first = hashtable::get_key(table, key);
    return first ? first - 1 : nullptr;
}

// The key's record (made when absent); answers its cell 1.
kel_value* put_key(uint32_t key) {
    init();
    return hashtable::put_key(table, key);
}

void clear_cells(kel_value* r) {
    for (uint32_t c = 1; c < record_cells; ++c) set_unset(&r[c]);
}

// Answers whether the key had a record.
bool delete_key(uint32_t key) {
    kel_value* r = find_record(key);
    if (!r) return false;
    clear_cells(r);
    hashtable::delete_key(table, key);
    return true;
}

// Every record of the record block in turn (live or not).
template <class F>
void each_record(F&& f) {
    const hashtable::table_header* t = hashtable::header_of(table);
    memory::buffer_header* h = memory::buffer_of(t->blk);
    const uint32_t size = t->indexes;  // record bytes
    const uint32_t n = size ? h->used() / size : 0;
    auto* base = reinterpret_cast<kel_value*>(h->head_ptr());
    for (uint32_t i = 0; i < n; ++i) f(base + static_cast<size_t>(i) * (size / 16));
}

// Every live record (through the used buckets).
template <class F>
void each_live_record(F&& f) {
    const hashtable::table_header* t = hashtable::header_of(table);
    const uint32_t buckets = t->n_buckets;
    auto* base = reinterpret_cast<char*>(memory::buffer_of(t->blk)->head_ptr());
    for (uint32_t b = 0; b < buckets; ++b)
        if (hashtable::bucket_state(table, b) == hashtable::bucket_used)
            f(reinterpret_cast<kel_value*>(base + hashtable::bucket_key(table, b)));
}

// --- binding -----------------------------------------------------------------------

bool owned_series_type(uint32_t t) {
    return in_family(t, family::block_like) || in_family(t, family::string_like) || t == types::binary || t == types::vector ||
           t == types::image;
}

bool owned_q(const kel_value* v) {
    if (type_of(v) == types::image) return (v->header & owned_image_bit) != 0;
    return (memory::buffer_of(series_node(v))->flags & memory::flag_owned) != 0;
}

void set_owned(kel_value* v, bool on) {
    if (type_of(v) == types::image) {
        v->header = on ? (v->header | owned_image_bit) : (v->header & ~owned_image_bit);
        return;
    }
    memory::buffer_header* h = memory::buffer_of(series_node(v));
    h->flags = on ? (h->flags | memory::flag_owned) : (h->flags & ~memory::flag_owned);
}

void add_entry(const kel_value& value, const kel_value& owner, const kel_value& word) {
    kel_value* r = put_key(series_node(&value));  // cell 1
    r[0] = value;
    r[1] = owner;
    r[2] = word;
}

// The cells from the head to the tail of a block value, as absolute indexes.
void cell_range(const kel_value* block, uint32_t* from, uint32_t* to) {
    const int64_t n = memory::buffer_of(series_node(block))->units();
    *from = static_cast<uint32_t>(std::clamp<int64_t>(series_head(block), 0, n));
    *to = static_cast<uint32_t>(n);
}

kel_value* cell_of(uint32_t node, uint32_t index) {
    memory::buffer_header* h = memory::buffer_of(node);
    return reinterpret_cast<kel_value*>(h->data() + h->head) + index;
}

void bind_value(kel_value* value, const kel_value& owner, const kel_value& word);

struct field_binding {
    const kel_value* owner;
    const kel_value* word;
    bool bind;
};

void visit_field(kel_value* value, const kel_value* field_word, void* context) {
    auto* b = static_cast<field_binding*>(context);
    if (b->bind) {
        // The owner itself, held in one of its own fields, is not entered.
        if (type_of(value) == types::object && value->w1 == b->owner->w1) return;
        bind_value(value, *b->owner, *field_word);
    } else {
        unbind(value);
    }
}

void bind_value(kel_value* value, const kel_value& owner, const kel_value& word) {
    const uint32_t t = type_of(value);
    if (owned_series_type(t) || t == types::bitset) {
        const uint32_t node = series_node(value);
        if (!memory::node_live_q(node)) return;
        const bool fresh = !owned_q(value);
        if (fresh) set_owned(value, true);
        const kel_value v = *value;  // the entry's allocation may move the cell
        if (fresh) add_entry(v, owner, word);
        if (!in_family(t, family::block_like) || cycles::find_q(node)) return;
        uint32_t from, to;
        cell_range(&v, &from, &to);
        cycles::push(node);
        for (uint32_t i = from; i < to && i < memory::buffer_of(node)->units(); ++i)
            bind_value(cell_of(node, i), owner, word);
        cycles::pop();
    } else if (t == types::object) {
        const uint32_t context = value->w1;
        if (!each_field || !memory::node_live_q(context) || cycles::find_q(context)) return;
        const kel_value* ctx = cell_of(context, 0);
        if (ctx->header & owner_context_bit) return;
        field_binding b{&owner, &word, true};
        const kel_value object = *value;
        cycles::push(context);
        each_field(&object, visit_field, &b);
        cycles::pop();
    }
}

}  // namespace

void init() {
    if (!table) table = hashtable::make(1000, nullptr, hashtable::kinds::owners, record_cells - 1);
}

void bind(kel_value* value, const kel_value* owner, const kel_value* word) {
    const kel_value o = *owner, w = *word;  // allocation may move the cells given
    bind_value(value, o, w);
}

void bind_object(kel_value* value, const kel_value* owner, const kel_value* word) {
    const kel_value o = *owner;
    bind(value, owner, word);
    const uint32_t context = o.w1;
    if (type_of(&o) != types::object || !memory::node_live_q(context)) return;
    memory::buffer_header* h = memory::buffer_of(context);
    if ((h->flags & memory::unit_mask) == 16 && h->used() >= 16) cell_of(context, 0)->header |= owner_context_bit;
}

void unbind(kel_value* value) {
    const uint32_t t = type_of(value);
    if (owned_series_type(t) || t == types::bitset) {
        const uint32_t node = series_node(value);
        if (!memory::node_live_q(node)) return;
        set_owned(value, false);
        if (!delete_key(node)) return;  // a series without an entry is not entered
        if (!in_family(t, family::block_like)) return;
        uint32_t from, to;
        cell_range(value, &from, &to);
        for (uint32_t k = from; k < to; ++k) unbind(cell_of(node, k));
    } else if (t == types::object) {
        const uint32_t context = value->w1;
        if (!each_field || !memory::node_live_q(context) || cycles::find_q(context)) return;
        if (cell_of(context, 0)->header & owner_context_bit) return;
        field_binding b{nullptr, nullptr, false};
        cycles::push(context);
        each_field(value, visit_field, &b);
        cycles::pop();
    }
}

void unbind_range(const kel_value* block, int32_t start, int32_t count) {
    const uint32_t node = series_node(block);
    if (!memory::node_live_q(node) || count <= 0) return;
    const int64_t n = memory::buffer_of(node)->units();
    const int64_t from = std::clamp<int64_t>(start, 0, n);
    const int64_t to = std::min<int64_t>(from + count, n);
    for (int64_t k = from; k < to; ++k) unbind(cell_of(node, static_cast<uint32_t>(k)));
}

kel_value* owner_of(uint32_t node) {
    kel_value* r = find_record(node);
    return r ? r + 2 : nullptr;
}

bool owned_by(const kel_value* value, uint32_t context) {
    const uint32_t t = type_of(value);
    if (!owned_series_type(t) && t != types::bitset) return false;
    const uint32_t node = series_node(value);
    if (!memory::node_live_q(node) || !owned_q(value)) return false;
    const kel_value* owner = owner_of(node);
    return owner && type_of(owner) == types::object && owner->w1 == context;
}

bool notify(const kel_value* series, const char* action, const kel_value* value, int32_t index, int32_t part) {
    const uint32_t t = type_of(series);
    uint32_t key;
    if (owned_series_type(t) || t == types::bitset) {
        key = series_node(series);
        if (!memory::node_live_q(key) || !owned_q(series)) return false;
    } else if (t == types::object) {
        key = series->w1;
    } else {
        return false;
    }
    const kel_value* r = find_record(key);
    if (!r) return false;
    const kel_value owner = r[2], word = r[3];
    if (owner.w3 == 0 || !dispatch) return false;
    dispatch(&owner, &word, series, action, value, index, part);
    return true;
}

uint32_t entry_count() { return table ? hashtable::header_of(table)->count : 0; }

void mark_root() {
    if (table) collector::mark_table(table);  // the record block's buffer, not its cells
}

void sweep() {
    if (!table || hashtable::header_of(table)->count == 0) return;
    // Survivors first, to a fixpoint: a survivor's cells may reach the key of
    // a record already passed over.
    for (bool changed = true; changed;) {
        changed = false;
        each_live_record([&](kel_value* r) {
            if (r->header & kept_bit) return;
            if (!collector::marked_q(r->w1) || !collector::marked_q(r[2].w1)) return;
            r->header |= kept_bit;
            collector::mark_cells(r + 1, r + record_cells);
            collector::trace();
            changed = true;
        });
    }
    each_live_record([](kel_value* r) {
        if (r->header & kept_bit) {
            r->header &= ~kept_bit;
        } else if (collector::marked_q(r->w1)) {
            // The series outlived its owner: it is no longer owned.
            memory::buffer_of(r->w1)->flags &= ~memory::flag_owned;
        }
    });
    hashtable::drop_unmarked(table, collector::marked_q);
    // A dropped record keeps no references for the verifier to trip over.
    each_record([](kel_value* r) {
        if (type_of(r) == 0 && type_of(&r[1]) != types::unset) clear_cells(r);
    });
    hashtable::mark_records(table, collector::detail::table_walker());
    collector::trace();
}

}  // namespace kel::ownership

namespace kel::ownership {
// Declared in native_api.h: every in-place modifier calls it around its change.
void check(const kel_value* series, const char* action, const kel_value* value, int32_t index, int32_t count) {
    notify(series, action, value, index, count);
}
}  // namespace kel::ownership
