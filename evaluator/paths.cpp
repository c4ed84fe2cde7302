// paths: walking paths (get, set and call), with the short path for
// `o/x` and `o/x:` over an object's field and its cache of field indexes.
#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

namespace {

// Whether the last step of a set-path tells an owner: the holder two steps up
// is a series whose owner may watch it, or an object with an owner watching
// the field the previous element named.
bool notify_flag(const kel_value* grandparent, const kel_value* previous, int32_t length, bool set, bool last) {
    if (!set || !last || length < 3) return false;
    const uint32_t g = type_of(grandparent);
    if (g == types::object) return grandparent->w3 != 0 && type_of(previous) == types::word;
    return in_family(g, family::block_like);
}

// `o/x` and `o/x:`, an object's field named by a plain word, are most of the
// paths scripts run; they skip the path-step record and the handler dispatch.
// Whatever is unusual (another length, a traced walk, a context that is not
// an object's own, a field missing or unset, a function that would be
// called, an object with change handlers under a set) answers false before
// anything is touched, and the general walk runs from the start; so errors,
// notifications and method calls stay that walk's alone.
//
// A field's index comes from a direct-mapped cache keyed by (context, the
// element's symbol as written), filled from the context's word table, with
// the context's values and words nodes beside it (an object context gets
// both when it is made and keeps them: their buffers may move and grow,
// the nodes stay). An entry is a guard, compared bit for bit and never
// followed; it holds no roots. The whole cache is emptied at every
// collection (each_root), the only time a context node can die and its id
// come back for another: within one cycle the context an entry names is the
// one it was filled from, and since an object's words only grow and never
// change place, the index still holds that word.
struct field_entry {
    uint32_t ctx;
    uint32_t symbol;  // the element's, as written
    int32_t index;
    uint32_t values;  // the context's values node
    uint32_t words;   // its words node
    uint32_t unused[3];
};

field_entry field_cache[1u << field_cache_bits];

inline field_entry& field_slot(uint32_t ctx, uint32_t symbol) { return field_cache[slot_hash(ctx, symbol)]; }

inline uint32_t cells_in(memory::buffer_header* h) { return h->used() / 16; }
template <class T>
inline T* first_cell(memory::buffer_header* h) {
    return reinterpret_cast<T*>(h->head_ptr());
}

// Fills the entry for an object's own context (a heap context of the object
// kind); false when the context is another kind or lacks the word.
__attribute__((noinline)) bool fill_field_slot(field_entry& e, uint32_t ctx, uint32_t symbol) {
    const kel_value* cc = first_cell<const kel_value>(header_of(ctx));
    if ((cc->header & (_context::kind_mask | header_context_stack)) != _context::kind_object << _context::kind_shift)
        return false;
    const int32_t index = _context::index_of(ctx, symbol, true);
    if (index < 0) return false;
    const uint32_t words = first_cell<const hashtable::table_header>(header_of(cc->w1))->blk;
    e = field_entry{ctx, symbol, index, cc->w2, words, {}};
    return true;
}

// The field a path of two words whose head holds an object names (`o/x`),
// through the cache: null when the path is of another shape, the head no
// object, the element unbound or (for a set) the object hears its changes.
// With `fill` a missing cache entry is filled; without, the answer is null.
template <bool fill>
[[gnu::always_inline]] inline kel_value* short_field(const kel_value* path, bool set, field_entry** entry) {
    memory::buffer_header* ph = header_of(series_node(path));
    const int32_t head = series_head(path);
    if (head < 0 || static_cast<int64_t>(cells_in(ph)) - head != 2) return nullptr;
    const kel_value* cells = first_cell<const kel_value>(ph) + head;
    if (type_of(cells) != types::word || type_of(cells + 1) != types::word) [[unlikely]]
        return nullptr;
    const kel_value* held = fast_slot(cells);
    if (!held || type_of(held) != types::object) return nullptr;
    if (set && held->w3 != 0) return nullptr;
    if (word_index(cells + 1) < 0) return nullptr;  // `self` in an object's body, or unbound
    const uint32_t ctx = held->w1;
    const uint32_t symbol = word_symbol(cells + 1);
    field_entry& e = field_slot(ctx, symbol);
    if (e.ctx != ctx || e.symbol != symbol) [[unlikely]] {
        // Filled out of line (walk_general), so this path calls nothing.
        if (!fill) return nullptr;
        if (!fill_field_slot(e, ctx, symbol)) return nullptr;
    }
    memory::buffer_header* vh = header_of(e.values);
    if (static_cast<uint32_t>(e.index) >= cells_in(vh)) return nullptr;
    *entry = &e;
    return first_cell<kel_value>(vh) + e.index;
}

template <bool fill>
[[gnu::always_inline]] inline bool short_field_path(const kel_value* path, code_position* c, uint32_t how,
                                                    const kel_value* value_in) {
    if (trace.active && traced(c)) return false;
    const bool set = (how & walk::set) != 0;
    if (set && !value_in) return false;
    field_entry* e = nullptr;
    kel_value* field = short_field<fill>(path, set, &e);
    if (!field) return false;
    kel_value* out = (how & walk::push) ? stack::top() : stack::arguments();
    if (out >= stack::regs.limit) return false;  // the general walk raises the overflow
    if (set) {
        first_cell<kel_value>(header_of(e->words))[e->index].header |= header_changed;
        const kel_value v = *value_in;
        *field = v;
        *out = v;
    } else {
        const kel_value v = *field;
        const uint32_t t = type_of(&v);
        if (t == types::unset || (prefix_callable(t) && !(how & walk::get))) return false;
        *out = v;
    }
    if (how & walk::push) stack::regs.top = out + 1;
    return true;
}
}  // namespace

const kel_value* quick_field(const kel_value* path) {
    field_entry* e = nullptr;
    const kel_value* field = short_field<false>(path, false, &e);
    return field && !(word_special & bit(type_of(field))) ? field : nullptr;
}

bool quick_field_set(const kel_value* path, const kel_value* value) {
    return short_field_path<false>(path, nullptr, walk::set | walk::push, value);
}

namespace {

// Whether an object's path step would find no field for the element (or,
// under a get, an unset one): the object's step raises that by a throw, so
// the walk returns the same error itself before dispatching. Other elements
// and other parents are left to their step.
bool field_missing(const kel_value* parent, const kel_value* element, bool set) {
    if (type_of(parent) != types::object) return false;
    const uint32_t t = type_of(element);
    if (t != types::word && t != types::set_word && t != types::get_word && t != types::lit_word) return false;
    const uint32_t ctx = parent->w1;
    int32_t index = word_index(element);
    if (word_context(element) != ctx || index < 0) index = _context::index_of(ctx, word_symbol(element), true);
    if (index < 0 || index >= _context::length(ctx)) return true;
    return !set && unset_q(_context::values(ctx) + index);
}

// A value whose type has no path step (none!, integer! ...): the dispatch
// would raise `bad-path-type` by a throw; the walk returns it, with the same
// arguments: the path, the type, and the path up to the element (`count`
// elements, as a new path of the path's type).
inline bool has_path_step(const kel_value* parent) {
    const uint32_t t = type_of(parent);
    return t < static_cast<uint32_t>(types::table_rows) && registry::path_handler(t) != nullptr;
}

signal_code path_type_error(const kel_value* path, const kel_value* parent, int32_t count) {
    kel_value datatype;
    set_datatype(&datatype, type_of(parent));
    const kel_value p = *path;
    memory::buffer_header* ph = header_of(series_node(&p));
    const int32_t length = std::max(static_cast<int32_t>(cells_in(ph)) - series_head(&p), 0);
    const int32_t n = std::clamp(count, 0, length);
    kel_value* cut = stack::push_unset();
    const uint32_t node = memory::new_cells(static_cast<uint32_t>(std::max(n, 1)));
    set_series(cut, type_of(&p), 0, node);
    memory::buffer_header* h = header_of(node);
    std::memcpy(h->data(), header_of(series_node(&p))->head_ptr() + static_cast<int64_t>(series_head(&p)) * 16,
                static_cast<size_t>(n) * 16);
    h->tail = h->head + static_cast<uint32_t>(n) * 16;
    return fail(error_category::script, "bad-path-type", &p, &datatype, cut);
}

// Everything but the short path: the general walk, kept out of line so that
// the short path's callers pay no large frame.
__attribute__((noinline)) signal_code walk_general(const kel_value* path_in, code_position* c, uint32_t how,
                                                   const kel_value* value_in);

}  // namespace

signal_code walk_path(const kel_value* path_in, code_position* c, uint32_t how, const kel_value* value_in) {
    if (!(how & walk::constant) && short_field_path<false>(path_in, c, how, value_in)) return signal_code::none;
    return walk_general(path_in, c, how, value_in);
}

namespace {

signal_code walk_general(const kel_value* path_in, code_position* c, uint32_t how, const kel_value* value_in) {
    // The short path again, now free to fill its cache entry.
    if (!(how & walk::constant) && short_field_path<true>(path_in, c, how, value_in)) return signal_code::none;
    const bool set = (how & walk::set) != 0;
    const bool get = (how & walk::get) != 0;
    const bool push = (how & walk::push) != 0;
    const bool constant = (how & walk::constant) != 0;
    const kel_value path = *path_in;
    kel_value* const entry = stack::top();
    const int32_t length = block::ks_length_q(&path);
    if (length <= 0) return fail(error_category::script, "empty-path");
    const int32_t head = series_head(&path);
    const kel_value first = *block::ks_abs_at(&path, head);
    const bool head_word = type_of(&first) == types::word;
    if (!head_word && !constant) return fail(error_category::script, "word-first", &path);
    const bool traced_here = traced(c);
    if (traced_here) {
        notify_tracer(event::enter, &path, head, nullptr, nullptr);
        notify_tracer(event::fetch, &path, head, nullptr, &first);
    }
    const kel_value start = head_word ? *lookup(&first) : first;
    const uint32_t t = type_of(&start);
    if (!constant) {
        if (t == types::unset) return fail(error_category::script, "unset-path", &path, &first);
        if (prefix_callable(t)) {
            if (set) return fail(error_category::script, "invalid-path-set", &path);
            if (get) return fail(error_category::script, "invalid-path-get", &path);
            KEL_PROPAGATE(invoke_value(&start, c, true, &path, &first, &start, mode::plain, false));
            if (traced_here) notify_tracer(event::exit, &path, head + length, nullptr, stack::top() - 1);
            if (!push) *stack::arguments() = *(stack::top() - 1);
            return signal_code::none;
        }
    }
    if (traced_here) notify_tracer(event::push, &path, head + 1, nullptr, &start);
    const kel_value value = value_in ? *value_in : kel_value{types::unset, 0, 0, 0};
    if (set && length == 1 && head_word) {
        kel_value w = first;
        _context::set_bound(&w, &value);
        push_value(&value);
        if (!push) {
            *stack::arguments() = *entry;
            stack::regs.top = entry;
        }
        return signal_code::none;
    }
    // Work cells: the parent (which becomes the result), the grandparent, the
    // previous element and the element, all where the collector sees them.
    kel_value* parent = stack::push_copy(&start);
    kel_value* grandparent = stack::push_unset();
    set_none(grandparent);
    kel_value* previous = stack::push_copy(&first);
    kel_value* element = stack::push_unset();
    kel_value* result = stack::push_unset();
    for (int32_t i = 1; i < length; ++i) {
        *element = *block::ks_abs_at(&path, head + i);
        const kel_value written = *element;
        if (traced_here) notify_tracer(event::fetch, &path, head + i, nullptr, element);
        if (constant) {
            // Compiled code's elements are taken as written.
        } else if (type_of(element) == types::get_word) {
            *element = *lookup(&written);
            if (unset_q(element)) return fail(error_category::script, "invalid-path", &path, &written);
        } else if (type_of(element) == types::paren) {
            KEL_PROPAGATE(eval_block(&written, false));
            *element = *(stack::top() - 1);
            stack::drop_cells(1);
            if (unset_q(element)) return fail(error_category::script, "invalid-path", &path, &written);
        }
        const bool last = i == length - 1;
        path_step_args step;
        step.parent = parent;
        step.element = element;
        step.value_to_set = set && last ? &value : nullptr;
        step.path = &path;
        step.grandparent = grandparent;
        step.previous_element = previous;
        step.step = i - 1;
        step.last = last;
        step.notify_owner = notify_flag(grandparent, previous, length, set, last);
        step.result = result;
        if (field_missing(parent, element, step.value_to_set != nullptr))
            return fail(error_category::script, step.value_to_set ? "invalid-path" : "unset-path", &path, element);
        if (!has_path_step(parent)) return path_type_error(&path, parent, i);
        KEL_PROPAGATE(actions::eval_path_value(step));
        if (traced_here) notify_tracer(event::push, &path, head + i + 1, nullptr, result);
        if (!set && !get && !constant && prefix_callable(type_of(result))) {
            // A method call: the rest of the path are its refinements.
            kel_value rest = path;
            set_series_head(&rest, head + i);
            const kel_value fn = *result, owner = *parent, name = *element;
            stack::regs.top = entry;
            KEL_PROPAGATE(invoke_value(&fn, c, true, &rest, &name, &owner, mode::plain, false));
            if (traced_here) notify_tracer(event::exit, &path, head + length, nullptr, stack::top() - 1);
            if (!push) *stack::arguments() = *entry;
            return signal_code::none;
        }
        *grandparent = *parent;
        *parent = *result;
        *previous = written;
    }
    if (traced_here) notify_tracer(event::exit, &path, head + length, nullptr, entry);
    if (push) {
        stack::regs.top = entry + 1;  // the parent is the result
    } else {
        *stack::arguments() = *entry;
        stack::regs.top = entry;
    }
    return signal_code::none;
}
}  // namespace

void forget_fields() { std::memset(field_cache, 0, sizeof field_cache); }

}  // namespace kel::interpreter
