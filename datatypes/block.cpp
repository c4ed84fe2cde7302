// block: the block internal API. Every routine that may allocate (growth, a
// nested copy, molding into a buffer) re-reads cell addresses from the node
// afterwards, by index: a buffer may move when it or another one grows.
#include "datatypes/block.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/series.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::block {

namespace {

const kel_value none_cell{types::none, 0, 0, 0};

inline memory::buffer_header* buf(const kel_value* b) { return memory::buffer_of(series_node(b)); }
inline kel_value* cells(memory::buffer_header* h) { return reinterpret_cast<kel_value*>(h->data() + h->head); }
inline int32_t units(const kel_value* b) { return static_cast<int32_t>(buf(b)->units()); }

// Equality of the find mode through the key's compare handler.
bool find_equal(const kel_value* key, const kel_value* cell) {
    if (type_of(key) != type_of(cell)) return false;
    compare_fn fn = registry::compare_handler(type_of(key));
    if (!fn) return std::memcmp(key, cell, 16) == 0;
    return fn(key, cell, cmp::find) == 0;
}

}  // namespace

// --- reading -------------------------------------------------------------------

int32_t ks_length_q(const kel_value* block) { return units(block) - series_head(block); }

kel_value* ks_head(kel_value* block) {
    memory::buffer_header* h = buf(block);
    const int32_t n = static_cast<int32_t>(h->units());
    if (series_head(block) > n) set_series_head(block, n);
    return cells(h) + series_head(block);
}

kel_value* ks_tail(const kel_value* block) {
    memory::buffer_header* h = buf(block);
    return reinterpret_cast<kel_value*>(h->data() + h->tail);
}

bool ks_tail_q(const kel_value* block) {
    memory::buffer_header* h = buf(block);
    return static_cast<int64_t>(h->head) + 16 * static_cast<int64_t>(series_head(block)) == h->tail;
}

kel_value* ks_abs_at(const kel_value* block, int32_t index) { return cells(buf(block)) + index; }

bool ks_step(kel_value* block) {
    const int32_t n = units(block);
    if (series_head(block) + 1 <= n) set_series_head(block, series_head(block) + 1);
    return series_head(block) == n;
}

const kel_value* ks_value_after(const kel_value* key, kel_value* block) {
    const int32_t n = units(block);
    const int32_t start = std::max(series_head(block), 0);
    for (int32_t i = start; i < n; ++i) {
        const kel_value* c = ks_abs_at(block, i);
        if (find_equal(key, c)) return i + 1 < n ? ks_abs_at(block, i + 1) : &none_cell;
    }
    return &none_cell;
}

// --- changing ------------------------------------------------------------------

void ks_cut_at(const kel_value* block, int32_t index) {
    memory::buffer_header* h = buf(block);
    h->tail = h->head + 16u * static_cast<uint32_t>(index);
    memory::touch(h);
}

void ks_cut(const kel_value* block) { ks_cut_at(block, series_head(block)); }

kel_value* ks_add_grow(const kel_value* block, const kel_value* value) {
    const kel_value v = *value;  // the claim may move the buffer the value lies in
    kel_value* c = memory::claim_tail_cell(block);
    *c = v;
    modified(block);
    return c;
}

const kel_value* ks_add_all(const kel_value* target, const kel_value* source) {
    const kel_value src = *source;
    const int32_t from = std::max(series_head(&src), 0);
    const int32_t to = units(&src);  // fixed at the start: the source may be the target
    for (int32_t i = from; i < to; ++i) {
        const kel_value v = *ks_abs_at(&src, i);
        ks_add(target, &v);
    }
    return target;
}

void ks_insert_cell(kel_value* block, const kel_value* value, bool advance, bool from_start) {
    const kel_value v = *value;
    const uint32_t node = series_node(block);
    memory::buffer_header* h = memory::buffer_of(node);
    const int32_t n = static_cast<int32_t>(h->units());
    const int32_t pos = from_start ? 0 : std::clamp(series_head(block), 0, n);
    if (pos == 0 && h->head >= 16) {
        // Room in front (head placed in the middle): no cell moves.
        h->head -= 16;
        cells(h)[0] = v;
    } else {
        if (h->capacity < h->used() + 16u || h->tail + 16u > h->capacity) {
            // Doubled in 64 bits and capped at what a buffer holds: past 2 GB
            // the 32-bit double wrapped to a small buffer and the move below
            // ran past it.
            uint64_t want = std::max<uint64_t>(2ull * (h->used() + 16u), 16u * 16u);
            if (want > 0xFFFFFF00ull) {
                want = 0xFFFFFF00ull;
                if (h->used() + 16ull > want) fire(error_category::internal, "no-memory");
            }
            h = memory::expand_buffer(h, static_cast<uint32_t>(want));
        }
        kel_value* c = cells(h);
        std::memmove(c + pos + 1, c + pos, static_cast<size_t>(n - pos) * 16);
        c[pos] = v;
        h->tail += 16;
    }
    memory::touch(h);
    if (advance) set_series_head(block, pos + 1);
}

void ks_insert_cells(kel_value* block, const kel_value* values, int32_t count) {
    if (count <= 0) return;
    memory::buffer_header* h = memory::buffer_of(series_node(block));
    const int32_t n = static_cast<int32_t>(h->units());
    const int32_t pos = std::clamp(series_head(block), 0, n);
    const uint64_t bytes = 16ull * static_cast<uint64_t>(count);
    const uint64_t need = h->used() + bytes;
    if (h->capacity < need || h->tail + bytes > h->capacity) {
        // Capped at what a buffer holds, as for a single cell.
        uint64_t want = std::max<uint64_t>(2ull * need, 16u * 16u);
        if (want > 0xFFFFFF00ull) {
            want = 0xFFFFFF00ull;
            if (need > want) fire(error_category::internal, "no-memory");
        }
        h = memory::expand_buffer(h, static_cast<uint32_t>(want));
    }
    kel_value* c = cells(h);
    std::memmove(c + pos + count, c + pos, static_cast<size_t>(n - pos) * 16);
    std::memcpy(static_cast<void*>(c + pos), values, static_cast<size_t>(bytes));
    h->tail += static_cast<uint32_t>(bytes);
    memory::touch(h);
    set_series_head(block, pos + count);
}

void ks_insert_all(kel_value* target, const kel_value* source) {
    const kel_value src = *source;
    const int32_t from = std::max(series_head(&src), 0);
    const int32_t to = units(&src);
    if (series_node(&src) == series_node(target)) {
        // Inserting into the source itself: take the cells as they are first.
        std::vector<kel_value> snapshot(ks_abs_at(&src, from), ks_abs_at(&src, from) + std::max(to - from, 0));
        for (const kel_value& v : snapshot) ks_insert_cell(target, &v, true, false);
        return;
    }
    for (int32_t i = from; i < to; ++i) {
        const kel_value v = *ks_abs_at(&src, i);
        ks_insert_cell(target, &v, true, false);
    }
}

int ks_remove_first(const kel_value* block, const kel_value* value, bool from_start) {
    const kel_value key = *value;
    memory::buffer_header* h = buf(block);
    const int32_t n = static_cast<int32_t>(h->units());
    const int32_t head = series_head(block);
    for (int32_t i = from_start ? 0 : std::max(head, 0); i < n; ++i) {
        kel_value* c = cells(h);
        if (!find_equal(&key, &c[i])) continue;
        std::memmove(c + i, c + i + 1, static_cast<size_t>(n - i - 1) * 16);
        h->tail -= 16;
        memory::touch(h);
        return i <= head ? 1 : 0;
    }
    return 0;
}

kel_value* append_second() {
    ks_add(stack::argument(1), stack::argument(2));
    return stack::argument(1);
}

kel_value* append_last() {
    kel_value* base = stack::arguments();
    ks_add(base - 1, base);
    return base - 1;
}

kel_value* insert_last() {
    kel_value* base = stack::arguments();
    ks_insert_cell(base - 1, base, true, false);
    return base - 1;
}

// --- making --------------------------------------------------------------------

kel_value* init_cell(kel_value* cell, int32_t count) {
    set_unset(cell);
    const uint32_t node = memory::new_cells(count < 0 ? 1u : static_cast<uint32_t>(count));
    set_series(cell, types::block, 0, node);
    return cell;
}

kel_value* allocate_at(kel_value* cell, int32_t count, bool raw) {
    set_unset(cell);
    const uint32_t n = count < 0 ? 1u : static_cast<uint32_t>(count);
    const uint32_t node = raw ? memory::new_heap_series(n, 16, 0) : memory::new_unset_cells(n);
    set_series(cell, types::block, 0, node);
    return cell;
}

namespace {
kel_value* make_in(const kel_value* parent, int32_t count, bool raw) {
    const kel_value* p = parent ? parent : root();
    memory::claim_tail_cell(p);
    const int32_t index = units(p) - 1;
    kel_value fresh;
    allocate_at(&fresh, count, raw);
    if (!raw) buf(&fresh)->tail = 0;  // preset cells, none used yet
    // Found again by index: the allocation may have moved the parent's buffer.
    kel_value* c = ks_abs_at(p, index);
    *c = fresh;
    return c;
}
}  // namespace

kel_value* make_at_tail(const kel_value* parent, int32_t count) { return make_in(parent, count, false); }
kel_value* make_fixed_in(const kel_value* parent, int32_t count) { return make_in(parent, count, true); }

kel_value* push(const kel_value* value) { return stack::push_copy(value); }

kel_value* push_only_star(int32_t count) {
    kel_value* c = stack::push_unset();
    return init_cell(c, count <= 0 ? 1 : count);
}

namespace {
bool duplicated_type(uint32_t t, bool any) {
    return t == types::block || (any && (t == types::paren || (t >= types::path && t <= types::get_path)));
}

// Copies the cells from the head into the (pushed) result cell.
void duplicate_into(kel_value* result, const kel_value* block, bool deep, bool any) {
    const kel_value src = *block;
    const int32_t from = std::clamp(series_head(&src), 0, units(&src));
    const int32_t count = units(&src) - from;
    const uint32_t node = memory::new_cells(count > 0 ? static_cast<uint32_t>(count) : 1u);
    memory::buffer_header* h = memory::buffer_of(node);
    std::memcpy(h->data(), ks_abs_at(&src, from), static_cast<size_t>(count) * 16);
    h->tail = static_cast<uint32_t>(count) * 16;
    set_series(result, types::block, 0, node);
    if (!deep || count == 0) return;
    cycles::push(series_node(&src));
    for (int32_t i = 0; i < count; ++i) {
        const kel_value c = *ks_abs_at(result, i);
        if (!duplicated_type(type_of(&c), any) || cycles::find_q(series_node(&c))) continue;
        kel_value* inner = stack::push_unset();
        duplicate_into(inner, &c, true, any);
        kel_value copy = *inner;
        copy.header = c.header;  // type and new-line marker survive
        copy.w1 = 0;
        *ks_abs_at(result, i) = copy;
        stack::drop_cells(1);
    }
    cycles::pop();
}
}  // namespace

kel_value* duplicate(const kel_value* block, bool deep, bool any) {
    const kel_value src = *block;
    kel_value* result = stack::push_unset();
    duplicate_into(result, &src, deep, any);
    result->header = type_of(&src);
    return result;
}

// --- workers ---------------------------------------------------------------------

int32_t mold_cells(const kel_value* block, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
                   int32_t part, int32_t indent) {
    const kel_value blk = *block;
    const int32_t n = units(&blk);
    const int32_t from = std::max(series_head(&blk), 0);
    bool opened_line = false;
    cycles::push(series_node(&blk));
    struct pop_guard {
        ~pop_guard() { cycles::pop(); }
    } guard;
    for (int32_t i = from; i < n && i < units(&blk); ++i) {
        if (arg && part <= 0) return part;
        const kel_value c = *ks_abs_at(&blk, i);
        const bool first = i == from;
        if (!flat && new_line_q(&c)) {
            if (first && !only) {
                opened_line = true;
                ++indent;
            }
            if (!(only && first)) {
                text_out::append(buffer, "\n", 1);
                part = mold::indent(buffer, indent, part - 1);
            }
        } else if (!first) {
            text_out::append(buffer, " ", 1);
            --part;
        }
        mold_fn fn = registry::mold_handler(type_of(&c));
        if (fn) part = fn(&c, buffer, false, all, flat, arg, part, indent);
    }
    if (opened_line) {
        --indent;
        text_out::append(buffer, "\n", 1);
        part = mold::indent(buffer, indent, part - 1);
    }
    return part;
}

namespace {
bool number_type(uint32_t t) { return t == types::integer || t == types::float_ || t == types::percent; }

int32_t sort_compare(const kel_value* a, const kel_value* b, int32_t op) {
    const uint32_t t = type_of(a);
    if (t == types::logic && type_of(b) == types::logic) {
        int32_t d = static_cast<int32_t>(a->w1 != 0) - static_cast<int32_t>(b->w1 != 0);
        return d < 0 ? -1 : (d > 0 ? 1 : 0);
    }
    if ((t == types::native || t == types::action || t == types::op) && type_of(b) == t)
        return a->w1 < b->w1 ? -1 : (a->w1 > b->w1 ? 1 : 0);
    compare_fn fn = registry::compare_handler(t);
    if (!fn) return std::memcmp(a, b, 16) == 0 ? 0 : cmp::not_comparable;
    return fn(a, b, op);
}
}  // namespace

int32_t compare_cells(const kel_value* a, const kel_value* b, int32_t op) {
    const kel_value va = *a, vb = *b;
    if (series_node(&va) == series_node(&vb) && series_head(&va) == series_head(&vb)) return 0;
    if (op == cmp::same) return -1;
    if (cycles::find_q(series_node(&va))) return cycles::find_q(series_node(&vb)) ? 0 : -1;
    const int32_t len1 = std::max(ks_length_q(&va), 0);
    const int32_t len2 = std::max(ks_length_q(&vb), 0);
    if (len1 != len2 && cmp::equality_op(op)) return 1;
    cycles::push(series_node(&va));
    cycles::push(series_node(&vb));
    struct pop_guard {
        ~pop_guard() { cycles::pop_n(2); }
    } guard;
    const int32_t h1 = std::max(series_head(&va), 0), h2 = std::max(series_head(&vb), 0);
    const int32_t m = std::min(len1, len2);
    for (int32_t i = 0; i < m; ++i) {
        const kel_value x = *ks_abs_at(&va, h1 + i);
        const kel_value y = *ks_abs_at(&vb, h2 + i);
        const uint32_t tx = type_of(&x), ty = type_of(&y);
        const bool comparable = tx == ty || (in_family(tx, family::word) && in_family(ty, family::word)) ||
                                (number_type(tx) && number_type(ty));
        if (!comparable) return tx < ty ? -1 : 1;
        const int32_t r = sort_compare(&x, &y, op);
        if (r != 0) return r;
    }
    return len1 < len2 ? -1 : (len1 > len2 ? 1 : 0);
}

}  // namespace kel::block
