// object: the internal operations on object values (see object.h). The
// object! row itself is in object_actions.cpp.
#include "datatypes/object.h"

#include <algorithm>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"

namespace kel::object {

invoke_fn invoke_hook = nullptr;
eval_fn eval_block = nullptr;
owner_hooks hooks;

// The boot's objects and their fixed classes. Only the two reactor classes
// are fixed by the system; the others are this build's own numbers, all
// below the run-time counter.
const boot_class boot_classes[] = {
    {"system", 100},
    {"catalog", 101},
    {"catalog/errors", 102},
    {"error-category", 103},
    {"standard/error", 104},
    {"reactor!", 277},
    {"deep-reactor!", 280},
};
const int boot_class_count = static_cast<int>(sizeof boot_classes / sizeof boot_classes[0]);

namespace {

uint32_t class_counter = class_counter_start;

inline kel_value* cells_of(uint32_t node) { return reinterpret_cast<kel_value*>(memory::buffer_of(node)->head_ptr()); }

// The values block node of an object context.
inline uint32_t values_node(uint32_t ctx) { return _context::cell(ctx)->w2; }

inline uint32_t canonical(const kel_value* word) { return symbol::resolve(word_symbol(word)); }
inline uint32_t on_change_symbol() { return symbol::resolve(word_symbol(&words::_on_change_star)); }
inline uint32_t on_deep_change_symbol() { return symbol::resolve(word_symbol(&words::_on_deep_change_star)); }

// A word! cell of the field at index, bound to the context.
kel_value field_word(uint32_t ctx, int32_t index) {
    kel_value w = *word_at(ctx, index);
    w.header = types::word;
    w.w1 = ctx;
    w.w3 = static_cast<uint32_t>(index);
    return w;
}

struct cycle_pop {
    int n;
    ~cycle_pop() { cycles::pop_n(n); }
};

// Handler field indexes of a record (-1 when absent).
int32_t record_index(uint32_t record, int which) {
    if (!record) return -1;
    const uint32_t w = cells_of(record)[which].w2;
    return w >= 0xFFFF0000u ? -1 : static_cast<int32_t>(w >> 16);
}

// Refreshes the local-slot count of a record cell when the handler's spec
// changed; answers the count.
int32_t refreshed_count(uint32_t record, int which, const kel_value* handler) {
    kel_value* c = cells_of(record) + which;
    if (c->w3 != handler->w2) {
        const int32_t count = count_locals(handler->w2, false);
        c->w2 = (c->w2 & 0xFFFF0000u) | (static_cast<uint32_t>(count) & 0xFFFFu);
        c->w3 = handler->w2;
    }
    return static_cast<int32_t>(c->w2 & 0xFFFFu);
}

// A handler whose spec has more slots than its arguments and its /local
// part (a refinement of its own, or a /local that does not come last) would
// read cells above the stack top: every slot not pushed yet gets what an
// unused refinement gives, false for the refinement and none for the rest.
void fill_frame(const kel_value* fn, int32_t pushed) {
    const int32_t slots = _context::length(fn->w1);
    if (pushed >= slots) return;
    int32_t slot = 0;
    if (fn->w2) {
        memory::buffer_header* h = memory::buffer_of(fn->w2);
        const auto* c = reinterpret_cast<const kel_value*>(h->head_ptr());
        const uint32_t n = h->used() / 16;
        for (uint32_t i = 0; i < n && slot < slots; ++i) {
            const uint32_t t = type_of(c + i);
            if (t != types::word && t != types::get_word && t != types::lit_word && t != types::refinement) continue;
            if (slot++ < pushed) continue;
            if (t == types::refinement) {
                kel_value f;
                set_logic(&f, false);
                stack::push_copy(&f);
            } else {
                stack::push_copy(none::value);
            }
        }
    }
    // a spec changed since the function was made may list fewer slots
    for (slot = std::max(slot, pushed); slot < slots; ++slot) stack::push_copy(none::value);
}

// Opens the handler's call frame, pushes the arguments and the unused
// /local refinement, runs the body, and closes the frame dropping the result.
void call_handler(const kel_value* name, const kel_value* handler, const kel_value* args, int n, int32_t count,
                  uint32_t object_ctx, uint32_t mask) {
    const kel_value fn = *handler;
    kel_value* saved_top = stack::top();
    stack::open_call_frame(name, fn.w1);
    for (int i = 0; i < n; ++i) stack::push_copy(args + i);
    if (count >= 1) {
        kel_value f;
        set_logic(&f, false);
        stack::push_copy(&f);
        for (int32_t i = 1; i < count; ++i) stack::push_copy(none::value);
    }
    fill_frame(&fn, n + std::max(count, 0));
    if (stack::contexts::hooks.set_values) stack::contexts::hooks.set_values(fn.w1, stack::offset_of(stack::arguments()));
    if (!invoke_hook) fire(error_category::internal, "not-done");
    const signal_code code = invoke_hook(&fn, object_ctx, mask);
    // The signal already unwound the marks to its receiver.
    if (code != signal_code::none) stack::throw_code(code);
    stack::close_call_frame();
    stack::regs.top = saved_top;
}

bool deep_copied_q(uint32_t t) {
    switch (t) {
        case types::block: case types::paren: case types::string: case types::file: case types::url:
        case types::path: case types::lit_path: case types::set_path: case types::get_path: case types::tag:
        case types::email: case types::ref: return true;
        default: return false;
    }
}

// Types a typed copy replaces by their copy.
bool typed_copy_q(uint32_t t) {
    return in_family(t, family::series) || t == types::bitset || t == types::object || t == types::error || t == types::map;
}

bool selected_by(const kel_value* types_arg, uint32_t t) {
    if (type_of(types_arg) == types::typeset) return typeset_has(types_arg, t);
    return get_datatype(types_arg) == t;
}

// Replaces value i of the context by its copy through the copy action.
void copy_value_at(uint32_t ctx, int32_t i, bool deep, const kel_value* types_arg) {
    const kel_value v = _context::values(ctx)[i];
    kel_value* out = stack::push_unset();
    actions::copy_value(&v, out, nullptr, deep, types_arg);
    _context::values(ctx)[i] = *out;
    stack::drop_cells(1);
}

// Re-makes the function at value i of `ctx` bound to `target`.
void rebind_value_at(uint32_t ctx, int32_t i, uint32_t target) {
    kel_value* f = stack::push_copy(_context::values(ctx) + i);
    rebind_function(f, target);
    _context::values(ctx)[i] = *f;
    stack::drop_cells(1);
}

bool word_like_q(uint32_t t) { return (t >= types::word && t <= types::refinement) || t == types::issue; }
bool number_like_q(uint32_t t) { return t == types::integer || t == types::float_ || t == types::percent; }

}  // namespace

// --- class ids ------------------------------------------------------------------

uint32_t new_class_id() { return ++class_counter; }

uint32_t boot_class_id(std::string_view name) {
    for (int i = 0; i < boot_class_count; ++i)
        if (name == boot_classes[i].name) return boot_classes[i].id;
    return 0;
}

// --- the cell -------------------------------------------------------------------

void set_cell(kel_value* cell, uint32_t ctx, uint32_t class_id, uint32_t on_set, uint32_t type) {
    cell->header = type;
    cell->w1 = ctx;
    cell->w2 = class_id;
    cell->w3 = on_set;
}

void copy_to_self(const kel_value* o) {
    kel_value c = *o;
    clear_new_line(&c);
    *_context::owner(c.w1) = c;
}

// --- fields ----------------------------------------------------------------------

int32_t index_of_word(const kel_value* o, const kel_value* word) {
    return _context::index_of(context_of(o), word_symbol(word), true);
}

const kel_value* value_of_word(const kel_value* o, const kel_value* word) {
    const int32_t i = index_of_word(o, word);
    return i < 0 ? none::value : _context::values(context_of(o)) + i;
}

kel_value* word_at(uint32_t ctx, int32_t index) { return context_ops::word_at(ctx, index); }
kel_value* first_word(const kel_value* o) { return word_at(context_of(o), 0); }
kel_value* get_values(const kel_value* o) { return _context::values(context_of(o)); }
int32_t word_count(const kel_value* o) { return _context::length(context_of(o)); }

void clear_new_lines(uint32_t node) {
    memory::buffer_header* h = memory::buffer_of(node);
    auto* c = reinterpret_cast<kel_value*>(h->head_ptr());
    for (uint32_t i = 0; i < h->used() / 16; ++i) clear_new_line(c + i);
}

void clear_changed(uint32_t ctx) {
    const int32_t n = _context::length(ctx);
    for (int32_t i = 0; i < n; ++i) word_at(ctx, i)->header &= ~header_changed;
}

// --- assigning -------------------------------------------------------------------

void set_fields(const kel_value* o, const kel_value* value, bool any, bool only, bool some) {
    const kel_value obj = *o;
    const kel_value src = *value;
    const uint32_t ctx = obj.w1;
    const int32_t n = _context::length(ctx);
    const uint32_t st = type_of(&src);
    const int32_t skip0 = record_index(obj.w3, 0);
    const int32_t skip1 = record_index(obj.w3, 1);

    auto assign = [&](int32_t i, const kel_value* v) {
        const kel_value nv = *v;
        if (some && none_q(&nv)) return;
        if (obj.w3 && (i == skip0 || i == skip1)) return;
        word_at(ctx, i)->header |= header_changed;
        if (!obj.w3) {
            _context::values(ctx)[i] = nv;
            return;
        }
        // The top goes back on the normal way out only: a signal out of the
        // handler has already set it for its receiver.
        kel_value* const top = stack::top();
        kel_value* old = stack::push_copy(_context::values(ctx) + i);
        _context::values(ctx)[i] = nv;
        const kel_value w = field_word(ctx, i);
        run_on_change(&obj, &w, old, &nv);
        stack::regs.top = top;
    };

    if (!only && (st == types::block || st == types::object)) {
        const bool from_block = st == types::block;
        const int32_t head = from_block ? std::max(series_head(&src), 0) : 0;
        const int32_t available = from_block ? std::max(block::ks_length_q(&src), 0) : _context::length(src.w1);
        if (!some && !any) {
            // Every value that would be assigned is checked before any is:
            // a block's by position, an object's by the field it goes to.
            for (int32_t j = 0; j < (from_block ? std::min(n, available) : available); ++j) {
                const int32_t i =
                    from_block ? j : _context::index_of(ctx, word_symbol(word_at(src.w1, j)), true);
                if (i < 0) continue;
                const kel_value* sv = from_block ? block::ks_abs_at(&src, head + j) : _context::values(src.w1) + j;
                if (unset_q(sv)) {
                    const kel_value w = field_word(ctx, i);
                    fire(error_category::script, "need-value", &w);
                }
            }
        }
        if (from_block) {
            // A change handler may shorten the block: its length is read
            // again for every field, so no cell past its tail is taken.
            for (int32_t i = 0; i < n; ++i) {
                const kel_value v = i < block::ks_length_q(&src) ? *block::ks_abs_at(&src, head + i) : *none::value;
                assign(i, &v);
            }
        } else {
            for (int32_t j = 0; j < available; ++j) {
                const kel_value w = *word_at(src.w1, j);
                const int32_t i = _context::index_of(ctx, word_symbol(&w), true);
                if (i < 0) continue;
                const kel_value v = _context::values(src.w1)[j];
                assign(i, &v);
            }
        }
        return;
    }
    for (int32_t i = 0; i < n; ++i) assign(i, &src);
}

// --- the on-set record ---------------------------------------------------------------

uint32_t make_hook_record(uint32_t spec0, uint32_t spec1, int32_t index0, int32_t count0, int32_t index1,
                          int32_t count1) {
    const uint32_t node = memory::new_cells(2);
    memory::buffer_header* h = memory::buffer_of(node);
    h->tail = h->head + 32;
    kel_value* c = cells_of(node);
    const auto word2 = [](int32_t index, int32_t count) {
        return (static_cast<uint32_t>(index) << 16) | (static_cast<uint32_t>(count) & 0xFFFFu);
    };
    c[0] = kel_value{types::hook_record, 0, word2(index0, count0), spec0};
    c[1] = kel_value{types::hook_record, 0, word2(index1, count1), spec1};
    return node;
}

bool has_deep_hook_q(const kel_value* o) { return record_index(on_set_of(o), 1) >= 0; }

int32_t count_locals(uint32_t spec_node, bool strict) {
    if (!spec_node) return strict ? -1 : 0;
    const uint32_t local = symbol::resolve(word_symbol(&words::_local));
    memory::buffer_header* h = memory::buffer_of(spec_node);
    const auto* c = reinterpret_cast<const kel_value*>(h->head_ptr());
    const uint32_t n = h->used() / 16;
    uint32_t i = 0;
    for (; i < n; ++i)
        if (type_of(c + i) == types::refinement && symbol::resolve(word_symbol(c + i)) == local) break;
    if (i == n) return strict ? -1 : 0;
    int32_t count = 1;
    for (++i; i < n; ++i)
        if (type_of(c + i) == types::word) ++count;
    return count;
}

uint32_t make_on_set(uint32_t ctx) {
    const uint32_t change = on_change_symbol();
    const uint32_t deep = on_deep_change_symbol();
    int32_t found[2] = {-1, -1};
    const int32_t n = _context::length(ctx);
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t s = canonical(word_at(ctx, i));
        if (s == change && found[0] < 0) found[0] = i;
        else if (s == deep && found[1] < 0) found[1] = i;
    }
    if (found[0] < 0 && found[1] < 0) return 0;
    uint32_t spec[2] = {0, 0};
    int32_t count[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        if (found[k] < 0) continue;
        const kel_value v = _context::values(ctx)[found[k]];
        const uint32_t t = type_of(&v);
        if (t != types::function && t != types::routine) {
            // Name the field at fault, whichever of the two it is.
            const kel_value w = field_word(ctx, found[k]);
            kel_value datatype;
            set_datatype(&datatype, t);
            fire(error_category::script, "bad-field-set", &w, &datatype);
        }
        // The record keeps a field index in 16 bits, 0xFFFF meaning none: a
        // handler further on would be taken for another field, or for none.
        if (found[k] >= static_cast<int32_t>(no_handler)) fire(error_category::script, "too-long");
        spec[k] = v.w2;
        count[k] = count_locals(v.w2, false);
    }
    return make_hook_record(spec[0], spec[1], found[0], count[0], found[1], count[1]);
}

void install_hooks(kel_value* o) {
    const uint32_t record = make_on_set(context_of(o));
    o->w3 = record;
    if (has_deep_hook_q(o) && hooks.bind_object) {
        kel_value* held = stack::push_copy(o);
        hooks.bind_object(held, held, none::value);
        stack::drop_cells(1);
    }
    copy_to_self(o);
}

// --- calling the handlers --------------------------------------------------------------

namespace {

bool same_series_q(const kel_value* a, const kel_value* b) {
    return in_family(type_of(a), family::series) && in_family(type_of(b), family::series) &&
           series_node(a) == series_node(b);
}

// A field of an object that hears deep changes takes its new value into the
// object's ownership, as making the object does, so changes in place of the
// new series reach on-deep-change*; the old series, unless another field
// still holds it, is owned no more.
// Runs once on-change* has had its say, with what the field holds then: a
// handler that put the old value back leaves the ownership as it was.
void own_field_value(const kel_value& obj, int32_t field, const kel_value& old_value) {
    if (!hooks.bind || !hooks.unbind || !hooks.owned_by) return;
    const uint32_t ctx = obj.w1;
    if (field >= _context::length(ctx)) return;
    kel_value* held = stack::push_copy(&old_value);
    kel_value* fresh = stack::push_copy(_context::values(ctx) + field);
    if (!same_series_q(held, fresh) && hooks.owned_by(held, ctx)) {
        bool shared = false;
        for (int32_t i = 0; i < _context::length(ctx) && !shared; ++i)
            shared = i != field && same_series_q(_context::values(ctx) + i, held);
        if (!shared) hooks.unbind(held);
    }
    const kel_value owner = obj;
    const kel_value w = field_word(ctx, field);
    hooks.bind(fresh, &owner, &w);
    stack::drop_cells(2);
}

}  // namespace

void run_on_change(const kel_value* o, const kel_value* word, const kel_value* old_value,
                   const kel_value* new_value) {
    const kel_value obj = *o;
    const uint32_t record = obj.w3;
    const kel_value old = *old_value;
    const int32_t field = record_index(record, 1) >= 0 && in_family(type_of(word), family::word)
                              ? _context::index_of(obj.w1, word_symbol(word), false)
                              : -1;
    const int32_t index = record_index(record, 0);
    if (index < 0) {
        if (field >= 0) own_field_value(obj, field, old);
        return;
    }
    const uint32_t ctx = obj.w1;
    const kel_value handler = _context::values(ctx)[index];
    if (type_of(&handler) != types::function) fire(error_category::script, "invalid-obj-evt", &handler);
    const int32_t count = refreshed_count(record, 0, &handler);
    kel_value args[3] = {*word, *old_value, *new_value};
    // The handler always receives a word of the object.
    if (in_family(type_of(args), family::word) && word_context(args) != ctx) {
        args[0].header = type_of(args);
        _context::bind_one(ctx, args);
    }
    call_handler(&words::_on_change_star, &handler, args, 3, count, ctx, on_change_events);
    if (field >= 0) own_field_value(obj, field, old);
}

void call_on_change_top(const kel_value* o, const kel_value* word) {
    const kel_value old = *(stack::top() - 1);
    const kel_value nv = *(stack::top() - 2);
    run_on_change(o, word, &old, &nv);
}

void call_on_change_of_word(const kel_value* holder, const kel_value* field) {
    const kel_value o = *_context::get_bound(holder);
    if (!object_type_q(type_of(&o))) return;
    call_on_change_top(&o, field);
}

void call_on_deep_change(const kel_value* owner, const kel_value* word, const kel_value* target,
                         const kel_value* action, const kel_value* new_value, int32_t index, int32_t part) {
    const kel_value obj = *owner;
    // Only an object's word 3 is an on-set record.
    const uint32_t record = object_type_q(type_of(&obj)) ? obj.w3 : 0;
    if (!record) fire(error_category::script, "invalid-obj-evt", &obj);
    const int32_t field = record_index(record, 1);
    if (field < 0) return;
    const uint32_t ctx = obj.w1;
    const kel_value handler = _context::values(ctx)[field];
    if (type_of(&handler) != types::function) return;
    const int32_t count = refreshed_count(record, 1, &handler);
    kel_value args[7] = {obj, *word, *target, *action, new_value ? *new_value : *none::value, {}, {}};
    set_integer(args + 5, index);
    set_integer(args + 6, part);
    call_handler(&words::_on_deep_change_star, &handler, args, 7, count, ctx, on_deep_change_events);
}

void each_field(const kel_value* o, field_visitor visit, void* context) {
    const uint32_t ctx = context_of(o);
    for (int32_t i = 0; i < _context::length(ctx); ++i) {
        const kel_value w = field_word(ctx, i);
        visit(_context::values(ctx) + i, &w, context);
    }
}

// --- class checks -------------------------------------------------------------------------

bool word_of_class_q(const kel_value* word, uint32_t class_id) {
    const kel_value* v = _context::get_bound(word);
    return type_of(v) == types::object && class_of(v) == class_id;
}

bool field_of_class_q(uint32_t ctx, int32_t index, uint32_t class_id) {
    if (index < 0 || index >= _context::length(ctx)) return false;
    const kel_value* v = _context::values(ctx) + index;
    return type_of(v) == types::object && class_of(v) == class_id;
}

// --- molding ------------------------------------------------------------------------------

int32_t mold_fields(const kel_value* o, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
                    int32_t part, bool line_mode, int32_t indent, bool lead) {
    const uint32_t ctx = context_of(o);
    const int32_t n = _context::length(ctx);
    if (n == 0) return part;
    const uint32_t change = on_change_symbol();
    const uint32_t deep = on_deep_change_symbol();
    auto shown = [&](int32_t i) {
        const uint32_t s = canonical(word_at(ctx, i));
        return all || (s != change && s != deep);
    };
    int32_t last_shown = -1;
    for (int32_t i = 0; i < n; ++i)
        if (shown(i)) last_shown = i;
    const char* separator = "\n";
    if (flat) {
        separator = " ";
        line_mode = false;
    } else if (lead) {
        if (only) {
            line_mode = false;
        } else {
            text_out::append(buffer, "\n", 1);
            --part;
        }
    }
    cycles::push(ctx);
    cycle_pop guard{1};
    for (int32_t i = 0; i < n && part > 0; ++i) {
        if (!shown(i)) continue;
        if (line_mode) part = mold::indent(buffer, indent, part);
        const kel_value w = field_word(ctx, i);
        part = actions::mold_value(&w, buffer, false, false, false, arg, part, 0);
        text_out::append(buffer, ": ", 2);
        part -= 2;
        kel_value* slot = _context::values(ctx) + i;
        if (type_of(slot) == 0) set_unset(slot);
        const kel_value v = *slot;
        if (type_of(&v) == types::word) {
            text_out::append(buffer, "'", 1);
            --part;
        }
        part = actions::mold_value(&v, buffer, false, all, flat, arg, part, indent);
        if (line_mode || i < last_shown) {
            text_out::append(buffer, separator, 1);
            --part;
        }
    }
    return part;
}

// --- making and copying ---------------------------------------------------------------------

void clone_values(uint32_t source_ctx, uint32_t target_ctx, bool all) {
    const int32_t n = std::min(_context::length(source_ctx), _context::length(target_ctx));
    for (int32_t i = 0; i < n; ++i) {
        const kel_value v = _context::values(source_ctx)[i];
        const uint32_t t = type_of(&v);
        if (in_family(t, family::series)) {
            kel_value* out = stack::push_unset();
            actions::copy_value(&v, out, nullptr, true, nullptr);
            if (in_family(t, family::block_like))
                _context::bind_block(out, target_ctx, true);
            _context::values(target_ctx)[i] = *out;
            stack::drop_cells(1);
        } else if (all) {
            _context::values(target_ctx)[i] = v;
        }
    }
}

bool extend_from(uint32_t target_ctx, const kel_value* source) {
    kel_value* src = stack::push_copy(source);
    const int32_t before = _context::length(target_ctx);
    const uint32_t sctx = src->w1;
    for (int32_t i = 0; i < _context::length(sctx); ++i) {
        const kel_value w = field_word(sctx, i);
        const kel_value v = _context::values(sctx)[i];
        _context::put(target_ctx, &w, &v);
    }
    for (int32_t i = 0; i < _context::length(target_ctx); ++i) {
        const uint32_t t = type_of(_context::values(target_ctx) + i);
        if (in_family(t, family::series)) copy_value_at(target_ctx, i, true, nullptr);
        else if (t == types::function) rebind_value_at(target_ctx, i, target_ctx);
    }
    stack::drop_cells(1);
    return _context::length(target_ctx) > before;
}

void rebind_function(kel_value* function, uint32_t target_ctx) {
    const kel_value f = *function;
    const kel_value body = f.w3 ? cells_of(f.w3)[0] : *none::value;
    if (!in_family(type_of(&body), family::block_like)) fire(error_category::script, "bad-func-def", &f);
    kel_value* const top = stack::top();  // put back on the normal way out; an error sets its own
    kel_value* copy = block::duplicate(&body, true, true);
    _context::bind_block(copy, target_ctx, true);
    kel_value* made = stack::push_copy(&f);
    const uint32_t fctx = _context::fresh_copy(made, _context::kind_function);
    _context::bind_block(copy, fctx, false);
    const uint32_t aux = memory::new_unset_cells(5);
    memory::buffer_header* h = memory::buffer_of(aux);
    h->tail = h->head + 5 * 16;
    kel_value* cells = cells_of(aux);
    for (int i = 0; i < 5; ++i) set_unset(cells + i);
    cells[0] = *copy;
    made->w3 = aux;
    *_context::owner(fctx) = *made;
    *function = *made;
    stack::regs.top = top;
}

kel_value* push(uint32_t ctx, uint32_t class_id) {
    const uint32_t vn = values_node(ctx);
    memory::buffer_header* h = memory::buffer_of(vn);
    const uint32_t n = static_cast<uint32_t>(_context::length(ctx));
    if (h->used() == 0 && n > 0) {
        if (h->capacity - h->head < n * 16) h = memory::expand_buffer(h, h->head + n * 16);
        auto* c = reinterpret_cast<kel_value*>(h->head_ptr());
        for (uint32_t i = 0; i < n; ++i) set_unset(c + i);
        h->tail = h->head + n * 16;
    }
    kel_value* o = stack::alloc_cell();
    set_cell(o, ctx, class_id, 0);
    copy_to_self(o);
    return o;
}

uint32_t set_change_hooks(uint32_t ctx, int32_t index0, int32_t count0, int32_t index1, int32_t count1) {
    const uint32_t record = make_hook_record(0, 0, index0, count0, index1, count1);
    kel_value* o = stack::last_cell();
    if (!object_type_q(type_of(o)) || o->w1 != ctx) fire(error_category::internal, "not-done");
    o->w3 = record;
    if (index1 >= 0 && hooks.bind_object) hooks.bind_object(o, o, none::value);
    copy_to_self(stack::last_cell());
    return record;
}

kel_value* push_with_hooks(uint32_t ctx, uint32_t record, uint32_t class_id) {
    kel_value* o = push(ctx, class_id);
    o->w3 = record;
    copy_to_self(o);
    return o;
}

kel_value* init_cell(kel_value* cell, int32_t slots) {
    const uint32_t ctx = _context::allocate(slots, false, true, 0, _context::kind_object);
    set_cell(cell, ctx, 0, 0);
    copy_to_self(cell);
    return cell;
}

kel_value* construct(const kel_value* spec, const kel_value* prototype, bool only) {
    kel_value* result = stack::push_unset();
    if (prototype) {
        duplicate(prototype, result, true, nullptr, true);
    } else {
        init_cell(result, 4);
        result->w2 = new_class_id();
        copy_to_self(result);
    }
    const kel_value s = *spec;
    const uint32_t ctx = result->w1;
    const int32_t head = std::max(series_head(&s), 0);
    const int32_t end = head + std::max(block::ks_length_q(&s), 0);
    // Where the value of the current run of set-words stands; found once
    // per run, so a long run costs no more than its length.
    int32_t value_at = head;
    for (int32_t i = head; i < end; ++i) {
        const kel_value w = *block::ks_abs_at(&s, i);
        if (type_of(&w) != types::set_word) continue;
        const int32_t index = _context::index_or_add_word(ctx, &w);
        if (value_at <= i) {
            value_at = i + 1;
            while (value_at < end && type_of(block::ks_abs_at(&s, value_at)) == types::set_word) ++value_at;
        }
        kel_value v = value_at < end ? *block::ks_abs_at(&s, value_at) : *none::value;
        if (!only && type_of(&v) == types::word) {
            const uint32_t sym = canonical(&v);
            const auto is = [&](uint32_t slot) { return sym == symbol::resolve(slot); };
            if (is(words::true_) || is(words::yes) || is(words::on)) set_logic(&v, true);
            else if (is(words::false_) || is(words::no) || is(words::off)) set_logic(&v, false);
            else if (is(words::none)) set_none(&v);
        }
        clear_new_line(&v);
        _context::values(ctx)[index] = v;
    }
    return result;
}

kel_value* duplicate(const kel_value* source, kel_value* target, bool deep, const kel_value* types_arg,
                     bool new_hooks) {
    const kel_value src = *source;
    const uint32_t sctx = src.w1;
    const int32_t n = _context::length(sctx);
    const uint32_t ctx = _context::allocate(n, false, true, sctx, _context::kind_object);
    set_cell(target, ctx, src.w2, new_hooks ? 0 : src.w3, type_of(&src));
    copy_to_self(target);
    if (n > 0) {
        auto* words_cells = cells_of(_context::words_node(ctx));
        for (int32_t i = 0; i < n; ++i) words_cells[i].w1 = ctx;
        memory::buffer_header* h = memory::buffer_of(values_node(ctx));
        std::memcpy(h->head_ptr(), _context::values(sctx), static_cast<size_t>(n) * 16);
        h->tail = h->head + static_cast<uint32_t>(n) * 16;
    }
    if (deep && !types_arg) {
        for (int32_t i = 0; i < n; ++i) {
            const uint32_t t = type_of(_context::values(ctx) + i);
            if (deep_copied_q(t)) copy_value_at(ctx, i, true, nullptr);
            else if (t == types::function) rebind_value_at(ctx, i, ctx);
        }
    } else {
        for (int32_t i = 0; i < n; ++i)
            if (type_of(_context::values(ctx) + i) == types::function) rebind_value_at(ctx, i, ctx);
        if (types_arg) {
            const kel_value selector = *types_arg;
            if (deep) {
                if (cycles::find_q(sctx)) {
                    cycles::reset();
                    fire(error_category::internal, "no-cycle");
                }
                cycles::push(sctx);
            }
            cycle_pop guard{deep ? 1 : 0};
            for (int32_t i = 0; i < n; ++i) {
                const uint32_t t = type_of(_context::values(ctx) + i);
                if (selected_by(&selector, t) && typed_copy_q(t))
                    copy_value_at(ctx, i, deep, deep ? &selector : nullptr);
            }
        }
    }
    if (new_hooks) install_hooks(target);
    return target;
}

// --- handlers shared with error! and port! -------------------------------------------------------

namespace {

int32_t compare_fields(const kel_value* v1, const kel_value* v2, int32_t op) {
    const uint32_t c1 = v1->w1;
    const uint32_t c2 = v2->w1;
    if (c1 == c2) return 0;
    if (op == cmp::same) return -1;
    if (cycles::find_q(c1)) return cycles::find_q(c2) ? 0 : -1;
    const int32_t n1 = _context::length(c1);
    const int32_t n2 = _context::length(c2);
    if (n1 != n2) return n1 < n2 ? -1 : 1;
    if (n1 == 0) return 0;
    cycles::push(c1);
    cycles::push(c2);
    cycle_pop guard{2};
    for (int32_t i = 0; i < n1; ++i) {
        const uint32_t s1 = canonical(word_at(c1, i));
        const uint32_t s2 = canonical(word_at(c2, i));
        if (s1 != s2) return s1 < s2 ? -1 : 1;
        const kel_value a = _context::values(c1)[i];
        const kel_value b = _context::values(c2)[i];
        const uint32_t ta = type_of(&a);
        const uint32_t tb = type_of(&b);
        const bool comparable =
            ta == tb || (word_like_q(ta) && word_like_q(tb)) || (number_like_q(ta) && number_like_q(tb));
        if (!comparable) return ta < tb ? -1 : 1;
        int32_t r = actions::sort_compare(&a, &b, op);
        if (r == cmp::not_comparable) r = -1;  // values that cannot be compared are not equal
        if (r != 0) return r;
    }
    return 0;
}

[[noreturn]] void missing_field(const path_step_args& s, const kel_value* element) {
    const kel_value* path = s.path ? s.path : none::value;
    // A set step cannot reach a field that does not exist; a get step finds it unset.
    if (s.value_to_set) fire(error_category::script, "invalid-path", path, element);
    fire(error_category::script, "unset-path", path, element);
}

}  // namespace

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::object) return cmp::not_comparable;
    return compare_fields(value, other, op);
}

int32_t compare_contexts(const kel_value* value, const kel_value* other, int32_t op) {
    return compare_fields(value, other, op);
}

signal_code eval_path(const path_step_args& s) {
    const kel_value obj = *s.parent;
    const uint32_t ctx = obj.w1;
    const uint32_t t = type_of(s.element);
    if (t != types::word && t != types::set_word && t != types::get_word && t != types::lit_word)
        fire(error_category::script, "invalid-path", s.path ? s.path : none::value, s.element);
    // The path's own word is rebound in place, so the next walk skips the lookup.
    auto* element = const_cast<kel_value*>(s.element);
    const bool self_word = symbol::resolve(word_symbol(element)) == symbol::resolve(words::self) &&
                           word_index(element) < 0;
    if (s.value_to_set && self_word) fire(error_category::script, "invalid-path", s.path ? s.path : none::value, element);
    int32_t index = word_index(element);
    if (word_context(element) != ctx || index < 0) {
        index = _context::index_of(ctx, word_symbol(element), true);
        if (index < 0) missing_field(s, element);
        element->w1 = ctx;
        element->w3 = static_cast<uint32_t>(index);
    }
    if (index >= _context::length(ctx)) missing_field(s, element);
    if (s.value_to_set) {
        const kel_value v = *s.value_to_set;
        kel_value w = *element;
        if (!obj.w3) {
            _context::set_in(&w, &v, ctx, false);
        } else {
            // As in set_fields: the top goes back only when the handler returns.
            kel_value* const top = stack::top();
            kel_value* old = stack::push_copy(_context::values(ctx) + index);
            _context::set_in(&w, &v, ctx, false);
            run_on_change(&obj, element, old, &v);
            stack::regs.top = top;
        }
        *s.result = v;
        return signal_code::none;
    }
    const kel_value v = _context::values(ctx)[index];
    if (unset_q(&v)) missing_field(s, element);
    *s.result = v;
    return signal_code::none;
}

signal_code make(kel_value* result, const kel_value* prototype, const kel_value* spec) {
    const kel_value proto = *prototype;
    const kel_value sp = *spec;
    const bool from_object = object_type_q(type_of(&proto));
    if (from_object) duplicate(&proto, result, true, nullptr, false);
    else init_cell(result, 4);
    const uint32_t ctx = result->w1;
    if (type_of(&sp) == types::object) {
        const bool added = extend_from(ctx, &sp);
        result->w2 = (added || !from_object) ? new_class_id() : proto.w2;
        install_hooks(result);
        return signal_code::none;
    }
    if (type_of(&sp) != types::block) fire(error_category::syntax, "malconstruct", &sp);
    kel_value* mark = stack::top();
    kel_value* body = stack::push_copy(&sp);
    const bool added = _context::collect_set_words(ctx, body);
    _context::bind_block(body, ctx, true);
    if (from_object) clone_values(proto.w1, ctx, false);
    if (!eval_block) fire(error_category::internal, "not-done");
    KEL_PROPAGATE(eval_block(body));
    stack::regs.top = mark;
    clear_changed(ctx);
    clear_new_lines(values_node(ctx));
    result->w2 = (added || !from_object) ? new_class_id() : proto.w2;
    install_hooks(result);
    return signal_code::none;
}

void init() { call_on_change = run_on_change; }

}  // namespace kel::object
