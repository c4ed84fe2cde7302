// hash: see hash.h. The upkeep reads no cell it has not been told changed:
// entries leave the table by their positions before their cells go, and the
// cells behind a change only have their stored positions moved.
#include "datatypes/hash.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"

namespace kel::hash {

namespace {

inline int64_t cells_of(const kel_value* s) { return memory::buffer_of(series_node(s))->units(); }

// A table of kind 0 for `size` values over the whole block of `s`.
void index_with(kel_value* s, int64_t size) {
    kel_value whole = *s;
    set_series_head(&whole, 0);
    s->w3 = 0;
    const uint32_t table = hashtable::make(static_cast<int32_t>(std::clamp<int64_t>(size, 1, 0x7FFFFFFF)), &whole,
                                           hashtable::kinds::hash, 0);
    s->w3 = table;
}

void copy_hash(const kel_value* source, kel_value* result, const kel_value* part, bool deep, const kel_value* types_arg) {
    const kel_value src = *source;
    block::copy(&src, result, part, deep, types_arg);
    set_type(result, types::hash);
    result->w3 = 0;
    // The source's table fits the copy only when the copy is the whole block.
    if (series_head(&src) == 0 && !part && !deep && !types_arg && src.w3 != 0) {
        const uint32_t table = hashtable::copy(src.w3, series_node(result));
        result->w3 = table;
        return;
    }
    index_new(result);
}

void to(kel_value* result, const kel_value* spec) {
    const kel_value s = *spec;
    if (type_of(&s) == types::hash) {
        copy_hash(&s, result, nullptr, false, nullptr);
        return;
    }
    block::to(result, &s, types::block);
    set_type(result, types::hash);
    index_new(result);
}

void make(kel_value* result, const kel_value* spec) {
    const kel_value s = *spec;
    const uint32_t t = type_of(&s);
    if (t == types::integer || t == types::float_) {
        int32_t n = cell::get_int_checked(&s);  // a float that does not fit raises out-of-range
        if (n <= 0) n = 1;
        if (static_cast<int64_t>(n) * 16 > 0xFFFFFF00ll) fire(error_category::internal, "no-memory");
        block::init_cell(result, n);
        set_type(result, types::hash);
        index_with(result, n);
        return;
    }
    if (t == types::hash) {
        copy_hash(&s, result, nullptr, false, nullptr);
        return;
    }
    if (t == types::block) {
        kel_value* copy = block::duplicate(&s, false, false);
        set_type(copy, types::hash);
        index_new(copy);
        *result = *copy;
        stack::drop_cells(1);
        return;
    }
    to(result, &s);
}

kel_value* arg(int n) { return stack::argument(n); }
const kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

signal_code a_make(const refinements&) {
    const kel_value spec = *arg(2);
    make(stack::arguments(), &spec);
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    const kel_value spec = *arg(2);
    to(stack::arguments(), &spec);
    return signal_code::none;
}

int32_t f_mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* a,
               int32_t part, int32_t indent) {
    // A hash already being molded is written as a block's cycle form alone,
    // without the prefix.
    if (cycles::detect_q(value, buffer, &part, true)) return part;
    if (!only) {
        text_out::append(buffer, "make hash! ", 11);
        part -= 11;
    }
    return block::mold(value, buffer, only, all, flat, a, part, indent);
}

signal_code a_copy(const refinements& r) {
    const kel_value src = *arg(1);
    copy_hash(&src, stack::arguments(), ref_arg(r, 0), r.has(1), ref_arg(r, 2));
    return signal_code::none;
}

// sort and trim: block!'s action on the cells, then every value indexed again
// at its new place.
template <act::id Action>
signal_code reindexed(const refinements& r) {
    const signal_code c = registry::handler(types::block, Action)(r);
    if (c == signal_code::none) reindex(stack::arguments());
    return c;
}

}  // namespace

void before_replace(const kel_value* s, int64_t at, int64_t removed) {
    const uint32_t t = table_of(s);
    if (!t || removed <= 0) return;
    hashtable::remove_entries(t, static_cast<int32_t>(at), static_cast<int32_t>(std::min<int64_t>(removed, 0x7FFFFFFF)));
}

void after_replace(const kel_value* s, int64_t at, int64_t removed, int64_t inserted, int64_t before) {
    const uint32_t t = table_of(s);
    if (!t) return;
    const int64_t delta = inserted - removed;
    const int64_t behind = at + removed;
    if (delta != 0 && behind < before) {
        if (hashtable::shift_indexes(t, static_cast<int32_t>(delta), static_cast<int32_t>(behind),
                                     static_cast<int32_t>(before - behind))) {
            reindex(s);
            return;
        }
    }
    if (inserted > hashtable::shift_limit) {
        reindex(s);
        return;
    }
    for (int64_t p = at; p < at + inserted; ++p)
        if (hashtable::put_reporting(t, static_cast<int32_t>(p)) == 2) return;  // rebuilt: everything indexed
}

void rewritten(const kel_value* s, int64_t at, int64_t count) {
    const uint32_t t = table_of(s);
    if (!t || count <= 0) return;
    if (count > hashtable::shift_limit) {
        reindex(s);
        return;
    }
    // Every old entry goes first: a value put back is compared with the
    // first value of a bucket, which must not be one that changed.
    hashtable::remove_entries(t, static_cast<int32_t>(at), static_cast<int32_t>(count));
    for (int64_t p = at; p < at + count; ++p)
        if (hashtable::put_reporting(t, static_cast<int32_t>(p)) == 2) return;
}

void swapped(const kel_value* s1, int64_t p1, const kel_value* s2, int64_t p2) {
    const uint32_t t1 = table_of(s1), t2 = table_of(s2);
    const bool one = t1 == t2 && p1 == p2;
    if (t1) hashtable::delete_(t1, static_cast<int32_t>(p1));
    if (t2 && !one) hashtable::delete_(t2, static_cast<int32_t>(p2));
    if (t1 && hashtable::put_reporting(t1, static_cast<int32_t>(p1)) == 2 && t1 == t2) return;
    if (t2 && !one) hashtable::put(t2, static_cast<int32_t>(p2));
}

void moved(const kel_value* s, int64_t destination, int64_t source, int64_t count) {
    const uint32_t t = table_of(s);
    if (!t) return;
    hashtable::move_range(t, static_cast<int32_t>(destination), static_cast<int32_t>(source),
                          static_cast<int32_t>(count));
}

void reindex(const kel_value* s) {
    const uint32_t t = table_of(s);
    if (!t) return;
    hashtable::rehash(t, static_cast<int32_t>(std::clamp<int64_t>(cells_of(s), 1, 0x7FFFFFFF)));
}

void index_new(kel_value* s) { index_with(s, cells_of(s)); }

registry::registration row() {
    registry::registration r;
    r.id = types::hash;
    r.parent = types::block;
    r.name = "hash!";
    r.hash = hashtable::hash_by::words_1_2;
    r.marker = collector::cell_markers::hash_or_map;
    r.families = family::block_like | family::list | family::series;
    r.inherit_all();
    using registry::entry;
    for (act::id a : {act::random, act::absolute, act::add, act::divide, act::multiply, act::negate, act::power,
                      act::remainder, act::round, act::subtract, act::even_q, act::odd_q, act::and_,
                      act::complement, act::or_, act::xor_, act::create, act::close, act::delete_, act::open,
                      act::open_q, act::query, act::read, act::rename, act::update, act::write})
        r[a] = entry{};
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::mold] = static_cast<mold_fn>(f_mold);
    r[act::copy] = static_cast<action_fn>(a_copy);
    r[act::sort] = static_cast<action_fn>(reindexed<act::sort>);
    r[act::trim] = static_cast<action_fn>(reindexed<act::trim>);
    return r;
}

}  // namespace kel::hash
