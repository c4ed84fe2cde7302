// function: the function! cell, spec validation, local collection and the row.
#include "datatypes/function.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>
#include <unordered_set>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"

namespace kel::function {

namespace {

inline kel_value* cells_of(uint32_t node) { return reinterpret_cast<kel_value*>(memory::buffer_of(node)->head_ptr()); }
inline int32_t length_of(uint32_t node) { return static_cast<int32_t>(memory::buffer_of(node)->used() / 16); }

// The cells of a block value from its head (clamped): absolute first index
// and end, re-read through the node by every access.
struct span {
    uint32_t node;
    int32_t first;
    int32_t end;
    explicit span(const kel_value* block)
        : node(series_node(block)), first(std::max(series_head(block), 0)), end(length_of(series_node(block))) {
        if (first > end) first = end;
    }
    kel_value* at(int32_t i) const { return cells_of(node) + i; }
};

inline uint32_t canonical(const kel_value* word) { return symbol::resolve(word_symbol(word)); }
inline bool named(const kel_value* word, uint32_t symbol) { return canonical(word) == symbol::resolve(symbol); }
inline bool argument_word_type(uint32_t t) { return t == types::word || t == types::get_word || t == types::lit_word; }

[[noreturn]] void bad_spec(const kel_value* spec) { fire(error_category::script, "bad-func-def", spec); }

void cycle_pop() { cycles::pop(); }
struct cycle_guard {
    ~cycle_guard() { cycle_pop(); }
};

// The ignore list and the collected words of collect_locals. The names in
// the ignore list are also kept in a set, so a body with many set-words is
// collected in linear time.
struct collector {
    kel_value* ignore;  // pushed blocks
    kel_value* result;
    std::unordered_set<uint32_t> names;
    collector(kel_value* ignore_list, kel_value* collected) : ignore(ignore_list), result(collected) {
        const span s(ignore);
        // The spec's type blocks and doc strings stay in the list: only its words name anything.
        for (int32_t i = s.first; i < s.end; ++i)
            if (in_family(type_of(s.at(i)), family::word)) names.insert(canonical(s.at(i)));
    }
    void add(const kel_value* word) {
        kel_value w = *word;
        if (!names.insert(canonical(&w)).second) return;
        set_type(&w, types::word);
        clear_new_line(&w);
        block::ks_add(ignore, &w);
        block::ks_add(result, &w);
    }
    void walk(const kel_value* blk) {
        const kel_value b = *blk;
        const uint32_t node = series_node(&b);
        if (cycles::find_q(node)) return;
        cycles::push(node);
        cycle_guard guard;
        const span s(&b);
        for (int32_t i = s.first; i < length_of(node); ++i) {
            const kel_value c = *s.at(i);
            const uint32_t t = type_of(&c);
            if (t == types::set_word) {
                add(&c);
            } else if (t == types::word && i + 1 < length_of(node)) {
                const bool each = named(&c, words::foreach) || named(&c, words::remove_each);
                const bool repeat = named(&c, words::repeat);
                if (!each && !repeat) continue;
                const kel_value next = *s.at(i + 1);
                const uint32_t nt = type_of(&next);
                if (nt == types::word || nt == types::set_word) {
                    add(&next);
                } else if (each && nt == types::block) {
                    const span inner(&next);
                    for (int32_t k = inner.first; k < length_of(inner.node); ++k) {
                        const kel_value w = *inner.at(k);
                        if (argument_word_type(type_of(&w))) add(&w);
                    }
                }
            } else if ((t == types::block || t == types::paren) && series_node(&c) != 0) {
                walk(&c);
            }
        }
    }
};

// Flags a block and every block, paren and path inside it as library code.
void mark_library(const kel_value* blk) {
    const uint32_t node = series_node(blk);
    if (node == 0 || cycles::find_q(node)) return;
    memory::set_series_flags(node, memory::flag_library);
    cycles::push(node);
    cycle_guard guard;
    for (int32_t i = 0; i < length_of(node); ++i) {
        const kel_value c = *(cells_of(node) + i);
        if (in_family(type_of(&c), family::block_like)) mark_library(&c);
    }
}

void clear_library(const kel_value* blk) {
    const uint32_t node = series_node(blk);
    if (node == 0 || cycles::find_q(node)) return;
    memory::buffer_of(node)->flags &= ~memory::flag_library;
    cycles::push(node);
    cycle_guard guard;
    for (int32_t i = 0; i < length_of(node); ++i) {
        const kel_value c = *(cells_of(node) + i);
        if (in_family(type_of(&c), family::block_like)) clear_library(&c);
    }
}

kel_value spec_block(uint32_t node) {
    kel_value v;
    set_series(&v, types::block, 0, node);
    return v;
}

}  // namespace

kel_value spec_of(const kel_value* fn) { return spec_block(fn->w2); }

// --- making --------------------------------------------------------------------------

bool library_phase = false;

bool library_body_q(const kel_value* body, bool called_from_library) {
    if (library_phase) return true;
    const uint32_t node = series_node(body);
    return called_from_library && node && (memory::buffer_of(node)->flags & memory::flag_library) != 0;
}

void unmark_library(const kel_value* fn) {
    const kel_value* body = more_cell(fn, more::body);
    if (type_of(body) == types::block) clear_library(body);
}

uint32_t push(const kel_value* spec_in, const kel_value* body_in, uint32_t ctx, int32_t code, uint32_t object,
              uint32_t flags, bool library) {
    kel_value* out = stack::push_unset();
    kel_value* spec = stack::push_copy(spec_in);
    kel_value* body = body_in ? stack::push_copy(body_in) : nullptr;
    if (series_head(spec) > 0) {
        kel_value* copy = block::duplicate(spec, false, false);
        *spec = *copy;
        stack::drop_cells(1);
    }
    (void)block::ks_head(spec);  // clamps the head to the tail
    if (body) (void)block::ks_head(body);

    kel_value* more = block::push_only_star(more::cells);
    kel_value unset;
    set_unset(&unset);
    for (int32_t i = 0; i < more::cells; ++i) block::ks_add(more, &unset);

    const bool made_here = ctx == 0;
    if (made_here) ctx = _context::make_from_spec(spec, true, false, _context::kind_function);

    kel_value fn;
    fn.header = (flags & ~header_type_mask) | types::function;
    fn.w1 = ctx;
    fn.w2 = series_node(spec);
    fn.w3 = series_node(more);
    *out = fn;
    *_context::owner(ctx) = fn;

    if (body) {
        kel_value* copy = block::duplicate(body, true, true);
        // A library function's body stays library code (copies drop the flag).
        if (code || library) mark_library(copy);
        *more_cell(&fn, more::body) = *copy;
        if (made_here) _context::bind_block(copy, ctx, false);
    } else {
        set_none(more_cell(&fn, more::body));
    }
    if (code) set_integer(more_cell(&fn, more::code), code);
    if (object) set_integer(more_cell(&fn, more::object), static_cast<int32_t>(object));
    stack::regs.top = out + 1;
    return ctx;
}

// --- spec validation -------------------------------------------------------------------

int32_t attribute_flags(const kel_value* block) {
    const span s(block);
    int32_t flags = 0;
    for (int32_t i = s.first; i < s.end; ++i) {
        const kel_value* c = s.at(i);
        if (type_of(c) != types::word) return -1;
        if (named(c, words::trace)) flags |= static_cast<int32_t>(flag_trace);
        else if (named(c, words::no_trace)) flags |= static_cast<int32_t>(flag_no_trace);
    }
    return flags;
}

void check_type_block(const kel_value* block) {
    const span s(block);
    for (int32_t i = s.first; i < length_of(s.node); ++i) {
        const kel_value c = *s.at(i);
        const uint32_t t = type_of(&c);
        if (t == types::datatype || t == types::typeset) continue;
        if (t == types::word) {
            const kel_value* v = _context::bound_slot(&c);
            const uint32_t vt = v ? type_of(v) : static_cast<uint32_t>(types::unset);
            if (vt == types::datatype || vt == types::typeset || vt == types::word) continue;
            // a type name the script unset or reused still names its type,
            // as it does when the argument is checked
            kel_value named;
            if (typeset::datatype_named(&c) || typeset::typeset_named(&c, &named)) continue;
        }
        fire(error_category::script, "invalid-type-spec", &c);
    }
}

void check_duplicates(const kel_value* spec) {
    const span s(spec);
    // A set of the names met so far keeps a long spec's check linear.
    std::unordered_set<uint32_t> seen;
    for (int32_t i = s.first; i < s.end; ++i) {
        const kel_value c = *s.at(i);
        const uint32_t t = type_of(&c);
        if (!argument_word_type(t) && t != types::refinement) continue;
        if (!seen.insert(canonical(&c)).second) fire(error_category::script, "dup-vars", &c);
    }
}

uint32_t check_spec(const kel_value* spec_in) {
    const kel_value spec = *spec_in;
    if (type_of(&spec) != types::block) bad_spec(&spec);
    const span s(&spec);
    int32_t i = s.first;
    uint32_t flags = 0;
    if (i < s.end && type_of(s.at(i)) == types::block) {
        const kel_value attributes = *s.at(i);
        const int32_t f = attribute_flags(&attributes);
        if (f < 0) bad_spec(&spec);
        flags = static_cast<uint32_t>(f);
        ++i;
    }
    bool seen_return = false, in_local = false;
    const auto type_at = [&](int32_t k) { return k < length_of(s.node) ? type_of(s.at(k)) : static_cast<uint32_t>(types::none_id); };
    while (i < length_of(s.node)) {
        const kel_value c = *s.at(i);
        const uint32_t t = type_of(&c);
        if (argument_word_type(t)) {
            if (in_local && t != types::word) bad_spec(&spec);
            if (seen_return && !in_local) bad_spec(&spec);
            if (type_at(i + 1) == types::string && type_at(i + 2) == types::block) bad_spec(&spec);
            if (type_at(i + 1) == types::block) {
                const kel_value types_block = *s.at(i + 1);
                check_type_block(&types_block);
                i += 2;
            } else {
                ++i;
            }
        } else if (t == types::string) {
            ++i;
        } else if (t == types::set_word) {
            if (!named(&c, words::return_) || seen_return || in_local) bad_spec(&spec);
            if (type_at(i + 1) != types::block) bad_spec(&spec);
            const uint32_t after = type_at(i + 2);
            if (after != types::none_id && after != types::refinement && after != types::string) bad_spec(&spec);
            seen_return = true;
            i += 2;
        } else if (t == types::refinement) {
            if (named(&c, word_symbol(&words::ref_local))) in_local = true;
            else if (in_local || seen_return) bad_spec(&spec);
            const uint32_t next = type_at(i + 1);
            if (next != types::none_id && !argument_word_type(next) && next != types::refinement &&
                next != types::set_word && next != types::string)
                bad_spec(&spec);
            ++i;
        } else {
            bad_spec(&spec);
        }
    }
    check_duplicates(&spec);
    return flags;
}

// --- locals ------------------------------------------------------------------------------

int32_t count_locals(uint32_t spec_node, int32_t start, bool strict) {
    const uint32_t local = symbol::resolve(word_symbol(&words::ref_local));
    const int32_t n = length_of(spec_node);
    for (int32_t i = std::max(start, 0); i < n; ++i) {
        const kel_value* c = cells_of(spec_node) + i;
        if (type_of(c) != types::refinement || canonical(c) != local) continue;
        int32_t count = 1;
        for (int32_t k = i + 1; k < n; ++k)
            if (type_of(cells_of(spec_node) + k) == types::word) ++count;
        return count;
    }
    return strict ? -1 : 0;
}

void push_unused_refinement(int32_t count) {
    kel_value* f = stack::alloc_cell();
    set_logic(f, false);
    for (int32_t i = 1; i < count; ++i) set_none(stack::alloc_cell());
}

kel_value* collect_locals(kel_value* spec, const kel_value* body_in) {
    const kel_value body = *body_in;
    kel_value* result = block::push_only_star(8);
    kel_value* ignore = block::duplicate(spec, false, false);
    const uint32_t local = symbol::resolve(word_symbol(&words::ref_local));
    const uint32_t external = symbol::resolve(word_symbol(&words::ref_extern));

    int32_t extern_at = -1;
    {
        const span s(spec);
        for (int32_t i = s.first; i < s.end && extern_at < 0; ++i)
            if (type_of(s.at(i)) == types::refinement && canonical(s.at(i)) == external) extern_at = i;
    }
    if (extern_at >= 0) {
        bool after_local = false;
        for (int32_t i = extern_at + 1; i < length_of(series_node(spec)); ++i) {
            kel_value c = *(cells_of(series_node(spec)) + i);
            if (type_of(&c) == types::refinement && canonical(&c) == local) after_local = true;
            else if (after_local && type_of(&c) == types::word) block::ks_add(result, &c);
        }
        block::ks_cut_at(spec, extern_at);
    }
    {
        const span s(ignore);
        for (int32_t i = s.first; i < s.end; ++i) {
            kel_value* c = s.at(i);
            const uint32_t t = type_of(c);
            if (t == types::refinement || t == types::set_word || t == types::lit_word || t == types::get_word)
                set_type(c, types::word);
            else if (t != types::block && t != types::string && t != types::word && extern_at >= 0) {
                const kel_value bad = *c;
                fire(error_category::script, "bad-func-extern", &bad);
            }
        }
    }
    collector col(ignore, result);
    col.walk(&body);

    if (block::ks_length_q(result) > 0) {
        if (count_locals(series_node(spec), series_head(spec), true) < 0) block::ks_add(spec, &words::ref_local);
        const span r(result);
        for (int32_t i = r.first; i < length_of(r.node);) {
            kel_value* c = r.at(i);
            if (canonical(c) == local) {
                std::copy(c + 1, cells_of(r.node) + length_of(r.node), c);
                memory::buffer_of(r.node)->tail -= 16;
            } else {
                ++i;
            }
        }
        for (int32_t i = r.first; i < length_of(r.node); ++i) {
            const kel_value w = *r.at(i);
            block::ks_add(spec, &w);
        }
    }
    stack::regs.top = result + 1;
    return result;
}

// --- the row ----------------------------------------------------------------------------

signal_code make(const refinements&) {
    const kel_value arg = *stack::argument(2);
    const bool shaped = type_of(&arg) == types::block && block::ks_length_q(&arg) >= 2 &&
                        type_of(block::ks_abs_at(&arg, series_head(&arg))) == types::block &&
                        type_of(block::ks_abs_at(&arg, series_head(&arg) + 1)) == types::block;
    if (!shaped) fire(error_category::script, "bad-func-def", &arg);
    const kel_value spec = *block::ks_abs_at(&arg, series_head(&arg));
    const kel_value body = *block::ks_abs_at(&arg, series_head(&arg) + 1);
    const uint32_t flags = check_spec(&spec);
    (void)push(&spec, &body, 0, 0, 0, flags);
    stack::set_last(stack::last_cell());
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code reflect(const refinements&) {
    const kel_value fn = *stack::arguments();
    const kel_value field = *stack::argument(2);
    const uint32_t f = in_family(type_of(&field), family::word) ? canonical(&field) : 0;
    kel_value* base = stack::arguments();
    if (f == symbol::resolve(words::spec)) {
        *base = spec_block(fn.w2);
    } else if (f == symbol::resolve(words::body)) {
        *base = *more_cell(&fn, more::body);
    } else if (f == symbol::resolve(words::words)) {
        const uint32_t ctx = fn.w1;
        const int32_t n = _context::length(ctx);
        kel_value* out = block::push_only_star(n);
        for (int32_t i = 0; i < n; ++i) {
            kel_value w = *context_ops::word_at(ctx, i);
            w.header = types::word;
            w.w1 = ctx;
            w.w3 = static_cast<uint32_t>(i);
            block::ks_add(out, &w);
        }
        *stack::arguments() = *out;
    } else {
        fire(error_category::internal, "not-done");
    }
    stack::rewind_to_result();
    return signal_code::none;
}

int32_t form(const kel_value*, kel_value* buffer, const kel_value*, int32_t part) {
    text_out::append(buffer, "?function?");
    return part - 10;
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool flat, const kel_value* arg, int32_t part,
             int32_t indent) {
    const kel_value fn = *value;
    text_out::append(buffer, "func ");
    part -= 5;
    const kel_value spec = spec_block(fn.w2);
    part = actions::mold_value(&spec, buffer, false, all, flat, arg, part, indent);
    const kel_value body = *more_cell(&fn, more::body);
    if (type_of(&body) == types::block) {
        part = actions::mold_value(&body, buffer, false, all, flat, arg, part, indent);
    } else {
        text_out::append(buffer, " none");
        part -= 5;
    }
    return part;
}

int32_t compare_identity(const kel_value* value, const kel_value* other, int32_t op, int32_t word) {
    if (type_of(other) != type_of(value)) return cmp::not_comparable;
    switch (op) {
        case cmp::equal:
        case cmp::not_equal:
        case cmp::strict_equal:
        case cmp::sort:
        case cmp::case_sort:
        case cmp::same:
        case cmp::find: {
            const int32_t a = static_cast<int32_t>(word == 1 ? value->w1 : value->w3);
            const int32_t b = static_cast<int32_t>(word == 1 ? other->w1 : other->w3);
            return (a > b) - (a < b);
        }
        default: return cmp::not_comparable;
    }
}

// Identity order by the auxiliary block's node; routine! inherits it.
int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    return compare_identity(value, other, op, 3);
}

registry::registration row() {
    registry::registration r;
    r.id = types::function;
    r.hash = hashtable::hash_by::words_1_3;
    r.marker = kel::collector::cell_markers::function;
    r.families = family::function;
    r.parent = types::context;
    r.name = "function!";
    r[act::make] = make;
    r[act::reflect] = reflect;
    r[act::form] = form;
    r[act::mold] = mold;
    r[act::compare] = compare;
    return r;
}

}  // namespace kel::function
