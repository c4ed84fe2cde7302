// ownership: see ownership.h. Records are appended to the record block (a
// block! held by this module, moved like any buffer) and found by a linear
// scan; a dropped record keeps its place, header 0, and is reused first.
#include "kernel/ownership.h"

#include <algorithm>

#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::ownership {

dispatch_fn dispatch = nullptr;
void (*each_field)(const kel_value* object, field_visitor visit, void* context) = nullptr;

namespace {

kel_value records{};  // block! of records
bool ready = false;
constexpr uint32_t record_bytes = record_cells * 16;
constexpr uint32_t live_header = types::unset;
// On a record's cell 0 during the collector's sweep: the record survives.
constexpr uint32_t kept_bit = 0x100000u;

uint32_t records_node() { return series_node(&records); }
kel_value* record_at(uint32_t i) {
    memory::buffer_header* h = memory::buffer_of(records_node());
    return reinterpret_cast<kel_value*>(h->data() + h->head) + static_cast<size_t>(i) * record_cells;
}
uint32_t record_count() { return memory::buffer_of(records_node())->used() / record_bytes; }

// --- storage: the seam for the pointer-keyed hash table ----------------------------

int32_t find_record(uint32_t key) {
    if (!ready || !key) return -1;
    const uint32_t n = record_count();
    for (uint32_t i = 0; i < n; ++i) {
        const kel_value* r = record_at(i);
        if ((r->header & ~kept_bit) == live_header && r->w1 == key) return static_cast<int32_t>(i);
    }
    return -1;
}

// The key's record (made when absent); every cell's header becomes unset!
// with its payload kept. Answers the record's cell 1 (valid until the next
// allocation).
kel_value* put_key(uint32_t key) {
    init();
    int32_t i = find_record(key);
    if (i < 0) {
        const uint32_t n = record_count();
        for (uint32_t k = 0; k < n && i < 0; ++k)
            if (record_at(k)->header == 0) i = static_cast<int32_t>(k);
        if (i < 0) {
            memory::claim_tail_bytes(records_node(), record_bytes);
            i = static_cast<int32_t>(n);
        }
    }
    kel_value* r = record_at(static_cast<uint32_t>(i));
    r->w1 = key;
    for (uint32_t c = 0; c < record_cells; ++c) r[c].header = live_header;
    return r + 1;
}

void clear_record(kel_value* r) {
    init_cell(r, 0);
    for (uint32_t c = 1; c < record_cells; ++c) set_unset(&r[c]);
}

// Answers whether the key had a record.
bool delete_key(uint32_t key) {
    int32_t i = find_record(key);
    if (i < 0) return false;
    clear_record(record_at(static_cast<uint32_t>(i)));
    return true;
}

// --- binding -----------------------------------------------------------------------

bool owned_series_type(uint32_t t) {
    return any_block_type(t) || any_string_type(t) || t == types::binary || t == types::vector ||
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
    kel_value* r = put_key(series_node(&value));
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
        if (!any_block_type(t) || cycles::find_q(node)) return;
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
    if (ready) return;
    set_series(&records, types::block, 0, memory::new_cells(64 * record_cells));
    ready = true;
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
        if (!any_block_type(t)) return;
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
    const int32_t i = find_record(node);
    return i < 0 ? nullptr : record_at(static_cast<uint32_t>(i)) + 2;
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
    const int32_t i = find_record(key);
    if (i < 0) return false;
    const kel_value* r = record_at(static_cast<uint32_t>(i));
    const kel_value owner = r[2], word = r[3];
    if (owner.w3 == 0 || !dispatch) return false;
    dispatch(&owner, &word, series, action, value, index, part);
    return true;
}

uint32_t entry_count() {
    if (!ready) return 0;
    uint32_t n = 0;
    for (uint32_t i = 0, c = record_count(); i < c; ++i) n += (record_at(i)->header & ~kept_bit) == live_header;
    return n;
}

void mark_root() {
    if (ready) collector::mark_node(records_node());
}

void sweep() {
    if (!ready) return;
    const uint32_t n = record_count();
    for (bool changed = true; changed;) {
        changed = false;
        for (uint32_t i = 0; i < n; ++i) {
            kel_value* r = record_at(i);
            if (r->header != live_header) continue;  // dropped, or kept already
            if (!collector::marked_q(r->w1) || !collector::marked_q(r[2].w1)) continue;
            r->header |= kept_bit;
            collector::mark_cells(r + 1, r + record_cells);
            collector::trace();
            changed = true;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        kel_value* r = record_at(i);
        if (r->header == (live_header | kept_bit)) {
            r->header = live_header;
        } else if (r->header == live_header) {
            // The series outlived its owner: it is no longer owned.
            if (collector::marked_q(r->w1)) {
                memory::buffer_header* h = memory::buffer_of(r->w1);
                h->flags &= ~memory::flag_owned;
            }
            clear_record(r);
        }
    }
}

}  // namespace kel::ownership

namespace kel::ownership {
// Declared in native_api.h: every in-place modifier calls it around its change.
void check(const kel_value* series, const char* action, const kel_value* value, int32_t index, int32_t count) {
    notify(series, action, value, index, count);
}
}  // namespace kel::ownership
