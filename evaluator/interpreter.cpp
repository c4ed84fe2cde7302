// interpreter: block evaluation, calls, argument fetching, paths and tracing.
//
// Reading guide: positions (code_position), the fast word lookup, the
// argument cache (built from specs), tracing, then the evaluator proper:
// eval_block -> step_expression -> invoke_value -> fetch_arguments ->
// call_function_body, and walk_path beside them; the frame loop (run_frames,
// drive) after the decoded calls, which eval_in_place hands blocks to.
#include "evaluator/interpreter.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <emmintrin.h>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/routine.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "evaluator/decode.h"
#include "evaluator/native_api_words.h"
#include "evaluator/natives.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_errors.h"
#include "evaluator/native_table.h"
#include "evaluator/routines.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/collector.h"
#include "kernel/fatal.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"

namespace kel::interpreter {

trace_state trace;

namespace {

// --- names and kinds -----------------------------------------------------------------

kel_value eval_set_path_word{types::unset, 0, 0, 0};

constexpr uint32_t library_eval_kind = 0x07000000u;  // an evaluation mark without the interpreted flag

inline uint32_t eval_kind(bool library) { return library ? library_eval_kind : stack::kind::eval; }
inline uint32_t native_kind(bool library) { return library ? stack::kind::native : stack::kind::eval_native; }
inline uint32_t call_kind(bool library) { return library ? stack::kind::call : stack::kind::eval_call; }

inline bool function_type(uint32_t t) {
    return t == types::native || t == types::action || t == types::function || t == types::routine;
}
inline bool native_like(uint32_t t) { return t == types::native || t == types::action; }
inline bool traced(const code_position* c) { return trace.active && !(c && c->library); }

// --- the machine stack ------------------------------------------------------------------
// Calls check the machine stack against a floor kept well above the guard
// zone, so that building and raising the error still has room.

constexpr size_t machine_margin = 256 * 1024;
char* machine_floor = nullptr;  // the evaluator runs on one thread

char* compute_floor() {
    char* low = runtime::record.stack_low;
    size_t size = 0;
    if (!low) {
        pthread_attr_t attr;
        void* addr = nullptr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &addr, &size);
            pthread_attr_destroy(&attr);
        }
        low = static_cast<char*>(addr);
        if (!low) return reinterpret_cast<char*>(1);  // unknown: never trips
    } else if (runtime::record.stack_high) {
        size = static_cast<size_t>(runtime::record.stack_high - low);
    }
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer takes the runtime thread's stack to be smaller than the
    // one reserved (about 78 MB) and reports false faults below what it
    // knows: a sanitized build stays within the top 64 MB.
    constexpr size_t sanitized_stack = size_t{64} << 20;
    if (size > sanitized_stack) {
        low += size - sanitized_stack;
        size = sanitized_stack;
    }
#endif
    const size_t margin = size ? std::min(machine_margin, size / 4) : machine_margin;
    return low + margin;
}

inline signal_code check_machine_stack() {
    char* here = static_cast<char*>(__builtin_frame_address(0));
    if (!machine_floor) [[unlikely]] machine_floor = compute_floor();
    if (here < machine_floor) [[unlikely]] return stack::overflow_code();
    return signal_code::none;
}

// An interrupt the signal waiter left for the evaluator. SIGTERM ends the
// process as `quit` does; SIGINT during a console command is what `halt`
// does: the word halt-request thrown with the name console, which the
// console's `try-do` catches.
[[gnu::noinline, gnu::cold]] signal_code interrupted() {
    if (runtime::quit_requested.load()) {
        std_output::flush();
        ::_exit(143);
    }
    runtime::halt_requested.store(false);
    const kel_value value = *word::from_c_string("halt-request");
    const kel_value name = *word::from_c_string("console");
    // The throw leaves from a frame of its own, as the `throw` native does.
    stack::open_native_frame(word::from_c_string("halt"));
    return stack::raise_throw(&value, &name);
}

// One relaxed load, at every block evaluation (loop rounds and function
// bodies included).
inline signal_code poll_halt() {
    if (runtime::halt_requested.load(std::memory_order_relaxed)) [[unlikely]] return interrupted();
    return signal_code::none;
}

}  // namespace

signal_code poll_interrupt() { return poll_halt(); }

namespace {

// --- word lookup --------------------------------------------------------------------------

inline memory::buffer_header* header_of(uint32_t node) { return memory::buffer_of(node); }

// What fast_slot last found for a word, by context node and index: for a
// heap context the value slot itself, for a stack context the context's cell
// (its slot moves with every call; the cell says where the values start).
// Both stay where they are while no buffer moves and no node is freed
// (memory::root.moves). A heap context's values node is fixed when it is
// made and its words only grow, so an index found inside stays inside.
struct slot_entry {
    uint32_t ctx;
    uint32_t index;
    uint64_t moves;
    bool stack;
    bool plain;     // a stack context or one no object owns: no change handler hears a store
    kel_value* at;  // the slot, or the stack context's cell
};
// Multiplicative hashing of both halves spreads the words of one context
// (consecutive indexes) over the table; a direct-mapped table this size
// keeps a program's hot words apart, where a collision would cost the slow
// path at every step.
constexpr uint32_t slot_cache_bits = 10;
slot_entry slot_cache[uint32_t{1} << slot_cache_bits];

inline slot_entry& slot_entry_for(uint32_t ctx, uint32_t index) {
    return slot_cache[(ctx * 0x9E3779B1u + index * 0x85EBCA77u) >> (32 - slot_cache_bits)];
}

// The slot of `index` in a stack context whose cell is c (null when it is
// not running or the slot lies past the stack).
inline kel_value* stack_slot(const kel_value* c, int32_t index) {
    if (c->w2 == 0) return nullptr;
    kel_value* v = stack::bottom() + (c->w2 - 1) + index;
    return v < stack::regs.limit ? v : nullptr;
}

// The value slot of a bound word, or null when the fast path cannot tell;
// with `plain`, also whether a store there is plain (see slot_entry).
[[gnu::always_inline]] inline kel_value* fast_slot(const kel_value* w, bool* plain = nullptr) {
    const uint32_t ctx = w->w1;
    const int32_t index = static_cast<int32_t>(w->w3);
    // No entry is ever kept for an unbound word or a negative index, so a
    // hit needs no check of its own (an entry never written holds no slot).
    slot_entry& e = slot_entry_for(ctx, static_cast<uint32_t>(index));
    if (e.ctx == ctx && e.index == static_cast<uint32_t>(index) && e.moves == memory::root.moves) [[likely]] {
        if (plain) *plain = e.plain;
        return e.stack ? stack_slot(e.at, index) : e.at;
    }
    if (ctx == 0 || index < 0) return nullptr;
    kel_value* const c = reinterpret_cast<kel_value*>(header_of(ctx)->head_ptr());
    // Kept only with decoding on: KEL_NO_DECODE=1 runs every lookup in full,
    // which the random-program driver compares against.
    if (c->header & header_context_stack) {
        if (decode::enabled) [[likely]]
            e = slot_entry{ctx, static_cast<uint32_t>(index), memory::root.moves, true, true, c};
        if (plain) *plain = true;
        return stack_slot(c, index);
    }
    if (c->w2 == 0) return nullptr;
    memory::buffer_header* h = header_of(c->w2);
    if (static_cast<uint32_t>(index) >= h->used() / 16) return nullptr;
    kel_value* const slot = reinterpret_cast<kel_value*>(h->head_ptr()) + index;
    const bool owned = _context::kind_of(c) == _context::kind_object;
    if (decode::enabled) [[likely]]
        e = slot_entry{ctx, static_cast<uint32_t>(index), memory::root.moves, false, !owned, slot};
    if (plain) *plain = !owned;
    return slot;
}

// The value slot of a word; the errors of an unbound word or a context
// without values come from the context module.
inline kel_value* lookup(const kel_value* w) {
    if (kel_value* v = fast_slot(w)) [[likely]] return v;
    return _context::get_bound(w);
}

// --- code positions ------------------------------------------------------------------------

inline int32_t tail_index(uint32_t node) { return static_cast<int32_t>(header_of(node)->used() / 16); }

inline void position_at(const kel_value* block, code_position& c) {
    c.block = *block;
    memory::buffer_header* h = header_of(series_node(block));
    const int32_t tail = static_cast<int32_t>(h->used() / 16);
    const int32_t head = series_head(block);
    c.pos = head < 0 ? 0 : (head > tail ? tail : head);
    c.end = tail;
    c.library = (h->flags & memory::flag_library) != 0;
}

}  // namespace

code_position position_of(const kel_value* block) {
    code_position c;
    position_at(block, c);
    return c;
}

int32_t end_of(const code_position& c) { return std::min(c.end, tail_index(series_node(&c.block))); }

kel_value* cell_at(const code_position& c, int32_t index) {
    return reinterpret_cast<kel_value*>(header_of(series_node(&c.block))->head_ptr()) + index;
}

// --- the argument cache ----------------------------------------------------------------------

namespace {

inline kel_value* cells_of(uint32_t node) { return reinterpret_cast<kel_value*>(header_of(node)->head_ptr()); }

// The spec a value's calls are checked against: a native's or action's table
// spec when the table has one, else the value's own.
kel_value call_spec(const kel_value* fn) {
    const uint32_t t = type_of(fn);
    const int32_t number = static_cast<int32_t>(fn->w1);
    const kel_value* table_spec = t == types::native   ? natives::native_spec(number)
                                  : t == types::action ? natives::action_spec(number)
                                                       : nullptr;
    return table_spec ? *table_spec : function::spec_of(fn);
}

// The entries of a spec, in order, as the cache holds them: each call of
// `entry` gets the entry's kind (word type, set-word for `return:`,
// refinement), the spec cell's index, and the index of its type block (-1).
// The walk stops at /local and answers the /local count (0 without one, -1
// when there is no /local at all).
template <class F>
int32_t walk_spec(const kel_value& spec, F entry) {
    const uint32_t node = series_node(&spec);
    const uint32_t local = symbol::resolve(word_symbol(&words::ref_local));
    int32_t i = std::max(series_head(&spec), 0);
    if (i < tail_index(node) && type_of(cells_of(node) + i) == types::block) ++i;  // the attribute block
    for (; i < tail_index(node); ++i) {
        const kel_value c = *(cells_of(node) + i);
        const uint32_t t = type_of(&c);
        const bool typed = i + 1 < tail_index(node) && type_of(cells_of(node) + i + 1) == types::block;
        if (in_family(t, family::word)) {
            entry(t, i, typed ? i + 1 : -1);
            if (typed) ++i;
        } else if (t == types::refinement) {
            if (symbol::resolve(word_symbol(&c)) == local) return function::count_locals(node, i, false);
            entry(t, i, -1);
        }
    }
    return -1;
}

// Builds the cache from the spec and stores it in auxiliary cell 1.
kel_value build_cache(const kel_value* fn_in) {
    const kel_value fn = *fn_in;
    const bool natives_like = native_like(type_of(&fn));
    const kel_value spec = call_spec(&fn);
    kel_value* held_spec = stack::push_copy(&spec);
    kel_value* cache = block::push_only_star(std::max(block::ks_length_q(&spec), 0) + 1);
    int32_t slot = 0, frame = 0;
    const int32_t locals = walk_spec(*held_spec, [&](uint32_t t, int32_t i, int32_t types_at) {
        const kel_value c = *(cells_of(series_node(held_spec)) + i);
        if (t == types::refinement) {
            kel_value r = c;
            clear_new_line(&r);
            r.w3 = static_cast<uint32_t>(natives_like ? ++slot : frame);
            ++frame;
            block::ks_add(cache, &r);
            return;
        }
        uint32_t cls = 0;
        if (t == types::set_word) {
            if (symbol::resolve(word_symbol(&c)) != symbol::resolve(words::return_))
                fire(error_category::script, "bad-func-def", &c);
            cls = class_return;
        } else {
            cls = t == types::get_word ? class_get : t == types::lit_word ? class_lit : 0;
            ++frame;
        }
        kel_value* entry;
        if (types_at >= 0) {
            const kel_value types_block = *(cells_of(series_node(held_spec)) + types_at);
            entry = typeset::make_from_spec(cache, &types_block);
        } else {
            entry = typeset::make_untyped_arg(cache);
        }
        entry->header = types::typeset | cls;
    });
    if (natives_like && slot > static_cast<int32_t>(sizeof(refinements::at) / sizeof(int32_t)))
        fire(error_category::internal, "not-done");
    // The spec block is the script's own and may have been changed since the
    // function was made: a frame it no longer lays out word for word would
    // put the arguments in the wrong cells, so such a call is refused.
    if (type_of(&fn) == types::function && frame + std::max(locals, 0) != _context::length(fn.w1))
        fire(error_category::script, "bad-func-def", held_spec);
    kel_value count;
    if (!natives_like && locals >= 0) {
        set_integer(&count, locals);
        block::ks_add(cache, &count);
    } else if (natives_like && slot > 0) {
        set_integer(&count, slot);
        block::ks_add(cache, &count);
    }
    const kel_value made = *cache;
    *function::more_cell(&fn, function::more::cache) = made;
    stack::regs.top = held_spec;
    return made;
}

}  // namespace

kel_value cache_of(const kel_value* fn) {
    const kel_value* c = function::more_cell(fn, function::more::cache);
    if (type_of(c) == types::block) [[likely]] return *c;
    return build_cache(fn);
}

void argument_word(const kel_value* fn, int32_t index, kel_value* out) {
    const kel_value spec = call_spec(fn);
    int32_t n = 0;
    bool found = false;
    walk_spec(spec, [&](uint32_t, int32_t i, int32_t) {
        if (n++ != index || found) return;
        found = true;
        *out = *(cells_of(series_node(&spec)) + i);
        out->header = types::word;
    });
    if (!found) *out = *word::from_c_string("value");
}

// --- tracing -------------------------------------------------------------------------------

namespace {

const kel_value* event_word(uint32_t e) {
    switch (e) {
        case event::init: return &words::_init;
        case event::end: return &words::_end;
        case event::prolog: return &words::_prolog;
        case event::epilog: return &words::_epilog;
        case event::enter: return &words::_enter;
        case event::exit: return &words::_exit;
        case event::open: return &words::_open;
        case event::return_: return &words::_return;
        case event::fetch: return &words::_fetch;
        case event::push: return &words::_push;
        case event::set: return &words::_set;
        case event::call: return &words::_call;
        case event::error: return &words::_error;
        case event::throw_: return &words::_throw;
        case event::catch_: return &words::_catch;
        default: return &words::_expr;
    }
}

// Pushes the frame of a call from C++: the argument values in order (none!
// for the missing ones, type-checked), false and none! for refinements and
// their arguments, then the /local cells. `unset_as_none`: an unset! value
// goes to an argument that does not take unset! (an untyped one) as none!.
// Answers how many of `args` it placed (the first cells of the frame).
int32_t push_fixed_frame(const kel_value* fn, const kel_value* name, const kel_value* args, int32_t count,
                         bool unset_as_none = false) {
    const kel_value cache = cache_of(fn);
    const int32_t n = block::ks_length_q(&cache);
    int32_t k = 0, entry_index = 0;
    bool in_refinement = false;
    for (int32_t i = 0; i < n; ++i) {
        const kel_value e = *block::ks_abs_at(&cache, i);
        const uint32_t t = type_of(&e);
        if (t == types::refinement) {
            set_logic(stack::alloc_cell(), false);
            in_refinement = true;
            ++entry_index;
        } else if (t == types::typeset) {
            const bool ret = (e.header & class_mask) == class_return;
            ++entry_index;
            if (ret) continue;
            kel_value* cell = stack::alloc_cell();
            if (in_refinement || k >= count) {
                set_none(cell);
                continue;
            }
            *cell = args[k++];
            if (unset_as_none && type_of(cell) == types::unset && !typeset_has(&e, types::unset)) set_none(cell);
            if (!typeset_has(&e, type_of(cell))) {
                kel_value datatype, word;
                set_datatype(&datatype, type_of(cell));
                argument_word(fn, entry_index - 1, &word);
                fire(error_category::script, "expect-arg", name, &datatype, &word);
            }
        } else if (t == types::integer && !native_like(type_of(fn)) && get_integer(&e) > 0) {
            function::push_unused_refinement(get_integer(&e));
        }
    }
    return k;
}

struct tracing_off {
    bool saved;
    tracing_off() : saved(trace.active) { trace.active = false; }
    ~tracing_off() { trace.active = saved; }
};

}  // namespace

uint32_t trace_mask(const kel_value* callback) {
    const kel_value body = *function::more_cell(callback, function::more::body);
    if (type_of(&body) != types::block || block::ks_length_q(&body) <= 0) return event::default_mask;
    const kel_value first = *block::ks_abs_at(&body, series_head(&body));
    if (type_of(&first) != types::block) return event::default_mask;
    uint32_t mask = 0;
    const int32_t n = block::ks_length_q(&first);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* w = block::ks_abs_at(&first, series_head(&first) + i);
        if (type_of(w) != types::word) continue;
        const uint32_t s = symbol::resolve(word_symbol(w));
        for (uint32_t bit = 1; bit <= event::expr; bit <<= 1)
            if (symbol::resolve(word_symbol(event_word(bit))) == s) mask |= bit;
    }
    return mask;
}

void start_tracing(const kel_value* callback) {
    const kel_value cb = *callback;
    trace.callback = cb;  // kept for the collector by each_root
    trace.mask = trace_mask(&cb);
    trace.locals = function::count_locals(cb.w2, 0, false);
    trace.active = true;
}

void stop_tracing() {
    trace.active = false;
    set_unset(&trace.callback);
}

void notify_tracer(uint32_t ev, const kel_value* code, int32_t pos, const kel_value* ref, const kel_value* value) {
    if (!(trace.mask & ev) || type_of(&trace.callback) != types::function) return;
    kel_value* saved_base = stack::arguments();
    (void)stack::alloc_cell();  // the value just produced stays below
    kel_value* saved_top = stack::top();
    const kel_value cb = trace.callback;
    kel_value args[6];
    args[0] = *event_word(ev);
    if (code) args[1] = *code;
    else set_none(&args[1]);
    int32_t offset = -1;
    if (code && pos >= 0) {
        const int32_t head = series_head(code);
        const int32_t tail = tail_index(series_node(code));
        if (pos >= head && pos <= tail) offset = pos - head;
    }
    set_integer(&args[2], offset);
    if (value && type_of(value) != types::none_id) args[3] = *value;
    else set_none(&args[3]);
    const bool with_ref = ev == event::set || ev == event::epilog || ev == event::prolog || ev == event::return_ ||
                          ev == event::call;
    if (with_ref && ref) args[4] = *ref;
    else set_none(&args[4]);
    set_pair(&args[5], static_cast<int32_t>(stack::offset_of(saved_base)),
             static_cast<int32_t>(stack::offset_of(saved_top) - 1));
    signal_code c;
    {
        // Off from the frame's opening: an error there (a full mark stack, an
        // argument the callback refuses) must not call the tracer again.
        tracing_off off;
        stack::open_call_frame(&words::_interp_callback, cb.w1, stack::kind::eval_call);
        push_fixed_frame(&cb, &words::_interp_callback, args, 6, true);
        const kel_value* object = function::more_cell(&cb, function::more::object);
        const uint32_t owner = type_of(object) == types::integer ? static_cast<uint32_t>(get_integer(object)) : 0;
        c = call_function_body(&cb, owner, &words::_interp_callback, 0);
    }
    if (c != signal_code::none) stack::throw_code(c);
    stack::close_call_frame();
    stack::regs.top = saved_top - 1;
    stack::regs.arguments = saved_base;
}

void trace_init() {
    if (trace.active) notify_tracer(event::init, nullptr, -1, nullptr, nullptr);
}
void trace_end() {
    if (trace.active) notify_tracer(event::end, nullptr, -1, nullptr, nullptr);
}
void trace_throw() {
    if (trace.active) notify_tracer(event::throw_, nullptr, -1, nullptr, stack::arguments());
}
void trace_catch() {
    if (trace.active) notify_tracer(event::catch_, nullptr, -1, nullptr, stack::arguments());
}
void trace_call(const kel_value* name, const kel_value* fn) {
    if (trace.active) notify_tracer(event::call, nullptr, -1, name, fn);
}
void trace_return(const kel_value* name) {
    if (trace.active) notify_tracer(event::return_, nullptr, -1, name, stack::arguments());
}

// --- evaluation ------------------------------------------------------------------------------

namespace {


// The chain of live code positions: every evaluation of user code (library
// code is left out) links its position on entry and unlinks it however it
// ends, and notes where each expression starts. Nothing is copied per block
// or per expression; `near` is made from the innermost link only when an
// error is built. The links live in the evaluating frames (the position's
// block cell keeps its node reachable through the machine-stack scan).
struct live_code {
    const code_position* c;
    int32_t start;  // the cell index of the expression running
    live_code* outer;
};
live_code* innermost_code = nullptr;

// (The compiler cannot see that the destructor unlinks what enter links.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
struct live_link {
    live_code link;
    bool linked = false;
    explicit live_link(const code_position* c) : link{c, c->pos, innermost_code} {}
    void enter() {
        innermost_code = &link;
        linked = true;
    }
    ~live_link() {
        if (linked) innermost_code = link.outer;
    }
    live_link(const live_link&) = delete;
    live_link& operator=(const live_link&) = delete;
};
#pragma GCC diagnostic pop

inline void push_value(const kel_value* v) { *stack::alloc_cell() = *v; }

// The cells of the code and its end as they are now: read once per step (an
// evaluation may grow, move or shrink the block).
struct code_view {
    kel_value* cells;
    int32_t end;
    memory::buffer_header* h;
};
inline code_view view_of(const code_position& c) {
    memory::buffer_header* h = header_of(series_node(&c.block));
    const int32_t tail = static_cast<int32_t>(h->used() / 16);
    return code_view{reinterpret_cast<kel_value*>(h->head_ptr()), c.end < tail ? c.end : tail, h};
}

constexpr uint64_t bit(uint32_t t) { return uint64_t{1} << t; }
// Values of words that are not simply pushed.
constexpr uint64_t word_special = bit(types::unset) | bit(types::op) | bit(types::native) | bit(types::action) |
                                  bit(types::function) | bit(types::routine);

signal_code apply_infix(code_position& c, kel_value* entry, const kel_value* first);
signal_code invoke_word(const kel_value& fn, code_position& c, const kel_value* name);
signal_code step_special(code_position& c, const kel_value& v, kel_value* entry, bool literal);

// Is the cell at the position an operator's word? (the infix lookahead, over
// a view still valid: nothing allocated since it was taken)
[[gnu::always_inline]] inline const kel_value* operator_in(const code_view& cv, int32_t pos) {
    if (pos >= cv.end) return nullptr;
    const kel_value* next = cv.cells + pos;
    if (type_of(next) != types::word) return nullptr;
    const kel_value* value = fast_slot(next);
    if (!value) value = word_ops::value_or_null(next);
    return value && type_of(value) == types::op ? value : nullptr;
}
inline const kel_value* operator_at(const code_position& c) { return operator_in(view_of(c), c.pos); }
// The same where an expression often ends its code (a paren, a branch):
// past the position's own end there is nothing to read.
inline const kel_value* operator_after(const code_position& c) { return c.pos < c.end ? operator_at(c) : nullptr; }

}  // namespace

namespace {
signal_code eval_block_body(const kel_value* block, bool set_last);
signal_code run_frames(const kel_value* block, bool set_last);
bool quick_block_call(const kel_value* block, bool set_last, signal_code* code, bool loop_body = false);
void mark_frames(void (*mark)(kel_value* cell));
}

// While a tracer runs, a control code out of its callback leaves
// notify_tracer as an exception, its receiver's mark already reached. It
// becomes a returned code again here, at the edge of the block being
// evaluated, so that the native evaluating the block (a loop receiving a
// break) gets it as its result rather than over its head, its own frame
// skipped and its mark left open.
signal_code eval_block(const kel_value* block, bool set_last) {
    if (trace.active) [[unlikely]]
        return stack::catch_code([&] { return eval_block_body(block, set_last); });
    return eval_block_body(block, set_last);
}

namespace {
signal_code eval_block_body(const kel_value* block, bool set_last) {
    KEL_PROPAGATE(check_machine_stack());
    KEL_PROPAGATE(poll_halt());
    if (!trace.active && decode::enabled) [[likely]] {
        // No events to fire: the mark around the frame loop.
        const bool library = (header_of(series_node(block))->flags & memory::flag_library) != 0;
        stack::open_frame(&words::_body, eval_kind(library));
        KEL_PROPAGATE(run_frames(block, true));
        if (set_last) stack::close_frame_set_last();
        else stack::close_frame();
        return signal_code::none;
    }
    code_position c = position_of(block);
    live_link here(&c);  // linked from the first expression to the end, exit event included
    stack::open_frame(&words::_body, eval_kind(c.library));
    if (traced(&c)) [[unlikely]] notify_tracer(event::enter, &c.block, c.pos, nullptr, nullptr);
    if (c.pos >= c.end) {
        set_unset(stack::arguments());
    } else if (c.library) {
        for (;;) {
            KEL_PROPAGATE(step_expression(c, false, false, false));
            if (c.pos >= end_of(c)) break;
            stack::rewind();
        }
    } else {
        here.enter();
        for (;;) {
            here.link.start = c.pos;
            KEL_PROPAGATE(step_expression(c, false, false, false));
            if (c.pos >= end_of(c)) break;
            stack::rewind();
        }
    }
    if (traced(&c)) [[unlikely]] notify_tracer(event::exit, &c.block, end_of(c), nullptr, stack::arguments());
    if (set_last) stack::close_frame_set_last();
    else stack::close_frame();
    return signal_code::none;
}
}  // namespace

signal_code eval_in_place(const kel_value* block, bool set_last) {
    if (trace.active) [[unlikely]] return eval_block(block, set_last);
    KEL_PROPAGATE(check_machine_stack());
    KEL_PROPAGATE(poll_halt());
    if (decode::enabled) [[likely]] {
        signal_code code = signal_code::none;
        if (quick_block_call(block, set_last, &code)) return code;
        return run_frames(block, set_last);
    }
    code_position c;
    position_at(block, c);
    kel_value* const entry = stack::top();
    if (c.pos >= c.end) {
        set_unset(stack::alloc_cell());
    } else if (c.library) {
        for (;;) {
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (c.pos >= end_of(c)) break;
            stack::regs.top = entry;
        }
    } else {
        live_link here(&c);
        here.enter();
        for (;;) {
            here.link.start = c.pos;
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (c.pos >= end_of(c)) break;
            stack::regs.top = entry;
        }
    }
    if (set_last) *stack::arguments() = *entry;
    return signal_code::none;
}

signal_code eval_next(code_position& c, bool push) {
    stack::open_frame(&words::_body, native_kind(c.library));
    KEL_PROPAGATE(step_expression(c, false, true, false));
    if (push) stack::close_frame();
    else stack::close_frame_set_last();
    return signal_code::none;
}

signal_code eval_next_at(const kel_value* block, int32_t* head) {
    code_position c = position_of(block);
    *head = c.pos;
    if (c.pos >= end_of(c)) {
        stack::push_unset();
        return signal_code::none;
    }
    KEL_PROPAGATE(eval_next(c, true));
    *head = c.pos;
    return signal_code::none;
}

signal_code step_expression(code_position& c, bool no_infix, bool push, bool literal) {
    kel_value* const entry = stack::top();
    code_view cv = view_of(c);
    bool view_valid = true;  // nothing has allocated since the view was taken
    const kel_value v = cv.cells[c.pos];
    if (trace.active) [[unlikely]] {
        if (!c.library) notify_tracer(event::fetch, &c.block, c.pos, nullptr, &v);
    }
    const uint32_t t = type_of(&v);
    if (t == types::word) {
        ++c.pos;
        const kel_value* value = lookup(&v);
        const uint32_t vt = type_of(value);
        if (!(word_special & bit(vt))) [[likely]] {
            push_value(value);
            if (trace.active) [[unlikely]] {
                if (!c.library) notify_tracer(event::push, &c.block, c.pos, nullptr, entry);
            }
        } else if (vt == types::unset) {
            return fail(error_category::script, "no-value", &v);
        } else if (vt == types::op) {
            return fail(error_category::script, "no-op-arg", &v);
        } else {
            const kel_value fn = *value;
            view_valid = false;
            if (decode::enabled && !trace.active) [[likely]] KEL_PROPAGATE(invoke_word(fn, c, &v));
            else KEL_PROPAGATE(invoke_value(&fn, &c, true, nullptr, &v, &fn, mode::plain, false));
        }
    } else if (plain_data(t)) {
        ++c.pos;
        push_value(&v);
        if (trace.active) [[unlikely]] {
            if (!c.library) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
        }
    } else {
        view_valid = false;
        KEL_PROPAGATE(step_special(c, v, entry, literal));
    }
    if (!no_infix) {
        if (!view_valid) cv = view_of(c);
        if (const kel_value* op = operator_in(cv, c.pos)) KEL_PROPAGATE(apply_infix(c, entry, op));
    }
    if (!push) {
        if (entry != stack::arguments()) *stack::arguments() = *entry;
        if (trace.active) [[unlikely]] {
            if (!c.library) notify_tracer(event::expr, &c.block, c.pos, nullptr, stack::arguments());
        }
    }
    return signal_code::none;
}

namespace {

// Assigns the value in the cell after `cells` to the set-word in `cells`
// and leaves the value in `cells` (word/set-from-arguments): a word of a
// function's frame or of a context no object owns is stored at once; the
// rest (objects with their change hooks, words without an index) go
// through the context module.
inline signal_code assign(kel_value* cells) {
    const kel_value* value = cells + 1;
    if (unset_q(value)) [[unlikely]] return fail(error_category::script, "need-value", cells);
    bool plain = false;
    if (kel_value* slot = fast_slot(cells, &plain); slot && plain) [[likely]] {
        *slot = *value;
        *cells = *value;
        return signal_code::none;
    }
    word::set_from_arguments();
    return signal_code::none;
}
// The common store (a word of a function's frame or of a context no object
// owns, so no change handler can run), done where it stands: nothing in it
// can throw, so the frame loop needs no catch around it. False: the caller
// leaves it all to assign or to the context module.
inline bool store_plain(const kel_value* word, const kel_value* value) {
    bool plain = false;
    kel_value* slot = fast_slot(word, &plain);
    if (!slot || !plain) [[unlikely]] return false;
    *slot = *value;
    return true;
}
inline bool assign_plain(kel_value* cells) {
    const kel_value* value = cells + 1;
    if (unset_q(value)) [[unlikely]] return false;
    if (!store_plain(cells, value)) return false;
    *cells = *value;
    return true;
}

// The expressions other than words and plain data.
[[gnu::noinline]] signal_code step_special(code_position& c, const kel_value& v, kel_value* entry, bool literal) {
    switch (type_of(&v)) {
        case types::set_word: {
            stack::open_frame(&v, native_kind(c.library));
            push_value(&v);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos, nullptr, &v);
            ++c.pos;
            if (c.pos >= end_of(c)) return fail(error_category::script, "need-value", &v);
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (traced(&c)) notify_tracer(event::set, &c.block, c.pos, &v, stack::argument(2));
            // An object's change handler may run: a code out of it comes wrapped.
            KEL_PROPAGATE(stack::catch_code([] { return assign(stack::arguments()); }));
            stack::close_frame();
            break;
        }
        case types::set_path: {
            if (c.pos + 1 >= end_of(c)) return fail(error_category::script, "need-value", &v);
            stack::open_frame(c.library ? &eval_set_path_word : &words::_set_path, native_kind(c.library));
            ++c.pos;
            KEL_PROPAGATE(step_expression(c, false, true, false));
            if (traced(&c)) notify_tracer(event::set, &c.block, c.pos, &v, stack::arguments());
            const kel_value value = *stack::arguments();
            KEL_PROPAGATE(walk_path(&v, &c, walk::set | walk::push, &value));
            stack::set_last_only(&value);
            stack::close_frame();
            break;
        }
        case types::get_word: {
            ++c.pos;
            push_value(lookup(&v));
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            break;
        }
        case types::lit_word: {
            ++c.pos;
            kel_value* cell = stack::alloc_cell();
            *cell = v;
            set_type(cell, types::word);
            clear_new_line(cell);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, cell);
            break;
        }
        case types::paren: {
            ++c.pos;
            KEL_PROPAGATE(eval_in_place(&v, false));
            break;
        }
        case types::path:
        case types::get_path: {
            ++c.pos;
            KEL_PROPAGATE(walk_path(&v, &c, type_of(&v) == types::get_path ? walk::get | walk::push : walk::push));
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos, nullptr, entry);
            break;
        }
        case types::lit_path: {
            ++c.pos;
            kel_value* cell = stack::alloc_cell();
            *cell = v;
            set_type(cell, types::path);
            cell->w3 = 0;
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, cell);
            break;
        }
        case types::op: fire(error_category::internal, "not-done");
        case types::native:
        case types::action:
        case types::function:
        case types::routine: {
            ++c.pos;
            if (literal) {
                push_value(&v);
                if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            } else {
                KEL_PROPAGATE(invoke_value(&v, &c, true, nullptr, nullptr, &v, mode::plain, false));
            }
            break;
        }
        case types::issue: {
            if (c.pos + 1 < end_of(c) && type_of(cell_at(c, c.pos + 1)) == types::block) {
                const uint32_t s = symbol::resolve(word_symbol(&v));
                if (s == symbol::resolve(words::system) || s == symbol::resolve(words::system_global))
                    fire(error_category::internal, "kel-system");
            }
            ++c.pos;
            push_value(&v);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            break;
        }
        default: {
            ++c.pos;
            push_value(&v);
            if (traced(&c)) notify_tracer(event::push, &c.block, c.pos - 1, nullptr, entry);
            break;
        }
    }
    return signal_code::none;
}

// --- operators --------------------------------------------------------------------------------
// An operator made from add, subtract, multiply or remainder, or from a native naming a
// comparison, is applied inline to two integer! operands (and the arithmetic
// to two float! operands) when nothing is being traced: the right operand is
// evaluated exactly as the call would fetch it, and only when the operands
// need the general call is the call made (with both operands in place).

enum class inline_op : uint8_t { none, add, subtract, multiply, remainder, compare };

[[gnu::always_inline]] inline inline_op inline_kind(const kel_value& op, int32_t* compare) {
    const uint32_t wrapped = native::wrapped_type(&op);
    if (wrapped == types::action) {
        switch (op.w1) {
            case act::add: return inline_op::add;
            case act::subtract: return inline_op::subtract;
            case act::multiply: return inline_op::multiply;
            case act::remainder: return inline_op::remainder;
            default: return inline_op::none;
        }
    }
    if (wrapped == types::native) {
        const natives::entry& e = natives::at(static_cast<int32_t>(op.w1));
        if (e.fast == natives::fast_path::compare) {
            *compare = e.fast_code;
            return inline_op::compare;
        }
    }
    return inline_op::none;
}

// Applies the operator to the two cells when their types allow; answers
// false otherwise (nothing written).
[[gnu::always_inline]] inline bool apply_inline(inline_op kind, int32_t compare, kel_value* left, const kel_value* right) {
    const uint32_t tl = type_of(left), tr = type_of(right);
    if (tl == types::integer && tr == types::integer) {
        const int32_t x = get_integer(left), y = get_integer(right);
        int32_t r;
        switch (kind) {
            case inline_op::add:
                if (__builtin_add_overflow(x, y, &r)) set_float(left, static_cast<double>(x) + static_cast<double>(y));
                else set_integer(left, r);
                return true;
            case inline_op::subtract:
                if (__builtin_sub_overflow(x, y, &r)) set_float(left, static_cast<double>(x) - static_cast<double>(y));
                else set_integer(left, r);
                return true;
            case inline_op::multiply:
                if (__builtin_mul_overflow(x, y, &r)) set_float(left, static_cast<double>(x) * static_cast<double>(y));
                else set_integer(left, r);
                return true;
            case inline_op::remainder:
                // The division errors are the call's to raise.
                if (y == 0 || (y == -1 && x == INT32_MIN)) return false;
                set_integer(left, x % y);
                return true;
            case inline_op::compare: {
                bool b;
                switch (compare) {
                    case cmp::equal:
                    case cmp::strict_equal: b = x == y; break;
                    case cmp::not_equal: b = x != y; break;
                    case cmp::lesser: b = x < y; break;
                    case cmp::lesser_or_equal: b = x <= y; break;
                    case cmp::greater: b = x > y; break;
                    case cmp::greater_or_equal: b = x >= y; break;
                    default: return false;
                }
                set_logic(left, b);
                return true;
            }
            default: return false;
        }
    }
    if (tl == types::float_ && tr == types::float_) {
        const double x = get_float(left), y = get_float(right);
        switch (kind) {
            case inline_op::add: set_float(left, x + y); return true;
            case inline_op::subtract: set_float(left, x - y); return true;
            case inline_op::multiply: set_float(left, x * y); return true;
            default: return false;
        }
    }
    return false;
}

// The right operand an inline operator takes as it stands: a number, or a
// word whose value is one (a lookup, nothing to evaluate). Null otherwise.
[[gnu::always_inline]] inline const kel_value* number_operand(const kel_value* v) {
    if (type_of(v) == types::word) {
        const kel_value* slot = fast_slot(v);
        if (!slot) return nullptr;
        v = slot;
    }
    const uint32_t t = type_of(v);
    return t == types::integer || t == types::float_ ? v : nullptr;
}

[[gnu::noinline]] signal_code apply_infix(code_position& c, kel_value* entry, const kel_value* first) {
    for (const kel_value* value = first; value;) {
        const kel_value op = *value;
        int32_t compare = 0;
        inline_op kind = inline_op::none;
        if (traced(&c)) [[unlikely]] {
            const kel_value op_word = *cell_at(c, c.pos);
            notify_tracer(event::fetch, &c.block, c.pos, nullptr, &op_word);
        } else {
            kind = inline_kind(op, &compare);
        }
        ++c.pos;
        if (kind != inline_op::none) {
            const code_view cv = view_of(c);
            if (c.pos < cv.end) {
                // The right operand, fetched as the call would (no infix).
                if (const kel_value* right = number_operand(cv.cells + c.pos)) {
                    if (apply_inline(kind, compare, entry, right)) {
                        ++c.pos;
                        value = operator_in(cv, c.pos);  // nothing allocated: the view holds
                        continue;
                    }
                } else {
                    const kel_value op_word = cv.cells[c.pos - 1];
                    stack::regs.top = entry + 1;
                    // The operator's mark is open while its operand is
                    // evaluated, as its call would have it (an error there
                    // is the operator's).
                    stack::open_frame(&op_word, native_kind(c.library));
                    KEL_PROPAGATE(step_expression(c, true, true, false));
                    stack::close_frame();
                    if (apply_inline(kind, compare, entry, entry + 1)) {
                        stack::regs.top = entry + 1;
                        value = operator_at(c);
                        continue;
                    }
                    // Both operands in place: the general call.
                    kel_value fn = op;
                    fn.header = native::wrapped_type(&op);
                    stack::regs.top = entry;
                    KEL_PROPAGATE(invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true, true));
                    value = operator_at(c);
                    continue;
                }
            }
        }
        const kel_value op_word = *cell_at(c, c.pos - 1);
        kel_value fn = op;
        fn.header = native::wrapped_type(&op);
        stack::regs.top = entry;
        KEL_PROPAGATE(invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true));
        value = operator_at(c);
    }
    return signal_code::none;
}

// --- argument fetching ---------------------------------------------------------------------

struct call {
    kel_value fn;
    kel_value name;
    uint32_t cache;  // node of the argument cache
    uint32_t type;
    bool natives_like;
    bool infix;
    bool right_ready;  // infix with the right operand already evaluated
    int32_t mode;
    kel_value* base;
    code_position* c;
    const kel_value* path;
    const kel_value* name_in;
    int32_t open_pos;  // the code position when the call opened (its site)
    refinements refs;
};

inline kel_value* cache_cells(const call& k) { return cells_of(k.cache); }
inline kel_value cache_entry(const call& k, int32_t i) { return cache_cells(k)[i]; }
inline int32_t cache_length(const call& k) { return tail_index(k.cache); }

// The call site (trace events): the name given in an apply, else the calling
// cell (the word before the position the call opened at: once the arguments
// are fetched the cell before the position is the last argument), else the path.
kel_value site_of(const call& k) {
    kel_value site;
    const bool in_code = k.c && k.open_pos > 0 && k.open_pos <= end_of(*k.c);
    if (k.mode != mode::plain && k.name_in) {
        site = *k.name_in;
    } else if (k.path) {
        // A method call's path comes positioned at the function's element
        // (the rest are its refinements); its site is the path as written.
        site = *k.path;
        if (in_code) {
            const kel_value* written = cell_at(*k.c, k.open_pos - 1);
            if (type_of(written) == types::path && series_node(written) == series_node(k.path)) site = *written;
        }
    } else if (in_code) {
        site = *cell_at(*k.c, k.open_pos - 1);
    } else {
        set_none(&site);
    }
    return site;
}

[[gnu::noinline]] signal_code expect_arg(const call& k, int32_t entry_index, const kel_value* value) {
    kel_value datatype, word;
    set_datatype(&datatype, type_of(value));
    argument_word(&k.fn, entry_index, &word);
    return fail(error_category::script, "expect-arg", &k.name, &datatype, &word);
}

inline signal_code check_type(const call& k, int32_t entry_index, const kel_value* value) {
    if (!typeset_has(cache_cells(k) + entry_index, type_of(value))) [[unlikely]]
        return expect_arg(k, entry_index, value);
    return signal_code::none;
}

inline bool at_end(const call& k) { return !k.c || k.c->pos >= end_of(*k.c); }

[[gnu::noinline]] signal_code no_arg(const call& k, int32_t entry_index) {
    kel_value word;
    argument_word(&k.fn, entry_index, &word);
    return fail(error_category::script, "no-arg", &k.name, &word);
}

// A get-word or lit-word argument.
[[gnu::noinline]] signal_code fetch_quoted(call& k, uint32_t cls) {
    code_position& c = *k.c;
    const kel_value v = *cell_at(c, c.pos);
    if (cls == class_get) {
        if (traced(&c)) notify_tracer(event::fetch, &c.block, c.pos, nullptr, &v);
        ++c.pos;
        push_value(&v);
        if (traced(&c)) notify_tracer(event::push, &c.block, c.pos, nullptr, &v);
        return signal_code::none;
    }
    ++c.pos;
    switch (type_of(&v)) {
        case types::paren:
            stack::open_frame(&words::_anon, native_kind(c.library));
            KEL_PROPAGATE(eval_block(&v, false));
            stack::close_frame();
            break;
        case types::get_word: push_value(lookup(&v)); break;
        case types::get_path: KEL_PROPAGATE(walk_path(&v, &c, walk::get | walk::push)); break;
        default: push_value(&v); break;
    }
    return signal_code::none;
}

// Fetches one argument of class `cls` from the code (pushed). An argument
// that is plain data, or a word whose value is, is taken at once, and the
// operators after it applied (what step_expression would do, without its
// events, which only fire while tracing).
[[gnu::always_inline]] inline signal_code fetch_one_inline(call& k, uint32_t cls, int32_t entry_index) {
    if (!k.c) [[unlikely]] return no_arg(k, entry_index);
    code_position& c = *k.c;
    const code_view cv = view_of(c);
    if (c.pos >= cv.end) [[unlikely]] return no_arg(k, entry_index);
    if (cls != 0) [[unlikely]] return fetch_quoted(k, cls);
    if (!(k.mode & mode::single) && !trace.active) [[likely]] {
        const kel_value* v = cv.cells + c.pos;
        const uint32_t t = type_of(v);
        const kel_value* value = nullptr;
        if (plain_data(t)) {
            value = v;
        } else if (t == types::word) {
            value = fast_slot(v);
            if (value && (word_special & bit(type_of(value)))) value = nullptr;
        }
        if (value) {
            kel_value* const entry = stack::top();
            push_value(value);
            ++c.pos;
            if (!k.infix) {
                if (const kel_value* op = operator_in(cv, c.pos)) return apply_infix(c, entry, op);
            }
            return signal_code::none;
        }
    }
    if (k.mode & mode::single) [[unlikely]] {
        const int32_t saved_end = c.end;
        c.end = std::min(c.end, c.pos + 1);
        KEL_PROPAGATE(step_expression(c, k.infix, true, false));
        c.end = saved_end;
        return signal_code::none;
    }
    return step_expression(c, k.infix, true, false);
}

// The same, called where a refinement or an apply mode fetches (the plain
// argument loop takes the inline one).
[[gnu::noinline]] signal_code fetch_one(call& k, uint32_t cls, int32_t entry_index) {
    return fetch_one_inline(k, cls, entry_index);
}

// Fetches a value and drops it (an argument of a refinement that is off).
signal_code fetch_and_drop(call& k, uint32_t cls, int32_t entry_index) {
    KEL_PROPAGATE(fetch_one(k, cls, entry_index));
    stack::drop_cells(1);
    return signal_code::none;
}

// The cache index of the refinement named by `element` (by canonical
// symbol), or -1.
int32_t find_refinement(const call& k, const kel_value* element) {
    const int32_t n = cache_length(k);
    // Spelled as in the spec, which is the usual case: no folding needed.
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* e = cache_cells(k) + i;
        if (type_of(e) == types::refinement && word_symbol(e) == word_symbol(element)) return i;
    }
    const uint32_t s = symbol::resolve(word_symbol(element));
    for (int32_t i = 0; i < n; ++i) {
        const kel_value e = cache_entry(k, i);
        if (type_of(&e) == types::refinement && symbol::resolve(word_symbol(&e)) == s) return i;
    }
    return -1;
}

// Uses one refinement named in the path or inline: sets it and fetches its
// arguments (or fetches and drops them when it is off).
signal_code use_refinement(call& k, int32_t index, bool on, const kel_value* dup_arg) {
    const kel_value r = cache_entry(k, index);
    if (k.natives_like) {
        const int32_t slot = static_cast<int32_t>(r.w3) - 1;
        if (k.refs.at[slot] != -1) return fail(error_category::script, "dup-refine", dup_arg);
        if (on) k.refs.at[slot] = static_cast<int32_t>(stack::top() - k.base);
    } else {
        kel_value* frame_cell = k.base + r.w3;
        if (type_of(frame_cell) == types::logic && get_logic(frame_cell))
            return fail(error_category::script, "dup-refine", dup_arg);
        set_logic(frame_cell, on);
    }
    int32_t cell_offset = static_cast<int32_t>(r.w3) + 1;
    const int32_t n = cache_length(k);
    for (int32_t i = index + 1; i < n; ++i) {
        const kel_value e = cache_entry(k, i);
        if (type_of(&e) != types::typeset) break;
        const uint32_t cls = e.header & class_mask;
        if (cls == class_return) continue;
        if (!on) {
            if (!(k.mode & mode::single)) KEL_PROPAGATE(fetch_and_drop(k, cls, i));
            ++cell_offset;
            continue;
        }
        KEL_PROPAGATE(fetch_one(k, cls, i));
        KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
        if (!k.natives_like) {
            k.base[cell_offset] = *(stack::top() - 1);
            stack::drop_cells(1);
        }
        ++cell_offset;
    }
    return signal_code::none;
}

int32_t refinement_total(const call& k) {
    const int32_t n = cache_length(k);
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        if (type_of(cache_cells(k) + i) == types::refinement) ++count;
    return count;
}

signal_code path_refinements(call& k) {
    const kel_value path = *k.path;
    const int32_t n = block::ks_length_q(&path);
    for (int32_t j = 1; j < n; ++j) {
        const kel_value element = *block::ks_abs_at(&path, series_head(&path) + j);
        bool on = true;
        if (type_of(&element) == types::get_word) {
            on = logic::truthy(lookup(&element));
        } else if (type_of(&element) != types::word) {
            if (refinement_total(k) == 0) break;
            return fail(error_category::script, "bad-refine", &element);
        }
        const int32_t index = find_refinement(k, &element);
        if (index < 0) return fail(error_category::script, "no-refine", &k.name, &element);
        KEL_PROPAGATE(use_refinement(k, index, on, &path));
    }
    return signal_code::none;
}

signal_code inline_refinements(call& k) {
    while (!at_end(k)) {
        code_position& c = *k.c;
        const kel_value element = *cell_at(c, c.pos);
        bool on = true;
        if (type_of(&element) == types::get_word) {
            ++c.pos;
            on = logic::truthy(lookup(&element));
        } else if (type_of(&element) == types::refinement) {
            ++c.pos;
            if (at_end(k)) {
                on = false;
            } else {
                KEL_PROPAGATE(step_expression(c, false, true, false));
                on = logic::truthy(stack::top() - 1);
                stack::drop_cells(1);
            }
        } else {
            return fail(error_category::script, "bad-refine", &element);
        }
        const int32_t index = find_refinement(k, &element);
        if (index < 0) return fail(error_category::script, "no-refine", &k.name, &element);
        KEL_PROPAGATE(use_refinement(k, index, on, &element));
    }
    return signal_code::none;
}

// The refinement entry of a call made by apply (mode > 0, no path).
signal_code applied_refinement(call& k, const kel_value& e, int32_t i, bool* active) {
    if (at_end(k) || (k.mode & mode::inline_refinements)) {
        if (!k.natives_like) set_logic(stack::alloc_cell(), false);
        *active = at_end(k);
        return signal_code::none;
    }
    KEL_PROPAGATE(fetch_one(k, 0, i));
    kel_value* v = stack::top() - 1;
    if (type_of(v) != types::logic) return expect_arg(k, i, v);
    const bool on = get_logic(v);
    if (k.natives_like) {
        stack::drop_cells(1);
        if (on) k.refs.at[e.w3 - 1] = static_cast<int32_t>(stack::top() - k.base);
    }
    *active = on;
    return signal_code::none;
}

[[gnu::always_inline]] inline signal_code fetch_arguments(call& k) {
    k.base = stack::arguments();
    if (k.natives_like) k.refs = refinements::none();
    int32_t pending = 0;  // operands already in place (infix)
    // The left operand (and an evaluated right one) are the first arguments;
    // covered before anything is pushed (building the cache pushes).
    if (k.infix) {
        pending = k.right_ready ? 2 : 1;
        stack::regs.top = k.base + pending;
    }
    {
        const kel_value* cached = cells_of(k.fn.w3) + function::more::cache;
        if (type_of(cached) == types::block) [[likely]] {
            k.cache = series_node(cached);
        } else {
            const kel_value made = build_cache(&k.fn);
            k.cache = series_node(&made);
        }
    }
    bool active = true;
    bool past_refinement = false;
    int32_t locals = 0;
    const int32_t n = cache_length(k);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* e = cache_cells(k) + i;
        const uint32_t t = type_of(e);
        if (t == types::typeset) [[likely]] {
            const uint32_t cls = e->header & class_mask;
            if (cls == class_return) continue;
            if (!active) [[unlikely]] {
                if (!k.natives_like) set_none(stack::alloc_cell());
                if ((k.mode & 3) == mode::apply_all && !k.path && !at_end(k)) KEL_PROPAGATE(fetch_and_drop(k, cls, i));
                continue;
            }
            if (pending) {
                KEL_PROPAGATE(check_type(k, i, stack::top() - pending));
                --pending;
                continue;
            }
            if ((k.mode > 0 || cls == class_lit) && at_end(k)) [[unlikely]] {
                if (k.mode > 0) {
                    // A missing argument is none; a native's own arguments (not
                    // those of a refinement, which stays off) must accept it: its
                    // body reads them as the types its spec promises.
                    set_none(stack::alloc_cell());
                    if (k.natives_like && !past_refinement) KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
                    continue;
                }
                if (cls == class_lit && typeset_has(e, types::unset)) {
                    set_unset(stack::alloc_cell());
                    continue;
                }
            }
            KEL_PROPAGATE(fetch_one_inline(k, cls, i));
            KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
        } else if (t == types::refinement) {
            past_refinement = true;
            if (k.mode > 0 && !k.path) {
                const kel_value entry = *e;
                KEL_PROPAGATE(applied_refinement(k, entry, i, &active));
            } else {
                // A native keeps no cells for refinements: those that follow,
                // and their arguments, stay off unless the path names them.
                if (k.natives_like) break;
                set_logic(stack::alloc_cell(), false);
                active = false;
            }
        } else if (t == types::integer) {
            locals = get_integer(e);
        }
    }
    // apply's inline form takes the refinements of its path too; with every
    // argument in order the block alone switches them.
    if (k.path && !(k.mode & mode::apply_all)) [[unlikely]] KEL_PROPAGATE(path_refinements(k));
    if (k.mode & mode::inline_refinements) [[unlikely]] KEL_PROPAGATE(inline_refinements(k));
    if (traced(k.c)) [[unlikely]] {
        const bool apply_call = k.mode > 0;
        const kel_value site = site_of(k);
        // An infix call shows the operator word's value, the op! (the call
        // itself runs what it wraps).
        kel_value shown = k.fn;
        if (k.infix) shown.header = native::op_header(type_of(&k.fn));
        notify_tracer(event::call, apply_call || !k.c ? nullptr : &k.c->block, apply_call || !k.c ? -1 : k.c->pos,
                      &site, &shown);
    }
    if (!k.natives_like) {
        if (locals > 0) function::push_unused_refinement(locals);
        return signal_code::none;
    }
    const int32_t number = static_cast<int32_t>(k.fn.w1);
    if (k.type == types::action) {
        const action_fn entry = actions::entry(number);
        if (!entry) fire(error_category::internal, "not-done");
        return entry(k.refs);
    }
    const natives::native_fn entry = natives::at(number).fn;
    if (!entry) fire(error_category::internal, "not-done");
    const refinements& refs = k.refs;
    return stack::catch_code([&] { return entry(false, refs); });
}

// --- decoded calls --------------------------------------------------------------------
// A word naming a function-like value whose arguments all come before its
// refinements (at most 16, left off in such a call) is decoded once at its
// position: the value as the guard, its argument cache, arity and argument
// classes. While the word still holds the
// same value bit for bit, the call runs without re-reading the spec's cache
// entry by entry; anything else is the generic invoke_value.

inline bool same_bits(const kel_value& a, const kel_value& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The control natives the evaluator runs itself from a decoded call: the
// conditionals evaluate their branch here, the loops and the multi-way
// conditionals run the natives' own bodies, called directly (one body of code
// for both ways in, so marks, placeholders, type checks and errors are the
// natives' by construction). apply, `do` of a native value and calls through
// paths take the native table.
uint8_t control_of(const kel_value& fn) {
    if (type_of(&fn) != types::native) return 0;
    switch (static_cast<int32_t>(fn.w1)) {
        case natives::number::if_:
        case natives::number::unless:
        case natives::number::either:
        case natives::number::any:
        case natives::number::all:
        case natives::number::while_:
        case natives::number::until:
        case natives::number::loop:
        case natives::number::repeat:
        case natives::number::foreach:
        case natives::number::switch_:
        case natives::number::case_: return static_cast<uint8_t>(fn.w1);
        default: return 0;
    }
}

// With the native's mark open and its arguments at the base.
signal_code run_control(uint8_t id) {
    const refinements none = refinements::none();
    switch (id) {
        case natives::number::if_:
        case natives::number::unless: {
            if (logic::falsy(stack::argument(1)) == (id == natives::number::if_)) {
                set_none(stack::arguments());
                return signal_code::none;
            }
            const kel_value branch = *stack::argument(2);
            return eval_in_place(&branch, true);
        }
        case natives::number::either: {
            const kel_value* condition = stack::argument(1);
            if (unset_q(condition)) [[unlikely]] return fail(error_category::script, "no-return");
            const kel_value branch = logic::truthy(condition) ? *stack::argument(2) : *stack::argument(3);
            return eval_in_place(&branch, true);
        }
        case natives::number::any: return natives::any_star(false, none);
        case natives::number::all: return natives::all_star(false, none);
        case natives::number::while_: return natives::while_star(false, none);
        case natives::number::until: return natives::until_star(false, none);
        case natives::number::loop: return natives::loop_star(false, none);
        case natives::number::repeat: return natives::repeat_star(false, none);
        case natives::number::foreach: return natives::foreach_star(false, none);
        case natives::number::switch_: return natives::switch_star(false, none);
        case natives::number::case_: return natives::case_star(false, none);
        default: fire(error_category::internal, "not-done");
    }
}

// Fills the term from the function value; leaves it undecoded while the
// function's argument cache is not built yet (building allocates: the
// generic call does it).
void decode_call(decode::term* t, const kel_value& fn) {
    const uint32_t type = type_of(&fn);
    const kel_value* cached = cells_of(fn.w3) + function::more::cache;
    if (type_of(cached) != types::block) return;
    t->k = decode::kind::other;
    if (type != types::function && !native_like(type)) return;
    if (type == types::native && !natives::at(static_cast<int32_t>(fn.w1)).fn) return;
    if (type == types::action && !actions::entry(static_cast<int32_t>(fn.w1))) return;
    const uint32_t cache = series_node(cached);
    const kel_value* e = cells_of(cache);
    const int32_t n = tail_index(cache);
    int32_t args = 0, locals = 0;
    uint32_t classes = 0;
    bool gap = false, rest = false;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t t_e = type_of(e + i);
        if (t_e == types::typeset) {
            if (rest) continue;  // a refinement's argument
            const uint32_t cls = e[i].header & class_mask;
            if (cls == class_return) { gap = true; continue; }
            if (gap || args >= 16) return;
            classes |= (cls >> 20) << (2 * args);
            ++args;
        } else if (t_e == types::refinement) {
            if (type != types::function) break;  // a native keeps no cells for refinements
            // A function's frame holds them (off) after its arguments: laid
            // out by the loop once the arguments are in.
            rest = true;
        } else if (t_e == types::integer) {
            locals = get_integer(e + i);
        }
    }
    if (args > 0x7FFF || locals > 0x7FFF || locals < 0) return;
    if (rest && classes != 0) return;  // quoted arguments before refinements: the generic fetch
    t->guard = fn;
    t->cache = cache;
    t->args = static_cast<int16_t>(args);
    t->plain = static_cast<uint8_t>(args);
    t->rest = rest;
    t->classes = classes;
    t->locals = static_cast<int16_t>(type == types::function ? locals : 0);
    t->control = control_of(fn);
    t->k = decode::kind::call;
}

// A path of plain words after its head naming a function!, native! or
// action!: decoded as its call (decode_call) with the refinements the path
// names, each at most once (anything else, a get-word or a refinement named
// twice or not at all, is the generic walk and its errors; so are the control
// natives, which the loop runs without refinements).
void decode_path_call(decode::term* t, const kel_value& fn, const kel_value* elements, int32_t count,
                      uint32_t stamp) {
    decode_call(t, fn);
    if (t->k != decode::kind::call) return;
    t->k = decode::kind::other;
    if (t->control != 0 || t->classes != 0 || count - 1 > 4) return;
    const kel_value* e = cells_of(t->cache);
    const int32_t n = tail_index(t->cache);
    int32_t args = t->args;
    for (int32_t j = 1; j < count; ++j) {
        const kel_value* element = elements + j;
        if (type_of(element) != types::word) return;
        int32_t index = -1;
        for (int32_t i = 0; i < n && index < 0; ++i)
            if (type_of(e + i) == types::refinement && word_symbol(e + i) == word_symbol(element)) index = i;
        const uint32_t s = symbol::resolve(word_symbol(element));
        for (int32_t i = 0; i < n && index < 0; ++i)
            if (type_of(e + i) == types::refinement && symbol::resolve(word_symbol(e + i)) == s) index = i;
        if (index < 0 || index > 0xFF) return;
        if (type_of(&fn) != types::function && (e[index].w3 < 1 || e[index].w3 > 12)) return;
        for (int32_t r = 0; r < j - 1; ++r)
            if (t->refs[r] == index) return;
        t->refs[j - 1] = static_cast<uint8_t>(index);
        for (int32_t i = index + 1; i < n && type_of(e + i) == types::typeset; ++i)
            if ((e[i].header & class_mask) != class_return) ++args;
    }
    if (args > 0x7FFF) return;
    t->named = static_cast<uint8_t>(count - 1);
    t->args = static_cast<int16_t>(args);
    t->path_stamp = stamp;
    t->k = decode::kind::path_call;
}

// A function's refinement cells, all off, pushed after its arguments: false
// for each refinement, none for each of their arguments.
[[gnu::noinline]] void push_refinement_cells(uint32_t cache) {
    const int32_t n = tail_index(cache);
    bool rest = false;
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* e = cells_of(cache) + i;
        const uint32_t t = type_of(e);
        if (t == types::refinement) {
            rest = true;
            set_logic(stack::alloc_cell(), false);
        } else if (rest && t == types::typeset && (e->header & class_mask) != class_return) {
            set_none(stack::alloc_cell());
        }
    }
}

// The cache index of a path call's refinement argument j (counted from the
// first after the plain ones, in the order they are fetched) and, for a
// function, its frame cell (from the arguments base).
int32_t refinement_argument(const decode::term& t, int32_t j, int32_t* cell) {
    const kel_value* e = cells_of(t.cache);
    const int32_t n = tail_index(t.cache);
    for (int32_t r = 0; r < t.named; ++r) {
        const int32_t index = t.refs[r];
        int32_t offset = static_cast<int32_t>(e[index].w3) + 1;
        for (int32_t i = index + 1; i < n && type_of(e + i) == types::typeset; ++i) {
            if ((e[i].header & class_mask) == class_return) continue;
            if (j == 0) {
                *cell = offset;
                return i;
            }
            --j;
            ++offset;
        }
    }
    fire(error_category::internal, "not-done");
}

// The refinements a native's or action's path call switches on: each at the
// offset of its first argument, as the generic fetch records them.
refinements path_refinements_of(const decode::term& t) {
    refinements refs = refinements::none();
    const kel_value* e = cells_of(t.cache);
    const int32_t n = tail_index(t.cache);
    int32_t offset = t.plain;
    for (int32_t r = 0; r < t.named; ++r) {
        const int32_t index = t.refs[r];
        const int32_t slot = static_cast<int32_t>(e[index].w3) - 1;
        if (slot >= 0 && slot < 12) refs.at[slot] = offset;
        for (int32_t i = index + 1; i < n && type_of(e + i) == types::typeset; ++i)
            if ((e[i].header & class_mask) != class_return) ++offset;
    }
    return refs;
}

// The arguments of a decoded call some of which are get-words or literal.
[[gnu::noinline]] signal_code fetch_classed(call& k, const decode::term& t) {
    for (int32_t i = 0; i < t.args; ++i) {
        const uint32_t cls = ((t.classes >> (2 * i)) & 3u) << 20;
        // A literal argument missing at the end is unset! when its type allows.
        if (cls == class_lit && at_end(k) && typeset_has(cache_cells(k) + i, types::unset)) [[unlikely]] {
            set_unset(stack::alloc_cell());
            continue;
        }
        KEL_PROPAGATE(fetch_one_inline(k, cls, i));
        KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
    }
    return signal_code::none;
}

signal_code invoke_decoded(const decode::term& t, code_position& c, const kel_value* name) {
    call k;
    k.fn = t.guard;
    k.type = type_of(&k.fn);
    k.natives_like = native_like(k.type);
    k.c = &c;
    k.path = nullptr;
    k.mode = mode::plain;
    k.infix = false;
    k.right_ready = false;
    k.name_in = name;
    k.name = *name;
    k.open_pos = c.pos;
    k.cache = t.cache;
    kel_value* const placeholder = stack::push_copy(&k.fn);
    if (k.type == types::function) {
        const uint32_t ctx = k.fn.w1;
        stack::call_mark* m = stack::open_frame(&k.name, call_kind(c.library));
        m->function_context = ctx;
        const kel_value* context_cell = cells_of(ctx);
        if (context_cell->header & header_context_stack) m->saved_values = context_cell->w2 - 1u;
    } else {
        stack::open_frame(&k.name, native_kind(c.library));
    }
    k.base = stack::arguments();
    if (k.natives_like) k.refs = refinements::none();
    if (t.classes == 0) [[likely]] {
        for (int32_t i = 0; i < t.args; ++i) {
            KEL_PROPAGATE(fetch_one_inline(k, 0, i));
            KEL_PROPAGATE(check_type(k, i, stack::top() - 1));
        }
    } else {
        KEL_PROPAGATE(fetch_classed(k, t));
    }
    if (t.rest) push_refinement_cells(t.cache);
    if (traced(&c)) [[unlikely]] {
        const kel_value site = site_of(k);
        notify_tracer(event::call, &c.block, c.pos, &site, &k.fn);
    }
    const int32_t number = static_cast<int32_t>(k.fn.w1);
    if (k.type == types::function) {
        if (t.locals > 0) function::push_unused_refinement(t.locals);
        KEL_PROPAGATE(call_function_body(&k.fn, 0, &k.name, 0));
    } else if (k.type == types::action) {
        KEL_PROPAGATE(actions::entry(number)(k.refs));
    } else if (t.control) {
        const uint8_t id = t.control;
        KEL_PROPAGATE(stack::catch_code([id] { return run_control(id); }));
    } else {
        const natives::native_fn entry = natives::at(number).fn;
        const refinements& refs = k.refs;
        KEL_PROPAGATE(stack::catch_code([&] { return entry(false, refs); }));
    }
    stack::close_frame();
    if (traced(&c)) [[unlikely]] notify_tracer(event::return_, &c.block, c.pos, &k.name, stack::top() - 1);
    *placeholder = *(placeholder + 1);
    stack::regs.top = placeholder + 1;
    return signal_code::none;
}

// The word before c.pos names fn.
signal_code invoke_word(const kel_value& fn, code_position& c, const kel_value* name) {
    const int32_t at = c.pos - 1;
    const uint32_t node = series_node(&c.block);
    decode::block_decode* d = decode::entry_for(node, header_of(node));
    decode::term* t = decode::term_at(d, at);
    if (t && !decode::current(d, t)) {
        *t = decode::term{};
        t->generation = d->generation;
        decode_call(t, fn);
    }
    if (!t || t->k != decode::kind::call || !same_bits(t->guard, fn))
        return invoke_value(&fn, &c, true, nullptr, name, &fn, mode::plain, false);
    const decode::term copy = *t;  // the table may change while the call runs
    return invoke_decoded(copy, c, name);
}

// The function context's values (a stack context: offset + 1, 0 while its
// function is not running).
inline uint32_t context_values(uint32_t ctx) { return cells_of(ctx)->w2; }
inline void set_context_values(uint32_t ctx, uint32_t values) { cells_of(ctx)->w2 = values; }

// The context a function runs for: the object it was found in (other than
// the global context), else the enclosing object recorded with it, else the
// context of the word that named it. Only a body that is not interpreted
// reads it, so it is worked out only for such a function.
inline uint32_t owner_context(const kel_value* fn, const kel_value* owner, const kel_value* name) {
    const kel_value* code = function::more_cell(fn, function::more::code);
    if (type_of(code) != types::integer || get_integer(code) == 0) return 0;
    const kel_value* object = function::more_cell(fn, function::more::object);
    if (owner && type_of(owner) == types::object && owner->w1 != _context::global()) return owner->w1;
    if (type_of(object) == types::integer) return static_cast<uint32_t>(get_integer(object));
    return word_context(name);
}

// --- the frame stack ------------------------------------------------------------------
// Blocks evaluated in place run in one loop over frames of its own rather than
// in nested C++ calls: a block (a function body, a branch, a loop body, a
// paren), an expression whose head or right operand is one of those, and a
// decoded call with its arguments being fetched (a word's, or a path's naming
// refinements, whose arguments land in the refinements' frame cells) are each
// a frame record. A Kel call, a conditional or a loop run this way adds a
// record, not a C++ activation, so recursion meets the call-mark limit (or
// this stack's own, with the same error) instead of the machine stack.
// Everything else (set-paths, other paths, apply, natives evaluating blocks,
// tracing) is the generic step called from the loop, which re-enters it from
// C++ as before. An interrupt is polled at every function call the loop runs.
//
// The marks stay what they were: every record opens and closes exactly the
// call marks the generic step would, at the same moments, so signals, errors
// and the trace read them unchanged. A code coming back (or thrown as
// kel_unwind, caught once around the loop) pops records until one receives
// it: a function body a return or exit aimed at its call, a loop body a break
// or continue. Records live in one fixed array, so the chain of live code
// positions may point into them; the collector marks their code blocks.

namespace fr {
// each: the conditions of any or all, one expression at a time, each in a
// <body> mark of its own (as the natives evaluate them), the position not
// linked for `near` (errors there are near the any or all).
enum : uint8_t { block, expr, call, each };
// What a block record is evaluated for.
// fbody: a function's body run in its call's record (see enter_function).
// cbranch: the branch of a conditional run in the conditional's record (see start_conditional).
enum : uint8_t { base, branch, paren, paren_no_infix, loop_body, until_body, cond, fbody, cbranch };
// Expression states.
// x_right_start and x_right_done: the operator's mark is open while its right
// operand is evaluated (x_right_closed: the operand is in and the mark closed).
enum : uint8_t { x_head_done = 1, x_set_done, x_infix, x_right_start, x_right_done, x_right_closed };
// Call states.
enum : uint8_t {
    c_fetch, c_arg_done, c_invoke, c_body_done, c_finish, c_loop, c_loop_end, c_while_cond, c_while_test,
    c_until_round, c_until_test, c_foreach
};
}  // namespace fr

// How a loop's body may run without a block record: its leading quick
// set-words (quick_body), or the body as one quick call (quick_block_call).
// Set-words that do not run so are not tried again in that loop; a call is
// tried in two rounds, since the first round's record may be what decodes it
// (a native's argument cache is built at its first call).
enum : uint8_t { quick_none, quick_sets, quick_call_body, quick_call_last };

struct frame {
    uint8_t kind;
    uint8_t role;        // block: what it is evaluated for; call: no infix after it
    uint8_t state;
    bool flag;           // block: set_last; expr: no infix; call: the function's context is a stack context
    uint8_t quick;       // loop call: how its body may run without a record (see run_loop_body)
    bool planned;        // loop call: its rounds were tried planned (see planned_loop_rounds)
    uint8_t paren;       // call, fbody: 0, or the role of the paren it stands for (see start_paren_call)
    uint8_t after;       // fbody, cbranch: no infix after the call
    bool stack_context;  // fbody: the function's context is a stack context (its values put back at the end)
    kel_value* entry;    // block, expr: the argument top it started at; call: its placeholder
    int32_t i, n;        // call: the argument fetched, the loop round and count; expr: the pending operator
    uint32_t old_values; // call: the function context's values before the call
    int32_t depth;       // call: the depth of its call mark
    code_position c;     // block: the code
    live_code link;      // block: its link in the chain of live code (user code only)
    code_position* pc;   // expr, call, fbody: the code read (a block record below, or c2); paren: the code around it
    code_position* outer; // paren call: the code around the paren
    code_position c2;    // paren call: the paren's code
    live_code link2;     // paren call: its link
    kel_value v;         // expr: the pending operator; call: the naming word
    kel_value w;         // expr: the operator's word
    decode::term t;      // call: the decoded call
};

frame* frames = nullptr;
frame* frame_sp = nullptr;     // the next free record
frame* frame_limit = nullptr;
// Four records per call mark cover a call from a branch of a conditional;
// deeper nesting of parens alone meets this limit first, with the same error.
constexpr int32_t frame_capacity = static_cast<int32_t>(stack::mark_records) * 4;

inline frame* push_frame(uint8_t kind) {
    if (frame_sp >= frame_limit) [[unlikely]] return nullptr;
    frame* f = frame_sp++;
    f->kind = kind;
    f->state = 0;
    f->paren = 0;
    return f;
}

inline frame* push_block(const kel_value* block, uint8_t role, bool set_last) {
    frame* f = push_frame(fr::block);
    if (!f) [[unlikely]] return nullptr;
    position_at(block, f->c);
    f->role = role;
    f->flag = set_last;
    f->entry = stack::top();
    if (!f->c.library) {
        f->link = live_code{&f->c, f->c.pos, innermost_code};
        innermost_code = &f->link;
    }
    return f;
}

inline frame* push_expr(code_position* c, kel_value* entry, bool no_infix, uint8_t state) {
    frame* f = push_frame(fr::expr);
    if (!f) [[unlikely]] return nullptr;
    f->state = state;
    f->pc = c;
    f->entry = entry;
    f->flag = no_infix;
    set_none(&f->v);
    return f;
}

// The decoded call of the word at `at` naming fn, or null (the generic step).
inline decode::term* decoded_call(code_position& c, memory::buffer_header* h, int32_t at, const kel_value& fn) {
    decode::block_decode* d = decode::entry_for(series_node(&c.block), h);
    decode::term* t = decode::term_at(d, at);
    if (t && !decode::current(d, t)) {
        *t = decode::term{};
        t->generation = d->generation;
        decode_call(t, fn);
    }
    if (!t || t->k != decode::kind::call || !same_bits(t->guard, fn)) return nullptr;
    return t;
}

// The elements of a path that may name a call with refinements: two or
// more from its position, the first a word. Null otherwise.
const kel_value* call_path_elements(const kel_value& path, int32_t* count, memory::buffer_header** ph) {
    *ph = header_of(series_node(&path));
    const int32_t head = series_head(&path);
    *count = static_cast<int32_t>((*ph)->used() / 16) - head;
    if (head < 0 || *count < 2) return nullptr;
    const kel_value* elements = reinterpret_cast<const kel_value*>((*ph)->head_ptr()) + head;
    return type_of(elements) == types::word ? elements : nullptr;
}

// The decoded call of the path at `at` (its head word into *name), or null.
[[gnu::noinline]] const decode::term* decoded_path_call(code_position& c, memory::buffer_header* h, int32_t at,
                                                        const kel_value& path, kel_value* name) {
    memory::buffer_header* ph;
    int32_t count;
    const kel_value* elements = call_path_elements(path, &count, &ph);
    if (!elements) return nullptr;
    const kel_value* value = fast_slot(elements);
    if (!value || !(type_of(value) == types::function || native_like(type_of(value)))) return nullptr;
    decode::block_decode* d = decode::entry_for(series_node(&c.block), h);
    decode::term* t = decode::term_at(d, at);
    if (t && !decode::current(d, t)) {
        // The argument cache is built by the first call, the generic one.
        if (type_of(cells_of(value->w3) + function::more::cache) != types::block) return nullptr;
        *t = decode::term{};
        t->generation = d->generation;
        decode_path_call(t, *value, elements, count, memory::stamp_of(ph));
    }
    if (!t || t->k != decode::kind::path_call || !same_bits(t->guard, *value) ||
        t->path_stamp != memory::stamp_of(ph))
        return nullptr;
    *name = elements[0];
    return t;
}

// The call record as the generic fetch describes it (for its error and trace
// helpers).
call call_of(frame* f) {
    call k;
    k.fn = f->t.guard;
    k.type = type_of(&k.fn);
    k.natives_like = native_like(k.type);
    k.c = f->pc;
    k.path = nullptr;
    k.mode = mode::plain;
    k.infix = false;
    k.right_ready = false;
    k.name_in = &f->v;
    k.name = f->v;
    k.open_pos = -1;
    k.cache = f->t.cache;
    k.base = f->entry + 1;
    k.refs = refinements::none();
    return k;
}

// Opens the call of a decoded word (the word just passed): its placeholder,
// its mark, and then its arguments are fetched by the loop.
[[gnu::always_inline]] inline void open_call(frame* f, const decode::term* t, code_position* c, const kel_value* name,
                                             bool no_infix);
[[gnu::always_inline]] inline frame* push_call(const decode::term* t, code_position* c, const kel_value* name,
                                              bool no_infix) {
    frame* f = push_frame(fr::call);
    if (!f) [[unlikely]] return nullptr;
    open_call(f, t, c, name, no_infix);
    return f;
}
[[gnu::always_inline]] inline void open_call(frame* f, const decode::term* t, code_position* c, const kel_value* name,
                                             bool no_infix) {
    f->role = no_infix;
    f->t = *t;
    f->pc = c;
    f->v = *name;
    f->i = 0;
    f->n = 0;  // the refinement cells not laid out yet
    f->state = fr::c_fetch;
    kel_value* const placeholder = stack::push_copy(&f->t.guard);
    f->entry = placeholder;
    if (type_of(&f->t.guard) == types::function) {
        const uint32_t ctx = f->t.guard.w1;
        stack::call_mark* m = stack::open_frame(&f->v, call_kind(c->library));
        m->function_context = ctx;
        const kel_value* context_cell = cells_of(ctx);
        if (context_cell->header & header_context_stack) m->saved_values = context_cell->w2 - 1u;
    } else {
        stack::open_frame(&f->v, native_kind(c->library));
    }
}

inline bool truthy_or_fail(const kel_value* v, signal_code* code) {
    if (unset_q(v)) [[unlikely]] {
        *code = fail(error_category::script, "no-return");
        return false;
    }
    return logic::truthy(v);
}

[[gnu::noinline]] signal_code frames_overflow() { return stack::overflow_code(); }

// A paren whose first expression is a decoded call of a function (`(fib n
// - 1)`) gets one record, the call's, instead of a block record for the
// paren and a call record above it: the record holds the paren's code and
// its link for `near` as the block record would, and reads the call's
// arguments from it. When the call is done the record becomes the paren's
// block record if anything follows it in the paren, else the paren is done
// (paren_call_done). False: nothing was done (a block record runs the paren).
inline bool start_paren_call(code_position& outer, const kel_value* paren, bool no_infix, signal_code* code) {
    memory::buffer_header* const h = header_of(series_node(paren));
    const int32_t head = series_head(paren);
    if (head < 0 || head >= static_cast<int32_t>(h->used() / 16)) return false;
    const kel_value* const w = reinterpret_cast<const kel_value*>(h->head_ptr()) + head;
    if (type_of(w) != types::word) return false;
    const kel_value* const value = fast_slot(w);
    if (!value || type_of(value) != types::function) return false;
    // Decoded only by the paren's first run as a block: the term implies
    // the function's argument cache.
    decode::block_decode* const d = decode::entry_for(series_node(paren), h);
    const decode::term* const t = decode::term_at(d, head);
    if (!t || !decode::current(d, t) || t->k != decode::kind::call || !same_bits(t->guard, *value)) return false;
    frame* const f = push_frame(fr::call);
    if (!f) [[unlikely]] {
        *code = frames_overflow();
        return true;
    }
    position_at(paren, f->c2);
    if (!f->c2.library) {
        f->link2 = live_code{&f->c2, f->c2.pos, innermost_code};
        innermost_code = &f->link2;
    }
    ++f->c2.pos;
    f->paren = no_infix ? fr::paren_no_infix : fr::paren;
    f->outer = &outer;
    open_call(f, t, &f->c2, w, false);
    return true;
}

// --- pure calls -------------------------------------------------------------------------
// A function whose body only reads its own words and plain data, sets its
// own words, applies the inline operators, branches with either, if and
// unless, returns, and calls other such functions changes nothing outside
// its frame: no word, no series, no output, no allocation. Such a call is
// first run speculatively from a compiled form of its body, in C++ over
// frames of its own, with none of the generic step's records, marks or
// positions. Whatever it meets that is not the common case (an operand of
// another type, a division by zero, an unset value, a halt request, its own
// limits) abandons the attempt, and the call runs the generic way from its
// start; having changed nothing, the attempt cannot be seen. The records,
// marks and argument cells the generic way would take are bounded per call
// and counted, so an attempt never succeeds where the generic way would
// overflow.
//
// What the compiled form assumed when it was made (the words naming the
// functions, operators and conditionals it calls, the blocks it was made
// from) is checked once per attempt, at its start, for every body the
// attempt may reach: nothing running in an attempt can change it.

namespace pure {

enum class op : uint8_t { literal, local, global, seq, infix, call, either, if_, unless, return_, exit_, set_local };
enum class status : uint8_t { ok, returned, bail };

struct body;
struct node {
    op kind;
    inline_op iop = inline_op::none;  // infix
    uint16_t count = 0;               // seq, call: children in kids from `first`
    int32_t index = 0;                // local, set_local: the frame cell; infix: the comparison
    int32_t first = -1;               // infix: left; either, if, unless: condition; set_local, return: value
    int32_t second = -1;              // infix: right; either, if, unless: the (true) branch
    int32_t third = -1;               // either: the false branch
    body* callee = nullptr;           // call: resolved when the attempt starts
    kel_value v{};                    // literal: the value; global: the word; call: the function
};

struct guard {
    kel_value word;   // bound to a heap context
    kel_value value;  // what it held when compiled
    // Where the word's value was last found, and memory::root.moves then:
    // a heap context's slot stays where it is while no buffer moves.
    const kel_value* slot = nullptr;
    uint64_t moves = ~uint64_t{0};
};

struct body {
    kel_value fn{};           // the function
    std::vector<node> nodes;
    std::vector<int32_t> kids;
    std::vector<std::pair<uint32_t, uint32_t>> blocks;  // every block compiled: node and stamp
    std::vector<guard> guards;
    std::vector<int32_t> calls;  // the call nodes
    std::vector<kel_value> rest;  // the frame cells after the arguments, as a call lays them out
    const node* node_at = nullptr;   // nodes.data() and kids.data() once compiled
    const int32_t* kid_at = nullptr;
    int32_t root = -1;
    int32_t args = 0;       // arguments (all evaluated, no refinements when called from an attempt)
    int32_t cells = 0;      // frame cells
    uint32_t cache = 0;     // the argument cache (its typesets)
    bool callable = false;  // may be called from an attempt (`rest` lays out its whole frame)
    uint32_t cost = 0;      // records, marks and argument cells a generic call of it takes at most
    uint64_t epoch = 0;     // the attempt it was last checked for
    bool valid = false;     // and the result
    uint8_t bails = 0;      // attempts abandoned: past a few, none is tried again
};

std::vector<std::unique_ptr<body>> bodies(1);  // number 0 unused
std::vector<int32_t> free_bodies;
uint64_t epoch = 0;
constexpr uint8_t max_bails = 2;
constexpr int32_t max_cells = 64;
constexpr int32_t max_nodes = 4096;

void release(int32_t number) {
    if (number <= 0 || number >= static_cast<int32_t>(bodies.size()) || !bodies[number]) return;
    body& b = *bodies[number];
    b.nodes.clear();
    b.kids.clear();
    b.blocks.clear();
    b.guards.clear();
    b.calls.clear();
    b.rest.clear();
    free_bodies.push_back(number);
}

// Compiles a body block into b; false where anything in it is not pure.
struct compiler {
    body& b;
    uint32_t ctx;

    int32_t add(const node& n) {
        b.nodes.push_back(n);
        return static_cast<int32_t>(b.nodes.size()) - 1;
    }
    // The value a heap context's word holds now (null: not such a word).
    const kel_value* heap_value(const kel_value* w) {
        if (w->w1 == 0 || w->w1 == ctx) return nullptr;
        if (cells_of(w->w1)->header & header_context_stack) return nullptr;
        return fast_slot(w);
    }
    bool own_word(const kel_value* w) const {
        return w->w1 == ctx && static_cast<int32_t>(w->w3) >= 0 && static_cast<int32_t>(w->w3) < b.cells;
    }
    void guard_word(const kel_value* w, const kel_value* value) { b.guards.push_back(guard{*w, *value}); }

    int32_t block(const kel_value* blk) {
        const uint32_t n = series_node(blk);
        memory::buffer_header* h = header_of(n);
        b.blocks.emplace_back(n, memory::stamp_of(h));
        const int32_t tail = static_cast<int32_t>(h->used() / 16);
        int32_t p = std::clamp(series_head(blk), 0, tail);
        std::vector<int32_t> items;
        while (p < tail) {
            if (b.nodes.size() > static_cast<size_t>(max_nodes)) return -1;
            // Read afresh: nothing here moves a buffer, but the cells are
            // not held across the recursion by address.
            const kel_value* cells = reinterpret_cast<const kel_value*>(header_of(n)->head_ptr());
            int32_t item;
            if (type_of(cells + p) == types::set_word) {
                if (!own_word(cells + p)) return -1;
                node s{op::set_local};
                s.index = static_cast<int32_t>(cells[p].w3);
                ++p;
                if (p >= tail) return -1;
                s.first = expr(n, p, tail);
                if (s.first < 0) return -1;
                item = add(s);
            } else {
                item = expr(n, p, tail);
            }
            if (item < 0) return -1;
            items.push_back(item);
        }
        if (items.size() == 1) return items[0];  // its value is the block's
        node s{op::seq};
        s.first = static_cast<int32_t>(b.kids.size());
        s.count = static_cast<uint16_t>(items.size());
        b.kids.insert(b.kids.end(), items.begin(), items.end());
        return add(s);
    }
    // The operator the word at p names (null: none).
    const kel_value* operator_word(uint32_t n, int32_t p, int32_t tail) {
        if (p >= tail) return nullptr;
        const kel_value* w = reinterpret_cast<const kel_value*>(header_of(n)->head_ptr()) + p;
        if (type_of(w) != types::word) return nullptr;
        const kel_value* value = heap_value(w);
        return value && type_of(value) == types::op ? value : nullptr;
    }
    int32_t expr(uint32_t n, int32_t& p, int32_t tail) {
        int32_t left = term(n, p, tail);
        while (left >= 0) {
            const kel_value* opv = operator_word(n, p, tail);
            if (!opv) return left;
            node x{op::infix};
            int32_t compare = 0;
            x.iop = inline_kind(*opv, &compare);
            if (x.iop == inline_op::none || p + 1 >= tail) return -1;
            x.index = compare;
            guard_word(reinterpret_cast<const kel_value*>(header_of(n)->head_ptr()) + p, opv);
            ++p;
            x.first = left;
            x.second = term(n, p, tail);
            if (x.second < 0) return -1;
            left = add(x);
        }
        return left;
    }
    // A branch: a block as it stands in the code, with no operator after it.
    int32_t branch(uint32_t n, int32_t& p, int32_t tail) {
        if (p >= tail) return -1;
        const kel_value blk = reinterpret_cast<const kel_value*>(header_of(n)->head_ptr())[p];
        if (type_of(&blk) != types::block) return -1;
        ++p;
        if (operator_word(n, p, tail)) return -1;
        return block(&blk);
    }
    int32_t term(uint32_t n, int32_t& p, int32_t tail) {
        if (p >= tail) return -1;
        const kel_value v = reinterpret_cast<const kel_value*>(header_of(n)->head_ptr())[p];
        const uint32_t t = type_of(&v);
        if (t == types::paren) {
            ++p;
            return block(&v);
        }
        if (t != types::word) {
            if (!plain_data(t)) return -1;
            ++p;
            node x{op::literal};
            x.v = v;
            return add(x);
        }
        ++p;
        if (own_word(&v)) {
            node x{op::local};
            x.index = static_cast<int32_t>(v.w3);
            return add(x);
        }
        const kel_value* value = heap_value(&v);
        if (!value) return -1;
        const kel_value fn = *value;
        const uint32_t vt = type_of(&fn);
        if (!(word_special & bit(vt))) {
            node x{op::global};
            x.v = v;
            return add(x);
        }
        if (vt == types::function) {
            decode::term d;
            decode_call(&d, fn);
            if (d.k != decode::kind::call || d.classes != 0) return -1;
            guard_word(&v, &fn);
            std::vector<int32_t> args;
            for (int32_t i = 0; i < d.args; ++i) {
                const int32_t a = expr(n, p, tail);
                if (a < 0) return -1;
                args.push_back(a);
            }
            node x{op::call};
            b.calls.push_back(static_cast<int32_t>(b.nodes.size()));
            x.v = fn;
            x.first = static_cast<int32_t>(b.kids.size());
            x.count = static_cast<uint16_t>(args.size());
            b.kids.insert(b.kids.end(), args.begin(), args.end());
            return add(x);
        }
        if (vt != types::native) return -1;
        const int32_t number = static_cast<int32_t>(fn.w1);
        const natives::native_fn entry = natives::at(number).fn;
        node x{op::literal};
        if (number == natives::number::either) x.kind = op::either;
        else if (number == natives::number::if_) x.kind = op::if_;
        else if (number == natives::number::unless) x.kind = op::unless;
        else if (entry == natives::return_star) x.kind = op::return_;
        else if (entry == natives::exit_star) x.kind = op::exit_;
        else return -1;
        guard_word(&v, &fn);
        if (x.kind == op::exit_) return add(x);
        x.first = expr(n, p, tail);
        if (x.first < 0 || x.kind == op::return_) return x.first < 0 ? -1 : add(x);
        x.second = branch(n, p, tail);
        if (x.second < 0) return -1;
        if (x.kind == op::either) {
            x.third = branch(n, p, tail);
            if (x.third < 0) return -1;
        }
        return add(x);
    }
};

// The frame cells after the arguments as a call by the function's word lays
// them out: each refinement off (false) and its arguments none, then /local
// (false) and its words (none). False when they do not make up the frame.
bool lay_out_rest(body& b, const decode::term& d) {
    b.rest.clear();
    const kel_value* e = cells_of(d.cache);
    const int32_t n = tail_index(d.cache);
    bool refinement = false;
    for (int32_t i = 0; i < n; ++i) {
        kel_value v;
        const uint32_t t = type_of(e + i);
        if (t == types::refinement) {
            refinement = true;
            set_logic(&v, false);
        } else if (refinement && t == types::typeset && (e[i].header & class_mask) != class_return) {
            set_none(&v);
        } else {
            continue;
        }
        b.rest.push_back(v);
    }
    for (int32_t i = 0; i < d.locals; ++i) {
        kel_value v;
        if (i == 0) set_logic(&v, false);
        else set_none(&v);
        b.rest.push_back(v);
    }
    return b.cells == d.args + static_cast<int32_t>(b.rest.size());
}

// The decode entry of the function's body block (null: no block body, or
// decoding off).
decode::block_decode* body_entry(const kel_value& fn) {
    const kel_value* blk = function::more_cell(&fn, function::more::body);
    if (type_of(blk) != types::block) return nullptr;
    const uint32_t n = series_node(blk);
    return decode::entry_for(n, header_of(n));
}

// The pure form of the function's body (null: none).
body* body_of(const kel_value& fn) {
    decode::block_decode* d = body_entry(fn);
    if (!d || d->pure < 0) return nullptr;
    if (d->pure > 0) {
        body* b = bodies[d->pure].get();
        return same_bits(b->fn, fn) ? b : nullptr;
    }
    decode::term t;
    decode_call(&t, fn);
    if (t.k != decode::kind::call || t.classes != 0) return nullptr;  // the cache comes with the first call
    int32_t number;
    if (!free_bodies.empty()) {
        number = free_bodies.back();
        free_bodies.pop_back();
    } else {
        number = static_cast<int32_t>(bodies.size());
        bodies.push_back(std::make_unique<body>());
    }
    body& b = *bodies[number];
    b.fn = fn;
    b.cells = _context::length(fn.w1);
    b.args = t.args;
    b.cache = t.cache;
    b.bails = 0;
    b.epoch = 0;
    b.callable = lay_out_rest(b, t);
    compiler k{b, fn.w1};
    b.root = b.cells <= max_cells ? k.block(function::more_cell(&fn, function::more::body)) : -1;
    // entry_for may have moved the table: the entry is found again.
    d = body_entry(fn);
    if (b.root < 0 || !d) {
        release(number);
        if (d) d->pure = -1;
        return nullptr;
    }
    b.cost = static_cast<uint32_t>(2 * b.nodes.size() + b.cells + 4);
    b.node_at = b.nodes.data();
    b.kid_at = b.kids.data();
    d->pure = number;
    return &b;
}

// An attempt checks at most this many bodies: a chain of calls longer than
// that (each function calling the next) is left to the generic way, whose
// cost does not grow with the chain below each call.
constexpr int32_t max_checked = 64;
int32_t checked = 0;       // bodies checked for this attempt
bool too_many = false;     // and the limit was met

// Is what b was compiled from still so, for it and every body it calls?
bool check(body& b) {
    if (b.epoch == epoch) return b.valid;
    if (++checked > max_checked) {
        too_many = true;
        return false;
    }
    b.epoch = epoch;
    b.valid = true;  // a body calling itself finds it so
    bool ok = true;
    // The blocks in the order compiled, each inside one before it: while
    // those before are unchanged, each is still there (body_of found the
    // first unchanged, in this collector cycle).
    for (size_t i = 1; i < b.blocks.size(); ++i) {
        if (memory::stamp_of(header_of(b.blocks[i].first)) != b.blocks[i].second) {
            ok = false;
            break;
        }
    }
    for (guard& g : b.guards) {
        if (!ok) break;
        if (g.moves != memory::root.moves) [[unlikely]] {
            g.slot = fast_slot(&g.word);
            g.moves = memory::root.moves;
        }
        ok = g.slot && same_bits(*g.slot, g.value);
    }
    for (size_t i = 0; ok && i < b.calls.size(); ++i) {
        node& x = b.nodes[static_cast<size_t>(b.calls[i])];
        x.callee = body_of(x.v);
        ok = x.callee && x.callee->callable && check(*x.callee);
    }
    b.valid = ok;
    return ok;
}

struct attempt {
    // The value of the return or exit travelling as status::returned: it
    // may start in any node's cell (an operand's), not the call's own.
    kel_value returned{};
    uint64_t spent = 0, limit = 0;
    kel_value* sp = nullptr;
    kel_value* sp_end = nullptr;
    char* floor = nullptr;
};
attempt run;
constexpr int32_t frame_cells = 1 << 16;
kel_value attempt_frames[frame_cells];

status eval(const body& b, const node& x, kel_value* cells, kel_value* out);

// A node's value; a literal or one of the frame's words without a call.
[[gnu::always_inline]] inline status value_of(const body& b, int32_t at, kel_value* cells, kel_value* out) {
    const node& x = b.node_at[at];
    if (x.kind == op::local) {
        const kel_value* v = cells + x.index;
        if (word_special & bit(type_of(v))) [[unlikely]] return status::bail;
        *out = *v;
        return status::ok;
    }
    if (x.kind == op::literal) {
        *out = x.v;
        return status::ok;
    }
    return eval(b, x, cells, out);
}

[[gnu::noinline]] status call(const body& b, const node& x, kel_value* cells, kel_value* out) {
    if (runtime::halt_requested.load(std::memory_order_relaxed)) [[unlikely]] return status::bail;
    const body& callee = *x.callee;
    if (static_cast<char*>(__builtin_frame_address(0)) < run.floor) [[unlikely]] return status::bail;
    if ((run.spent += callee.cost) > run.limit) [[unlikely]] return status::bail;
    if (run.sp_end - run.sp < callee.cells) [[unlikely]] return status::bail;
    kel_value* const frame = run.sp;
    run.sp += callee.cells;
    const int32_t* kid = b.kid_at + x.first;
    const kel_value* typesets = cells_of(callee.cache);
    for (int32_t i = 0; i < x.count; ++i) {
        const status s = value_of(b, kid[i], cells, frame + i);
        if (s != status::ok) [[unlikely]] return s;
        if (!typeset_has(typesets + i, type_of(frame + i))) [[unlikely]] return status::bail;
    }
    if (!callee.rest.empty()) std::copy(callee.rest.begin(), callee.rest.end(), frame + x.count);
    const status s = eval(callee, callee.node_at[callee.root], frame, out);
    run.sp = frame;
    run.spent -= callee.cost;
    if (s == status::returned) {
        *out = run.returned;
        return status::ok;
    }
    return s;
}

status eval(const body& b, const node& x, kel_value* cells, kel_value* out) {
    switch (x.kind) {
        case op::literal: *out = x.v; return status::ok;
        case op::local: return value_of(b, static_cast<int32_t>(&x - b.node_at), cells, out);
        case op::global: {
            const kel_value* v = fast_slot(&x.v);
            if (!v || (word_special & bit(type_of(v)))) [[unlikely]] return status::bail;
            *out = *v;
            return status::ok;
        }
        case op::seq: {
            const int32_t* kid = b.kid_at + x.first;
            const int32_t count = x.count;
            if (count == 0) {
                set_unset(out);
                return status::ok;
            }
            for (int32_t i = 0; i < count - 1; ++i) {
                const status s = value_of(b, kid[i], cells, out);
                if (s != status::ok) return s;
            }
            return value_of(b, kid[count - 1], cells, out);
        }
        case op::infix: {
            status s = value_of(b, x.first, cells, out);
            if (s != status::ok) [[unlikely]] return s;
            kel_value right;
            s = value_of(b, x.second, cells, &right);
            if (s != status::ok) [[unlikely]] return s;
            return apply_inline(x.iop, x.index, out, &right) ? status::ok : status::bail;
        }
        case op::call: return call(b, x, cells, out);
        case op::either:
        case op::if_:
        case op::unless: {
            const status s = value_of(b, x.first, cells, out);
            if (s != status::ok) [[unlikely]] return s;
            if (unset_q(out)) [[unlikely]] return status::bail;
            const bool truthy = logic::truthy(out);
            if (x.kind == op::either) return value_of(b, truthy ? x.second : x.third, cells, out);
            if (truthy == (x.kind == op::if_)) return value_of(b, x.second, cells, out);
            set_none(out);
            return status::ok;
        }
        case op::return_: {
            const status s = value_of(b, x.first, cells, out);
            if (s != status::ok) return s;
            run.returned = *out;
            return status::returned;
        }
        case op::exit_: set_unset(&run.returned); return status::returned;
        case op::set_local: {
            const status s = value_of(b, x.first, cells, out);
            if (s != status::ok) [[unlikely]] return s;
            if (unset_q(out)) [[unlikely]] return status::bail;
            cells[x.index] = *out;
            return status::ok;
        }
    }
    return status::bail;
}

// Checks b for an attempt (false: the generic way runs the call; a body
// compiled from what is no longer so is made again at its next call).
bool start_attempt(const kel_value& fn, body* b) {
    if (b->bails >= max_bails) return false;
    ++epoch;
    checked = 0;
    too_many = false;
    const bool holds = check(*b);
    if (too_many) [[unlikely]] {
        // Not stale, only too far reaching: given up as an abandoned attempt is.
        ++b->bails;
        return false;
    }
    if (!holds) {
        decode::block_decode* d = body_entry(fn);
        if (d && d->pure > 0 && bodies[d->pure].get() == b) {
            release(d->pure);
            d->pure = 0;
        }
        return false;
    }
    if (!machine_floor) machine_floor = compute_floor();
    run.floor = machine_floor + machine_margin;
    const uint64_t marks = stack::mark_records - static_cast<uint32_t>(stack::mark_depth());
    const uint64_t records = static_cast<uint64_t>(frame_limit - frame_sp);
    const uint64_t arg_cells = static_cast<uint64_t>(stack::regs.limit - stack::top());
    run.limit = std::min({marks, records, arg_cells});
    run.spent = 0;
    run.sp = attempt_frames + b->cells;
    run.sp_end = attempt_frames + frame_cells;
    return true;
}

// Runs b over the frame laid out in attempt_frames: true with its value in
// *out, false when the attempt gave up.
bool finish_attempt(body* b, kel_value* out) {
    const status s = eval(*b, b->node_at[b->root], attempt_frames, out);
    if (s == status::bail) [[unlikely]] {
        ++b->bails;
        return false;
    }
    if (s == status::returned) *out = run.returned;
    return true;
}

// Runs the call of fn whose frame starts at base (its arguments and the
// rest laid out) as an attempt: true with its value in *out, false when the
// generic way must run it (nothing was changed).
[[gnu::noinline]] bool try_call(const kel_value& fn, kel_value* base, kel_value* out) {
    body* b = body_of(fn);
    if (!b || base + b->cells > stack::top() || !start_attempt(fn, b)) return false;
    std::copy(base, base + b->cells, attempt_frames);
    return finish_attempt(b, out);
}

// Where a call's arguments go in its frame: the frame cell and the argument
// cache's typeset of each, in the order they are fetched (a path's
// refinements' after the plain ones), and the cells of the refinements a path
// switches on.
constexpr int32_t max_shaped_args = 8, max_shaped_refs = 4;
struct call_shape {
    uint8_t count = 0, refs = 0;
    uint8_t cell[max_shaped_args] = {};
    uint8_t typeset[max_shaped_args] = {};
    uint8_t ref_cell[max_shaped_refs] = {};
};

// The same for a call whose arguments are computed but not pushed (a
// planned loop round's): their types are checked here, and the frame laid
// out as the call would.
[[gnu::noinline]] bool try_shaped(const kel_value& fn, const kel_value* args, const call_shape& shape,
                                  kel_value* out) {
    body* b = body_of(fn);
    if (!b || !b->callable || !start_attempt(fn, b)) return false;
    const kel_value* typesets = cells_of(b->cache);
    for (int32_t i = 0; i < shape.count; ++i)
        if (!typeset_has(typesets + shape.typeset[i], type_of(args + i))) return false;
    std::copy(b->rest.begin(), b->rest.end(), attempt_frames + b->args);
    for (int32_t i = 0; i < shape.count; ++i) attempt_frames[shape.cell[i]] = args[i];
    for (int32_t r = 0; r < shape.refs; ++r) set_logic(attempt_frames + shape.ref_cell[r], true);
    return finish_attempt(b, out);
}

// The shape of a call by the function's word, or of a decoded path call
// (false: more than a shape holds).
bool shape_of(const body& b, const decode::term& t, call_shape* shape) {
    if (t.args > max_shaped_args || t.named > max_shaped_refs) return false;
    shape->count = static_cast<uint8_t>(t.args);
    for (int32_t i = 0; i < t.plain; ++i) shape->cell[i] = shape->typeset[i] = static_cast<uint8_t>(i);
    if (t.k != decode::kind::path_call) return t.args == b.args;
    const kel_value* e = cells_of(t.cache);
    shape->refs = t.named;
    for (int32_t r = 0; r < t.named; ++r) shape->ref_cell[r] = static_cast<uint8_t>(e[t.refs[r]].w3);
    for (int32_t j = 0; j < t.args - t.plain; ++j) {
        int32_t cell = 0;
        const int32_t index = refinement_argument(t, j, &cell);
        if (cell < 0 || cell >= b.cells || index > 0xFF) return false;
        shape->cell[t.plain + j] = static_cast<uint8_t>(cell);
        shape->typeset[t.plain + j] = static_cast<uint8_t>(index);
    }
    return true;
}

}  // namespace pure

// A function's call record with its arguments in: its locals, then its body,
// run by the record itself turned into the body's block record (finish_body
// ends the call), or the generic body call for a traced function. This is
// call_function_body, its prologue here and its epilogue in finish_body.
[[gnu::always_inline]] inline signal_code enter_function(frame* f) {
    const kel_value fn = f->t.guard;
    f->state = fr::c_finish;
    if (f->t.locals > 0) function::push_unused_refinement(f->t.locals);
    if ((fn.header & (function::flag_trace | function::flag_no_trace)) || trace.active) [[unlikely]]
        return call_function_body(&fn, 0, &f->v, 0);
    // An interrupt is polled at every function call the loop runs, so that
    // recursion without loops halts too.
    if (runtime::halt_requested.load(std::memory_order_relaxed)) [[unlikely]] return interrupted();
    const uint32_t ctx = fn.w1;
    kel_value* const base_cell = stack::arguments();
    if (decode::enabled) [[likely]] {
        kel_value value;
        if (pure::try_call(fn, base_cell, &value)) {
            *base_cell = value;
            return signal_code::none;  // c_finish closes the call
        }
    }
    f->depth = stack::mark_depth();
    f->flag = (cells_of(ctx)->header & header_context_stack) != 0;
    f->old_values = f->flag ? context_values(ctx) : 0;
    if (f->flag) set_context_values(ctx, stack::offset_of(base_cell) + 1);
    stack::innermost_frame()->flags |= stack::flag_return_target;
    const kel_value body = *function::more_cell(&fn, function::more::body);
    f->state = fr::c_body_done;
    if (type_of(&body) != types::block) [[unlikely]] {
        set_unset(base_cell);
        return signal_code::none;
    }
    // The call's record runs the body itself, as a block record that
    // finishes the call at its end (finish_body): one record per call.
    f->after = f->role;
    f->kind = fr::block;
    f->role = fr::fbody;
    f->state = 0;
    f->stack_context = f->flag;
    f->flag = true;
    position_at(&body, f->c);
    f->entry = stack::top();
    if (!f->c.library) {
        f->link = live_code{&f->c, f->c.pos, innermost_code};
        innermost_code = &f->link;
    }
    return signal_code::none;
}

// Starts the expression at c.pos (the argument top is its entry; cv the
// code as it is now, c.pos before its end). One that
// needs no record (plain data, a word holding data, with inline operators
// after it, or anything the generic step does) is done here and answers
// false, its result pushed or a code in *code; one whose head or operand is a
// decoded call, a paren or a set-word gets records and answers true.
bool start_set_word(code_position& c, bool no_infix, signal_code* code, kel_value* entry, const kel_value* v,
                    const kel_value* left, int32_t stop);

// The field `o/x` reads when it holds plain data and the short path would
// read it (null otherwise; nothing is filled or changed).
const kel_value* quick_field(const kel_value* path);
// `o/x: value` as the short path stores it, the value pushed (false: nothing
// was done).
bool quick_field_set(const kel_value* path, const kel_value* value);

// One operand of a quick expression: plain data, a word holding it, a
// get-word's value, or an object's field read by a path of two words.
[[gnu::always_inline]] inline const kel_value* quick_operand(const kel_value* v) {
    const uint32_t t = type_of(v);
    if (t == types::word) {
        v = fast_slot(v);
        return v && !(word_special & bit(type_of(v))) ? v : nullptr;
    }
    if (t == types::path) [[unlikely]] return quick_field(v);
    if (t == types::get_word) {
        // The value as it stands, whatever its type; an unset one is left to
        // the ordinary step.
        v = fast_slot(v);
        return v && !unset_q(v) ? v : nullptr;
    }
    return plain_data(t) ? v : nullptr;
}

// The cells of a block or paren from its position on (false when there are none).
inline bool whole_view(const kel_value* b, code_view* out) {
    memory::buffer_header* h = header_of(series_node(b));
    const int32_t head = series_head(b), tail = static_cast<int32_t>(h->used() / 16);
    if (head < 0 || head >= tail) return false;
    *out = code_view{reinterpret_cast<kel_value*>(h->head_ptr()) + head, tail - head, h};
    return true;
}

// Computes `operand (operator operand)*` from p into *out, where every
// operator is one the loop applies in place and every operand after one is
// a number (with `parens`, also a paren holding such an expression whole).
// Answers the position after it, or -1 when the code is not of that shape or
// an operator declines (an overflow, a zero divisor): nothing has been
// changed then, and the code runs its ordinary way.
// With `stop`, a run that meets an inline operator whose right operand is
// neither a number, a word holding one nor a quick paren writes the
// operator's position there, *out holding the value computed up to it.
template <bool parens>
[[gnu::always_inline]] inline int32_t quick_run(const code_view& cv, int32_t p, kel_value* out,
                                                int32_t* stop = nullptr);
// A block or paren that is one quick expression whole (without parens in it),
// computed into *out.
[[gnu::always_inline]] inline bool quick_whole(const kel_value* b, kel_value* out) {
    code_view v;
    return whole_view(b, &v) && quick_run<false>(v, 0, out) == v.end;
}

template <bool parens>
[[gnu::always_inline]] inline int32_t quick_run(const code_view& cv, int32_t p, kel_value* out, int32_t* stop) {
    if (p >= cv.end) return -1;
    if (parens && type_of(cv.cells + p) == types::paren) {
        // `(a + b) * c`
        if (!quick_whole(cv.cells + p, out)) return -1;
    } else {
        const kel_value* first = quick_operand(cv.cells + p);
        if (!first) return -1;
        *out = *first;
    }
    for (const kel_value* op = operator_in(cv, ++p); op; op = operator_in(cv, p)) {
        int32_t compare = 0;
        const inline_op kind = inline_kind(*op, &compare);
        if (kind == inline_op::none || p + 1 >= cv.end) return -1;
        const kel_value* right = cv.cells + p + 1;
        kel_value inner;
        if (parens && type_of(right) == types::paren) {
            if (!quick_whole(right, &inner)) {
                if (stop) *stop = p;
                return -1;
            }
            right = &inner;
        } else if (!(right = number_operand(right))) {
            if (stop) *stop = p;
            return -1;
        }
        const uint32_t rt = type_of(right);
        if (!((rt == types::integer || rt == types::float_) && apply_inline(kind, compare, out, right))) return -1;
        p += 2;
    }
    return p;
}

// A block that is one quick expression, such as a while loop's condition,
// computed without a record of its own (untraced only: tracing sees its
// events).
[[gnu::always_inline]] inline bool quick_block(const kel_value* block, kel_value* out) {
    code_view v;
    kel_value value;
    if (trace.active || !whole_view(block, &v) || quick_run<true>(v, 0, &value) != v.end || unset_q(&value))
        return false;
    *out = value;
    return true;
}

// Stores a quick expression's value through its set-word when the store
// is plain (false: nothing stored). An unset value is the ordinary path's
// error, and an op! stored here could make the word after it an operator,
// which the ordinary path's look-ahead then applies to this value.
inline bool store_quick(const kel_value* set_word, const kel_value* value) {
    return !unset_q(value) && type_of(value) != types::op && store_plain(set_word, value);
}

// A block that is one quick set-word whole (`[a: a * 2]`, a branch):
// computed and stored for the reasons of quick_set_word, its value into
// *out. The whole block is checked before anything is stored.
[[gnu::noinline]] bool quick_set_block(const kel_value* block, kel_value* out) {
    code_view v;
    if (trace.active || !whole_view(block, &v) || v.end < 2 || type_of(v.cells) != types::set_word) return false;
    kel_value value;
    if (quick_run<true>(v, 1, &value) != v.end || !store_quick(v.cells, &value)) return false;
    *out = value;
    return true;
}

// `word: value` where the value is a quick expression: computed and stored
// without the set-word's mark or a record. Nothing in it can fail, allocate,
// call or be traced, so no one could see the mark; whatever does not fit (an
// object's word, an unbound word, the shapes quick_run refuses) runs the
// ordinary way from the set-word.
//
// A run that stops at an operator whose right operand needs evaluating
// (`s: s + select ...`) leaves *stop at that operator, the value before it
// in *left: the set-word's records then start there (start_set_word).
[[gnu::noinline]] bool quick_set_word(code_position& c, const code_view& cv, const kel_value* set_word,
                                      kel_value* left, int32_t* stop) {
    kel_value value;
    const int32_t p = quick_run<true>(cv, c.pos + 1, &value, stop);
    if (p < 0) {
        if (*stop >= 0) *left = value;
        return false;
    }
    if (!store_quick(set_word, &value)) return false;
    push_value(&value);
    c.pos = p;
    return true;
}

// A loop body's quick set-words (`n: n + 1`) run in place, from the body's
// head, without a block record, for the reasons of quick_set_word; the value
// of the last one run is left at `entry`. Answers -1 when none ran, the
// body's end when all did, else the expression a record must take over from.
[[gnu::noinline]] int32_t quick_body(const kel_value* body, kel_value* entry, int32_t* end) {
    code_position c;
    position_at(body, c);
    const code_view cv = view_of(c);
    const int32_t head = c.pos;
    *end = cv.end;
    while (c.pos < cv.end && type_of(cv.cells + c.pos) == types::set_word) {
        stack::regs.top = entry;
        kel_value left;
        int32_t stop = -1;
        if (!quick_set_word(c, cv, cv.cells + c.pos, &left, &stop)) break;
    }
    return c.pos == head ? -1 : c.pos;
}

// A loop body in a block record, from `pos` when quick set-words before it
// ran already (-1: from its head).
void resume_body(const kel_value* body, uint8_t role, int32_t pos, signal_code* code) {
    frame* f = push_block(body, role, true);
    if (!f) {
        *code = frames_overflow();
        return;
    }
    if (pos >= 0) {
        f->c.pos = pos;
        f->state = 1;
    }
}

// Starts a loop body: its quick set-words at once, the rest (if any) in a
// block record as ever. True when the whole body ran without a record (the
// loop's next round can follow at once). A body none of whose set-words ran
// this way is not tried again in this loop: the record would only repeat the
// attempt.
inline bool run_loop_body(frame* loop, const kel_value* body, uint8_t role, signal_code* code) {
    kel_value* const entry = stack::top();
    int32_t p = -1, end = 0;
    if (loop->quick != quick_none && !trace.active) {
        if (loop->quick == quick_sets) {
            p = quick_body(body, entry, &end);
            if (p >= end) {
                *stack::arguments() = *entry;
                stack::regs.top = entry + 1;
                return true;
            }
            if (p < 0) loop->quick = quick_call_body;
        }
        if (loop->quick >= quick_call_body) {
            stack::regs.top = entry;
            if (quick_block_call(body, true, code, true)) {
                if (*code == signal_code::none) return true;
                // What the body's block record does with a code for its loop.
                if (*code == signal_code::continue_) {
                    *code = signal_code::none;
                    if (role == fr::until_body) loop->state = fr::c_until_round;
                } else if (*code == signal_code::break_) {
                    *code = signal_code::none;
                    loop->state = fr::c_loop_end;
                }
                return false;
            }
            loop->quick = loop->quick == quick_call_body ? quick_call_last : quick_none;
        }
    }
    stack::regs.top = entry;
    resume_body(body, role, p, code);
    return false;
}

// `o/x: value` where the value is a quick expression and the short path
// stores into the object (one that hears no changes): computed and stored
// without the set-path's mark, for the reasons of quick_set_word.
[[gnu::noinline]] bool quick_set_path(code_position& c, const code_view& cv, const kel_value* set_path) {
    kel_value value;
    const int32_t p = quick_run<true>(cv, c.pos + 1, &value);
    if (p < 0 || unset_q(&value) || !quick_field_set(set_path, &value)) return false;
    c.pos = p;
    return true;
}

// A decoded path call's record (false: the generic step runs the path).
[[gnu::noinline]] bool start_path_call(code_position& c, memory::buffer_header* h, const kel_value& path,
                                       bool no_infix, signal_code* code) {
    kel_value name;
    const decode::term* d = decoded_path_call(c, h, c.pos, path, &name);
    if (!d) return false;
    ++c.pos;
    if (frame* f = push_call(d, &c, &name, no_infix)) f->w = path;
    else *code = frames_overflow();
    return true;
}

inline bool start_infix(code_position& c, const code_view& cv, kel_value* entry, signal_code* code);

enum class quick_call : uint8_t { declined, value, record, stopped };
constexpr int32_t quick_call_arguments = 3;
// A call site whose arguments were not all quick this many times (since its
// block was last decoded: a change to it or a collection) is not tried again.
constexpr uint8_t quick_call_tries = 4;
// How deep calls nest as each other's arguments on this path (`select b
// pick k i + 1`); deeper ones take records.
constexpr int32_t quick_call_nesting = 3;
inline quick_call declined(decode::term* d) {
    if (d->declines < quick_call_tries) ++d->declines;
    return quick_call::declined;
}

// The decoded call at p that start_quick_call may make: a word naming an
// action or native the loop does not run itself, not declined too often
// (null: anything else).
inline decode::term* nested_call_at(code_position& c, const code_view& cv, int32_t p) {
    if (p >= cv.end || type_of(cv.cells + p) != types::word) return nullptr;
    const kel_value* value = fast_slot(cv.cells + p);
    if (!value || !native_like(type_of(value))) return nullptr;
    decode::term* d = decoded_call(c, cv.h, p, *value);
    return d && d->control == 0 && d->declines < quick_call_tries ? d : nullptr;
}

// The call start_quick_call has opened (its placeholder and mark laid out,
// `done` arguments in place above the placeholder) as the record its
// ordinary fetch would be by now, at `at` in the frame stack (the records
// from there up move up one); the loop goes on from c.pos.
[[gnu::noinline]] void adopt_call(frame* at, const decode::term& t, code_position& c, const kel_value& name,
                                  bool no_infix, kel_value* placeholder, int32_t done, uint8_t state,
                                  signal_code* code) {
    if (frame_sp >= frame_limit) [[unlikely]] {
        *code = frames_overflow();
        return;
    }
    // Records hold no pointers into each other (only block records are
    // pointed at, and none is above `at`): they move as bytes.
    std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at),
                 static_cast<size_t>(frame_sp - at) * sizeof(frame));
    ++frame_sp;
    at->kind = fr::call;
    at->role = no_infix;
    at->t = t;
    at->pc = &c;
    at->v = name;
    at->i = done;
    at->n = 0;
    at->state = state;
    at->entry = placeholder;
}

// The call of an action (entry null: its number) or native whose mark is
// open and whose `count` arguments lie above its placeholder: made, its
// value moved down to the placeholder's cell.
[[gnu::always_inline]] inline quick_call make_quick_call(natives::native_fn entry, int32_t number, kel_value* args,
                                                         int32_t count, signal_code* code) {
    stack::regs.top = args + count;
    *code = entry ? stack::catch_code([entry] { return entry(false, refinements::none()); })
                  : actions::entry(number)(refinements::none());
    if (*code != signal_code::none) [[unlikely]] return quick_call::value;
    stack::close_frame();
    *(args - 1) = *args;
    stack::regs.top = args;
    return quick_call::value;
}

// Where start_quick_call stopped: the argument that was not a quick
// expression, and its position (valid when it answered `stopped`, until the
// next call of it).
struct quick_stop_at {
    int32_t argument;
    int32_t pos;
} quick_stop;

// A decoded call of an action or native (not one the loop runs itself) whose
// arguments are all quick expressions, each of its type, fetches them here
// before its mark opens and is invoked at once, with no record: fetching
// them can neither fail, call nor be traced, so no one could see the order.
// Anything else declines, and the record's ordinary fetch runs from the
// call's word; an argument that is not a quick expression stops it
// (`stopped`, nothing counted or changed, the arguments before it computed
// in place), for go_on_nested to go on from or the caller to count as
// declined.
// (Functions and the conditionals were measured slower this way: their
// records stay.)
[[gnu::noinline]] quick_call start_quick_call(code_position& c, const code_view& cv, decode::term* d,
                                              const kel_value* name, signal_code* code, int32_t whole_to = -1) {
    // The arguments are computed where the call would push them, above the
    // placeholder's cell, before anything is pushed: nothing here allocates.
    kel_value* const placeholder = stack::top();
    kel_value* const args = placeholder + 1;
    if (d->classes != 0 || d->args != d->plain || d->args > quick_call_arguments ||
        args + quick_call_arguments >= stack::regs.limit) {
        return declined(d);
    }
    const int32_t number = static_cast<int32_t>(d->guard.w1);
    natives::native_fn entry = nullptr;
    if (type_of(&d->guard) == types::native) {
        entry = natives::at(number).fn;
        // return and exit find their receiver through the call's record.
        if (entry == natives::return_star || entry == natives::exit_star) return declined(d);
    }
    int32_t p = c.pos + 1;
    const int32_t count = d->args;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t q = quick_run<false>(cv, p, args + i);
        if (q < 0) {
            quick_stop = quick_stop_at{i, p};
            return quick_call::stopped;
        }
        const uint32_t type = type_of(args + i);
        if (d->seen[i] != type + 1) [[unlikely]] {
            if (!typeset_has(cells_of(d->cache) + i, type)) return declined(d);
            d->seen[i] = static_cast<uint8_t>(type + 1);
        }
        p = q;
    }
    if (whole_to >= 0 && p != whole_to) return quick_call::declined;
    c.pos = p;
    *placeholder = d->guard;
    stack::regs.top = args;
    stack::open_frame(name, native_kind(c.library));
    return make_quick_call(entry, number, args, d->args, code);
}

quick_call nested_call(code_position& c, const code_view& cv, decode::term* d, const kel_value* name,
                       signal_code* code, bool no_infix, int32_t nest);

// start_quick_call going on from where it stopped, when the argument there is
// a call it may make itself (`select b pick k i + 1`, up to `nest` deep;
// else the call declines). This call's placeholder and mark are then laid
// out first, as its record would have them when that call runs (its term
// and name copied: the call may decode blocks or move the code), and it is
// made once every argument is in. `record`: the rest went on as records.
[[gnu::noinline]] quick_call go_on_nested(code_position& c, code_view cv, decode::term* d, const kel_value* name,
                                          signal_code* code, bool no_infix, int32_t nest) {
    int32_t i = quick_stop.argument, p = quick_stop.pos;
    decode::term* inner = nest > 0 ? nested_call_at(c, cv, p) : nullptr;
    if (!inner) return declined(d);
    const decode::term own = *d;
    const kel_value own_name = *name;
    kel_value* const placeholder = stack::top();
    kel_value* const args = placeholder + 1;
    *placeholder = own.guard;
    stack::regs.top = args;
    stack::open_frame(&own_name, native_kind(c.library));
    for (;;) {
        // The argument at p is a call.
        stack::regs.top = args + i;
        c.pos = p;
        frame* const inner_records = frame_sp;
        const quick_call q = nested_call(c, cv, inner, cv.cells + p, code, false, nest - 1);
        if (q != quick_call::value) {
            // Declined (nothing done: the record fetches this argument), or
            // gone on as records: this call's record goes below them.
            adopt_call(inner_records, own, c, own_name, no_infix, placeholder, i,
                       q == quick_call::declined ? fr::c_fetch : fr::c_arg_done, code);
            return quick_call::record;
        }
        if (*code != signal_code::none) [[unlikely]] return quick_call::value;
        // The call may have changed the code: it is read afresh, and an
        // operator after the value makes the rest the record's.
        cv = view_of(c);
        p = c.pos;
        if (operator_in(cv, p)) {
            adopt_call(frame_sp, own, c, own_name, no_infix, placeholder, i, fr::c_arg_done, code);
            if (*code == signal_code::none) start_infix(c, cv, args + i, code);
            return quick_call::record;
        }
        // The arguments after it, up to the next call.
        for (;;) {
            if (!typeset_has(cells_of(own.cache) + i, type_of(args + i))) {
                // The record's check raises the error.
                adopt_call(frame_sp, own, c, own_name, no_infix, placeholder, i, fr::c_arg_done, code);
                return quick_call::record;
            }
            if (++i >= own.args) {
                const int32_t number = static_cast<int32_t>(own.guard.w1);
                const natives::native_fn entry = type_of(&own.guard) == types::native ? natives::at(number).fn : nullptr;
                return make_quick_call(entry, number, args, own.args, code);
            }
            const int32_t q2 = quick_run<false>(cv, p, args + i);
            if (q2 < 0) break;
            p = q2;
            stack::regs.top = args + i + 1;
            c.pos = p;
        }
        inner = nest > 0 ? nested_call_at(c, cv, p) : nullptr;
        if (!inner) {
            stack::regs.top = args + i;
            c.pos = p;
            adopt_call(frame_sp, own, c, own_name, no_infix, placeholder, i, fr::c_fetch, code);
            return quick_call::record;
        }
    }
}

// start_quick_call, and go_on_nested where it stops.
quick_call nested_call(code_position& c, const code_view& cv, decode::term* d, const kel_value* name,
                       signal_code* code, bool no_infix, int32_t nest) {
    const quick_call q = start_quick_call(c, cv, d, name, code);
    return q == quick_call::stopped ? go_on_nested(c, cv, d, name, code, no_infix, nest) : q;
}

// The code an unwind caught around evaluation carries on as; an error a trap
// waits for goes on as the exception it is.
inline signal_code code_of_unwind(const kel_unwind& u) {
    if (u.code == code_value(signal_code::error) && stack::error_for_trap) throw;
    return static_cast<signal_code>(u.code);
}

// A block that is one call of an action or native whose arguments are all
// quick (a parse action such as `(append out x)`) is run without the frame
// loop: the call is made as start_quick_call makes it, with the block's
// position linked for `near` as its record would link it. False: nothing
// was done (run_frames runs the block).
[[gnu::noinline]] bool quick_block_call(const kel_value* block, bool set_last, signal_code* code, bool loop_body) {
    code_position c;
    position_at(block, c);
    if (c.pos >= c.end) return false;
    const code_view cv = view_of(c);
    const kel_value* v = cv.cells + c.pos;
    if (type_of(v) != types::word) return false;
    const kel_value* value = fast_slot(v);
    if (!value || !native_like(type_of(value))) return false;
    decode::term* d = decoded_call(c, cv.h, c.pos, *value);
    if (!d || d->control != 0 || (loop_body && d->declines >= quick_call_tries)) return false;
    kel_value* const entry = stack::top();
    live_link here(&c);
    if (!c.library) here.enter();
    try {
        const quick_call q = start_quick_call(c, cv, d, v, code, cv.end);
        // A loop body's call whose argument is a call of its own is left to
        // its record, whose nested quick calls make it: not a decline.
        if (q == quick_call::stopped && !loop_body) declined(d);
        if (q != quick_call::value) return false;
    } catch (const kel_unwind& u) {
        // A code thrown by the call comes back as run_frames would return it.
        *code = code_of_unwind(u);
        return true;
    }
    if (*code == signal_code::none && set_last) *stack::arguments() = *entry;
    return true;
}

// The mark of an operator applied in place, open while its right operand is
// evaluated as its call would have it (out of line: the common operands
// need none).
[[gnu::noinline]] void open_operator_mark(const kel_value* op_word, bool library) {
    stack::open_frame(op_word, native_kind(library));
}

// The record of an inline operator (at c.pos, its word op_word) whose right
// operand is an expression of its own, the left operand at entry: the
// operator is decided here and the record starts the operand in its next
// round. True: a record is pushed (or the overflow is in *code).
inline bool push_right_start(code_position& c, kel_value* entry, const kel_value& op, const kel_value& op_word,
                             inline_op kind, int32_t compare, signal_code* code) {
    frame* f = push_expr(&c, entry, false, fr::x_right_start);
    if (!f) [[unlikely]] {
        *code = frames_overflow();
        return true;
    }
    f->v = op;
    f->w = op_word;
    f->i = static_cast<int32_t>(kind);
    f->n = compare;
    ++c.pos;
    stack::regs.top = entry + 1;
    open_operator_mark(&op_word, c.library);
    return true;
}

// The operators after an expression's value (at entry) in the code as cv
// shows it: those whose right operand is a number (or a word holding one)
// are applied here; the first that needs more gets a record (true).
[[gnu::always_inline]] inline bool start_infix(code_position& c, const code_view& cv, kel_value* entry,
                                               signal_code* code) {
    for (const kel_value* op = operator_in(cv, c.pos); op; op = operator_in(cv, c.pos)) {
        int32_t compare = 0;
        const inline_op kind = inline_kind(*op, &compare);
        if (kind != inline_op::none && c.pos + 1 < cv.end) {
            const kel_value* right = number_operand(cv.cells + c.pos + 1);
            if (right) {
                if (apply_inline(kind, compare, entry, right)) {
                    c.pos += 2;
                    continue;
                }
            } else {
                return push_right_start(c, entry, *op, cv.cells[c.pos], kind, compare, code);
            }
        }
        if (!push_expr(&c, entry, false, fr::x_infix)) *code = frames_overflow();
        return true;
    }
    return false;
}

// Either, if or unless with quick arguments (see below).
quick_call start_conditional(code_position& c, const code_view& cv, decode::term* d, const kel_value* name,
                             bool no_infix, signal_code* code);

[[gnu::always_inline]] inline bool start_expression(code_position& c, const code_view& cv, bool no_infix,
                                                    signal_code* code) {
    kel_value* const entry = stack::top();
    if (trace.active) [[unlikely]] {
        *code = step_expression(c, no_infix, true, false);
        return false;
    }
    // The cell read in place: nothing below allocates before it is used
    // (but for the argument cache's building, after which it is read again).
    const kel_value* v = cv.cells + c.pos;
    const uint32_t t = type_of(v);
    if (t == types::word) {
        const kel_value* value = fast_slot(v);
        if (!value) [[unlikely]] goto generic;
        const uint32_t vt = type_of(value);
        if (!(word_special & bit(vt))) [[likely]] {
            push_value(value);
            ++c.pos;
            goto infix;
        }
        if (!function_type(vt)) goto generic;
        const kel_value fn = *value;
        // The argument cache is built here rather than at the generic call, so
        // that a call run once (a loop at the top of a script) is decoded as
        // well; a decoded term implies the cache, so it is looked at only
        // when there is no term.
        bool view_holds = true;
        decode::term* d = decoded_call(c, cv.h, c.pos, fn);
        if (!d) [[unlikely]] {
            if (type_of(cells_of(fn.w3) + function::more::cache) != types::block) {
                (void)cache_of(&fn);
                memory::buffer_header* h = header_of(series_node(&c.block));
                v = reinterpret_cast<const kel_value*>(h->head_ptr()) + c.pos;
                view_holds = false;  // the cache's building may have moved the code
                d = decoded_call(c, h, c.pos, fn);
            }
            if (!d) goto generic;
        }
        if (d->control != 0 && view_holds) {
            const quick_call q = start_conditional(c, cv, d, v, no_infix, code);
            if (q == quick_call::record) return true;
            if (q == quick_call::value) {
                if (*code != signal_code::none || no_infix) return false;
                return start_infix(c, cv, entry, code);
            }
        }
        if (view_holds && d->control == 0 && type_of(&fn) != types::function &&
            d->declines < quick_call_tries) {
            quick_call q = start_quick_call(c, cv, d, v, code);
            if (q == quick_call::stopped) q = go_on_nested(c, cv, d, v, code, no_infix, quick_call_nesting);
            if (q == quick_call::record) return true;
            if (q == quick_call::value) {
                if (*code != signal_code::none || no_infix) return false;
                // The call may have changed the code (grown, moved or cut the
                // block): the operators after it are read from it afresh.
                return start_infix(c, view_of(c), entry, code);
            }
        }
        ++c.pos;
        if (!push_call(d, &c, v, no_infix)) *code = frames_overflow();
        return true;
    }
    if (plain_data(t)) {
        push_value(v);
        ++c.pos;
        goto infix;
    }
    if (t == types::paren) {
        ++c.pos;
        if (start_paren_call(c, v, no_infix, code)) return true;
        if (frame* p = push_block(v, no_infix ? fr::paren_no_infix : fr::paren, false)) p->pc = &c;
        else *code = frames_overflow();
        return true;
    }
    if (t == types::set_word) {
        kel_value left;
        int32_t stop = -1;
        if (quick_set_word(c, cv, v, &left, &stop)) return false;
        return start_set_word(c, no_infix, code, entry, v, stop >= 0 ? &left : nullptr, stop);
    }
    if (t == types::set_path && quick_set_path(c, cv, v)) return false;
    if (t == types::path && start_path_call(c, cv.h, *v, no_infix, code)) return true;
generic:
    *code = step_expression(c, no_infix, true, false);
    return false;
infix:
    if (no_infix) return false;
    return start_infix(c, cv, entry, code);
}

// The value of a set-word whose quick run stopped at the operator at `stop`,
// `left` computed before it. The operator's record starts the operand, but
// an operand that is a call start_quick_call makes (`s: s + select b k`) is
// made here and the operator applied at once. True: the value is complete
// on the stack, with no record left and no code.
bool set_word_right(code_position& c, const code_view& cv, const kel_value* left, int32_t stop, signal_code* code) {
    kel_value* const value_entry = stack::top();
    push_value(left);
    const kel_value op = *operator_in(cv, stop);
    int32_t compare = 0;
    const inline_op kind = inline_kind(op, &compare);
    c.pos = stop;
    push_right_start(c, value_entry, op, cv.cells[stop], kind, compare, code);
    if (*code != signal_code::none) return false;
    decode::term* d = nested_call_at(c, cv, stop + 1);
    if (!d) return false;
    // The operator's record waits for the operand, as it would after the
    // call's own record.
    frame* const f = frame_sp - 1;
    f->state = fr::x_right_done;
    stack::regs.top = value_entry + 1;
    const quick_call q = nested_call(c, cv, d, cv.cells + stop + 1, code, true, quick_call_nesting);
    if (q == quick_call::declined) {
        f->state = fr::x_right_start;
        return false;
    }
    if (q == quick_call::record || *code != signal_code::none) return false;
    stack::close_frame();
    if (!apply_inline(kind, compare, value_entry, value_entry + 1)) {
        f->state = fr::x_right_closed;  // the record calls the operator
        return false;
    }
    --frame_sp;
    stack::regs.top = value_entry + 1;
    // The call may have changed the code: read afresh.
    return !start_infix(c, view_of(c), value_entry, code);
}

// A set-word's expression: its mark, then its value (a record of its own
// only when the value needs one).
[[gnu::noinline]] bool start_set_word(code_position& c, bool no_infix, signal_code* code, kel_value* entry,
                                      const kel_value* set_word, const kel_value* left, int32_t stop) {
        // The set-word read in place: nothing allocates before it is on the stack.
        stack::open_frame(set_word, native_kind(c.library));
        push_value(set_word);
        ++c.pos;
        const code_view cv = view_of(c);
        if (c.pos >= cv.end) {
            const kel_value v = *stack::arguments();
            *code = fail(error_category::script, "need-value", &v);
            return false;
        }
        if (!push_expr(&c, entry, no_infix, fr::x_set_done)) {
            *code = frames_overflow();
            return true;
        }
        if (left) {
            // The value's expression as start_infix leaves it at the operator
            // quick_set_word stopped at, its left operand already computed.
            if (!set_word_right(c, cv, left, stop, code)) return true;
        } else if (start_expression(c, cv, false, code) || *code != signal_code::none) {
            return true;
        }
        // The value is there already: assigned without a round of the loop.
        --frame_sp;
        if (!assign_plain(stack::arguments())) *code = stack::catch_code([] { return assign(stack::arguments()); });
        if (*code != signal_code::none) [[unlikely]] return false;
        stack::close_frame();
        if (!no_infix && operator_after(c)) {
            if (!push_expr(&c, entry, false, fr::x_infix)) *code = frames_overflow();
            return true;
        }
        return false;
    }

// foreach's next round over its word (or block of count words), cursor and
// body (the cursor a copy that moves): false at the tail or with a code in
// *code. A block's next cell into one word of a frame or a plain context is
// stored here, without foreach_step's calls.
[[gnu::noinline]] bool foreach_next(kel_value* args, int32_t count, signal_code* code) {
    kel_value* const cursor = args + 1;
    if (type_of(args) == types::block) return natives::foreach_round(args, cursor, count, code);
    const int32_t head = series_head(cursor);
    memory::buffer_header* const h = type_of(cursor) == types::block ? header_of(series_node(cursor)) : nullptr;
    if (h && head >= 0 && static_cast<uint32_t>(head) < h->units()) [[likely]] {
        const kel_value v = reinterpret_cast<const kel_value*>(h->head_ptr())[head];
        if (!store_plain(args, &v)) [[unlikely]] {
            kel_value word = args[0];
            _context::set_bound(&word, &v);
        }
        set_series_head(cursor, head + 1);
        return true;
    }
    if (!natives::series_not_tail_q(cursor)) return false;
    *code = natives::foreach_step(args, cursor);
    return *code == signal_code::none;
}

// The mark a return or exit called by record f lands in when that is the
// call of a function this loop runs (-1: the return signal finds it). Above
// `base` every open mark was opened by a record, and only a function's call
// record marks its mark as a return target, so the nearest function body's
// record is what the signal's search would find.
int32_t return_receiver(frame* base, frame* f) {
    for (frame* b = f - 1; b > base; --b) {
        if (b->kind != fr::block || b->role != fr::fbody) continue;
        const int32_t receiver = b->depth - 1;
        if (receiver < 0 || receiver >= stack::mark_depth() - 1 ||
            !(stack::regs.marks_bottom[receiver].flags & stack::flag_return_target)) [[unlikely]]
            return -1;
        return receiver;
    }
    return -1;
}

// A function's refinement cells laid out once its plain arguments are in:
// off, but for those its path names.
[[gnu::noinline]] void lay_refinement_cells(frame* f) {
    f->n = 1;
    push_refinement_cells(f->t.cache);
    kel_value* const base_cell = f->entry + 1;
    for (int32_t r = 0; r < f->t.named; ++r) set_logic(base_cell + cells_of(f->t.cache)[f->t.refs[r]].w3, true);
}

// A refinement's argument fetched (at the top): checked, and for a function
// moved into its frame cell (a native's stays where it was pushed).
[[gnu::noinline]] signal_code refinement_argument_done(frame* f) {
    const kel_value* arg = stack::top() - 1;
    int32_t cell = 0;
    const int32_t index = refinement_argument(f->t, f->i - f->t.plain, &cell);
    if (!typeset_has(cells_of(f->t.cache) + index, type_of(arg))) [[unlikely]]
        return expect_arg(call_of(f), index, arg);
    if (f->t.rest) {
        f->entry[1 + cell] = *arg;
        stack::drop_cells(1);
    }
    return signal_code::none;
}

// Opens the each record of any or all (the native's mark open, its block
// argument at the base).
[[gnu::noinline]] signal_code start_each(uint8_t id) {
    const kel_value conditions = *stack::argument(1);
    frame* e = push_frame(fr::each);
    if (!e) return frames_overflow();
    position_at(&conditions, e->c);
    e->role = id;
    e->entry = stack::top();
    return signal_code::none;
}

// Opens the each record of case (the native's mark open, its block of cases
// at the base): as the native does, a mark of its own for the conditions and
// branches, its base cell the value so far; an empty block is none at once.
[[gnu::noinline]] signal_code start_case() {
    const kel_value cases = *stack::argument(1);
    if (block::ks_length_q(&cases) <= 0) {
        set_none(stack::arguments());
        return signal_code::none;
    }
    frame* e = push_frame(fr::each);
    if (!e) return frames_overflow();
    position_at(&cases, e->c);
    e->role = natives::number::case_;
    stack::open_frame(&words::_anon, stack::kind::native);
    set_unset(stack::alloc_cell());
    e->entry = stack::arguments();
    return signal_code::none;
}

// The cases of case (an each record), in the native's order: a condition
// (state 1 once it is being computed), then for a true one its branch (state
// 2: a block as a record, anything else the generic step), whose value is
// case's. The record goes once that value is in place.
void run_case(frame* f, signal_code* code) {
    code_position& c = f->c;
    for (;;) {
        if (f->state == 2) {
            stack::close_frame_set_last();
            break;
        }
        if (f->state == 1) {
            const kel_value* v = f->entry;
            if (c.pos >= end_of(c)) {
                *code = fail(error_category::script, "need-value", &words::_case);
                return;
            }
            if (unset_q(v)) [[unlikely]] {
                *code = fail(error_category::script, "no-return");
                return;
            }
            if (!logic::truthy(v)) {
                ++c.pos;  // the branch is skipped unevaluated
                f->state = 0;
                continue;
            }
            stack::rewind();
            const kel_value next = *cell_at(c, c.pos);
            f->state = 2;
            if (type_of(&next) == types::block) {
                ++c.pos;
                if (quick_block(&next, stack::arguments())) continue;
                if (!push_block(&next, fr::branch, true)) *code = frames_overflow();
                return;
            }
            *code = step_expression(c, false, false, false);
            if (*code != signal_code::none) return;
            continue;
        }
        if (c.pos >= end_of(c)) {
            // No condition held.
            stack::close_frame_set_last();
            set_none(stack::arguments());
            break;
        }
        stack::rewind();
        const code_view cv = view_of(c);
        f->state = 1;
        if (start_expression(c, cv, false, code) || *code != signal_code::none) return;
    }
    --frame_sp;
}

// The conditions of any or all (an each record): the next expression, or the
// verdict on the one just done; the record goes once the native's result is
// in place (its call record then finishes). case has its own (run_case).
[[gnu::noinline]] void run_each(frame* f, signal_code* code) {
    if (f->role == natives::number::case_) return run_case(f, code);
    code_position& c = f->c;
    const bool any = f->role == natives::number::any;
    for (;;) {
        if (f->state == 1) {
            // An expression is done: its mark closes, its value decides.
            stack::close_frame();
            kel_value* const v = f->entry;
            const bool falsy = logic::falsy(v);
            stack::regs.top = v;
            f->state = 2;
            if (any ? !falsy : falsy) {
                if (any) *stack::arguments() = *v;
                else set_none(stack::arguments());
                break;
            }
            if (!any) *stack::arguments() = *v;
        }
        if (c.pos >= end_of(c)) {
            if (any || f->state == 0) set_none(stack::arguments());
            stack::regs.top = f->entry;
            break;
        }
        const code_view cv = view_of(c);
        stack::open_frame(&words::_body, native_kind(c.library));
        f->state = 1;
        if (start_expression(c, cv, false, code) || *code != signal_code::none) return;
    }
    --frame_sp;
}

// The arguments of either, if or unless (decoded as d, its word at c.pos)
// fetched at once into args when the condition is a quick expression and
// every branch a block written in place, with no operator after the last
// (one would take the block as its left operand): the common
// `either n < 2 [..] [..]`. Answers the position after them, or -1 (nothing
// fetched: the record's fetch runs as ever).
inline int32_t quick_conditional(const code_view& cv, int32_t at, const decode::term* d, kel_value* args) {
    const uint8_t id = d->control;
    if (id != natives::number::either && id != natives::number::if_ && id != natives::number::unless) return -1;
    const int32_t count = d->args;
    if (args + count >= stack::regs.limit) return -1;
    int32_t p = quick_run<false>(cv, at + 1, args);
    if (p < 0 || p + count - 1 > cv.end) return -1;
    // Their specs are the native table's (`cond [any-type!]`, the branches
    // [block!]): a quick value and blocks pass them as they are. An unset
    // condition (a cell of the code itself) is either's error to raise.
    if (unset_q(args)) return -1;
    for (int32_t i = 1; i < count; ++i, ++p) {
        if (type_of(cv.cells + p) != types::block) return -1;
        args[i] = cv.cells[p];
    }
    if (operator_in(cv, p)) return -1;
    return p;
}

// A conditional whose arguments quick_conditional fetches runs here: the
// branch it takes (none for a false if) is computed in place when it is a
// quick block, and nothing could see the conditional's mark, so none is
// opened; otherwise the conditional's mark opens, its arguments in, and the
// branch's block record finishes the call. Declined: nothing was
// done, and the word's record runs the ordinary fetch.
[[gnu::noinline]] quick_call start_conditional(code_position& c, const code_view& cv, decode::term* d,
                                               const kel_value* name, bool no_infix, signal_code* code) {
    kel_value* const placeholder = stack::top();
    kel_value* const args = placeholder + 1;
    const int32_t p = quick_conditional(cv, c.pos, d, args);
    if (p < 0) return quick_call::declined;
    const uint8_t id = d->control;
    kel_value branch;
    uint8_t taken = 1;  // the branch's bit in d->declines
    if (id == natives::number::either) {
        if (logic::truthy(args)) {
            branch = args[1];
        } else {
            branch = args[2];
            taken = 2;
        }
    } else if (logic::falsy(args) == (id == natives::number::if_)) {
        set_none(placeholder);
        stack::regs.top = args;
        c.pos = p;
        return quick_call::value;
    } else {
        branch = args[1];
    }
    // A branch found not to be one quick expression is not tried again at
    // this site (its block may change, but the record runs any block).
    if (!(d->declines & taken)) {
        if (quick_block(&branch, placeholder) || quick_set_block(&branch, placeholder)) {
            stack::regs.top = args;
            c.pos = p;
            return quick_call::value;
        }
        if (!trace.active) d->declines |= taken;
    }
    // The conditional's mark, its arguments in; the branch's block record
    // finishes the call at its end (finish_conditional).
    *placeholder = d->guard;
    stack::regs.top = args;
    stack::open_frame(name, native_kind(c.library));
    stack::regs.top = args + d->args;
    c.pos = p;
    frame* f = push_block(&branch, fr::cbranch, true);
    if (!f) [[unlikely]] {
        *code = frames_overflow();
        return quick_call::record;
    }
    f->pc = &c;
    f->v = *name;
    f->after = no_infix;
    return quick_call::record;
}

// --- planned rounds ---------------------------------------------------------------
// A loop round made only of quick expressions (a while loop's quick
// condition, a body of quick set-words) runs nothing that could allocate,
// call, bind, move a buffer or change a block. So between two such rounds
// the slots its words resolve to stay where they are, and a plan made of
// them after one round holds for the next as long as only such rounds run
// (and no buffer moved: root.moves). A planned round re-checks everything a
// value could change (an operand's type, the operator a word holds) and
// gives the round back to the ordinary path where anything differs, at the
// first set-word not yet stored.

struct plan_operand {
    // Where the operand is read: a word's value slot, the literal below, or
    // (a right operand) the paren's value in the plan's scratch.
    const kel_value* at = nullptr;
    kel_value literal{};
    uint8_t check = 0;                // a word's value: 0 none (a literal), 1 not special, 2 a get-word's: not unset
};
struct plan_op {
    const kel_value* slot = nullptr;  // the operator word's value slot
    kel_value op{};                   // what it held (a guard)
    inline_op kind = inline_op::none;
    int32_t compare = 0;
    int8_t paren = -1;                // the right operand's planned paren (-1: none; `right` reads its value)
    bool guard = true;                // its slot may change between rounds: re-checked in each
    plan_operand right;
};
constexpr int plan_max_ops = 4, plan_max_exprs = 8, plan_max_sets = 4;
struct plan_expr {
    plan_operand first;
    // A call of a function whose body an attempt may run (see pure), by its
    // word or a path naming refinements, with its arguments' expressions:
    // then `first` holds the word's value slot.
    kel_value fn{};
    pure::call_shape shape;
    int8_t call_arg[pure::max_shaped_args] = {};
    bool call = false;
    uint8_t count = 0;
    uint8_t parens = 0;               // right operands that are parens
    int8_t paren[plan_max_ops] = {};  // their expressions
    plan_op ops[plan_max_ops];
};
// Operands point into the plan (its literals, its scratch), so a plan is
// made and run where it stands and never copied.
struct round_plan {
    round_plan() = default;
    round_plan(const round_plan&) = delete;
    round_plan& operator=(const round_plan&) = delete;
    uint64_t moves = 0;
    uint8_t exprs = 0, sets = 0;
    int8_t condition = -1;                 // while: the condition's expression
    plan_expr expr[plan_max_exprs];
    int8_t set_expr[plan_max_sets] = {};   // each set-word's expression
    kel_value* target[plan_max_sets] = {}; // and its slot
    int32_t set_pos[plan_max_sets] = {};   // and its position in the body
    mutable kel_value scratch[plan_max_exprs];  // the planned parens' values in a round
};

// Plans a word or literal operand read as quick_run reads it (false: not
// plannable).
bool plan_operand_at(plan_operand& o, const kel_value* v, bool first) {
    const uint32_t t = type_of(v);
    if (t == types::word || (first && t == types::get_word)) {
        o.at = fast_slot(v);
        o.check = t == types::get_word ? 2 : 1;
        return o.at != nullptr;
    }
    if (first ? plain_data(t) : (t == types::integer || t == types::float_)) {
        o.literal = *v;
        o.at = &o.literal;
        o.check = 0;
        return true;
    }
    return false;
}

// Plans a call an attempt may run at v: a word naming a function, or a path
// of words naming one and its refinements (false: none).
bool plan_call(plan_expr& x, const kel_value* v) {
    const uint32_t t = type_of(v);
    const kel_value* head = v;
    decode::term d;
    if (t == types::path) {
        memory::buffer_header* ph;
        int32_t count;
        head = call_path_elements(*v, &count, &ph);
        if (!head) return false;
        const kel_value* slot = fast_slot(head);
        if (!slot || type_of(slot) != types::function) return false;
        decode_path_call(&d, *slot, head, count, memory::stamp_of(ph));
        if (d.k != decode::kind::path_call) return false;
    } else if (t == types::word) {
        const kel_value* slot = fast_slot(head);
        if (!slot || type_of(slot) != types::function) return false;
        decode_call(&d, *slot);
        if (d.k != decode::kind::call) return false;
    } else {
        return false;
    }
    if (d.classes != 0) return false;
    const kel_value* slot = fast_slot(head);
    const pure::body* b = pure::body_of(*slot);
    if (!b || !b->callable || !pure::shape_of(*b, d, &x.shape)) return false;
    x.call = true;
    x.fn = *slot;
    x.first.at = slot;
    return true;
}

// Plans `operand (operator operand)*` from p as quick_run reads it; answers
// the position after it, or -1 (not plannable).
int32_t plan_run(round_plan& r, const code_view& cv, int32_t p, bool parens, int8_t* index) {
    if (p >= cv.end || r.exprs >= plan_max_exprs) return -1;
    const int8_t e = static_cast<int8_t>(r.exprs++);
    *index = e;
    plan_expr& x = r.expr[e];
    if (plan_call(x, cv.cells + p)) {
        // Its arguments are planned runs of their own; the last takes every
        // operator after it.
        ++p;
        for (int i = 0; i < x.shape.count; ++i) {
            p = plan_run(r, cv, p, false, &x.call_arg[i]);
            if (p < 0) return -1;
        }
        return p;
    }
    if (!plan_operand_at(x.first, cv.cells + p, true)) return -1;
    for (++p; p < cv.end && type_of(cv.cells + p) == types::word; p += 2) {
        const kel_value* slot = fast_slot(cv.cells + p);
        if (!slot) return -1;  // the ordinary path may still find an operator there
        if (type_of(slot) != types::op) break;
        if (x.count >= plan_max_ops || p + 1 >= cv.end) return -1;
        plan_op& o = x.ops[x.count++];
        o.slot = slot;
        o.op = *slot;
        o.kind = inline_kind(o.op, &o.compare);
        if (o.kind == inline_op::none) return -1;
        const kel_value* right = cv.cells + p + 1;
        if (parens && type_of(right) == types::paren) {
            code_view pv;
            if (!whole_view(right, &pv) || plan_run(r, pv, 0, false, &o.paren) != pv.end) return -1;
            o.right.at = &r.scratch[o.paren];
            x.paren[x.parens++] = o.paren;
        } else if (!plan_operand_at(o.right, right, false)) {
            return -1;
        }
    }
    return p;
}

bool run_planned_call(const round_plan& r, const plan_expr& x, kel_value* out, kel_value* also);

// Computes a planned expression into *out, and into *also when given
// (false: the ordinary path must, and nothing was stored; an unset result
// is the ordinary path's too). Nothing in a planned expression has an
// effect, so its parens are computed before the rest, each into the
// scratch its operator reads.
//
// The value is stored from registers, to each place it goes: copied on
// from *out, the 16-byte load could not be forwarded from the narrower
// stores that wrote it, and would wait for them to retire.
template <bool parens>
[[gnu::always_inline]] inline bool run_planned(const round_plan& r, int e, kel_value* out, kel_value* also = nullptr) {
    // Read into locals and computed in one: a store through a value
    // pointer could otherwise be taken to change the plan.
    const plan_expr& x = r.expr[e];
    const int count = x.count;
    if (parens) {
        for (const int8_t *p = x.paren, *end = x.paren + x.parens; p != end; ++p)
            if (!run_planned<false>(r, *p, &r.scratch[*p])) return false;
    }
    if (x.call) [[unlikely]] return run_planned_call(r, x, out, also);
    const kel_value* v = x.first.at;
    const uint8_t check = x.first.check;
    if (check && (check == 2 ? unset_q(v) : (word_special & bit(type_of(v))) != 0)) return false;
    kel_value value = *v;
    for (const plan_op *o = x.ops, *end = x.ops + count; o != end; ++o) {
        if (o->guard && !same_bits(*o->slot, o->op)) return false;
        // apply_inline takes numbers only: a right operand of any other type fails it
        if (!apply_inline(o->kind, o->compare, &value, o->right.at)) return false;
    }
    if (unset_q(&value)) return false;
    *out = value;
    if (also) *also = value;
    return true;
}

// A planned call: its arguments, then the attempt (a call it gives up on is
// the ordinary path's).
[[gnu::noinline]] bool run_planned_call(const round_plan& r, const plan_expr& x, kel_value* out, kel_value* also) {
    kel_value args[pure::max_shaped_args];
    for (int i = 0; i < x.shape.count; ++i)
        if (!run_planned<false>(r, x.call_arg[i], args + i)) return false;
    kel_value value;
    if (!same_bits(*x.first.at, x.fn) || !pure::try_shaped(x.fn, args, x.shape, &value) || unset_q(&value))
        return false;
    *out = value;
    if (also) *also = value;
    return true;
}

// Between planned rounds only the plan's own stores change a value (and
// the loop's word, `varying`, which the loop sets): checks of any other slot
// are made once here, for all rounds. False: a check fails now.
bool hoist_checks(round_plan& r, const kel_value* varying) {
    const auto changes = [&](const kel_value* slot) {
        if (slot == varying) return true;
        for (int k = 0; k < r.sets; ++k)
            if (r.target[k] == slot) return true;
        return false;
    };
    for (int e = 0; e < r.exprs; ++e) {
        plan_expr& x = r.expr[e];
        for (int i = 0; i < x.count; ++i) {
            plan_op& o = x.ops[i];
            if (!same_bits(*o.slot, o.op)) return false;
            o.guard = changes(o.slot);
        }
        if (x.call || !x.first.check || changes(x.first.at)) continue;
        const kel_value* v = x.first.at;
        if (x.first.check == 2 ? unset_q(v) : (word_special & bit(type_of(v))) != 0) return false;
        x.first.check = 0;
    }
    return true;
}

// Plans a body of quick set-words whole (false: not plannable).
bool plan_body(round_plan& r, const kel_value* body, const kel_value* varying = nullptr) {
    code_position c;
    position_at(body, c);
    const code_view cv = view_of(c);
    int32_t p = c.pos;
    if (p >= cv.end) return false;
    while (p < cv.end) {
        const kel_value* set_word = cv.cells + p;
        if (type_of(set_word) != types::set_word || r.sets >= plan_max_sets) return false;
        bool plain = false;
        kel_value* slot = fast_slot(set_word, &plain);
        if (!slot || !plain) return false;
        const int k = r.sets++;
        r.target[k] = slot;
        r.set_pos[k] = p;
        p = plan_run(r, cv, p + 1, true, &r.set_expr[k]);
        if (p < 0) return false;
    }
    r.moves = memory::root.moves;
    return hoist_checks(r, varying);
}

// Runs a planned body: -1 when every set-word was stored (the last value
// the loop's value), else the position of the first one the ordinary path
// must take over from.
[[gnu::always_inline]] inline int32_t run_planned_body(const round_plan& r) {
    const int last = r.sets - 1;
    for (int k = 0; k < last; ++k)
        if (!run_planned<true>(r, r.set_expr[k], r.target[k])) return r.set_pos[k];
    if (!run_planned<true>(r, r.set_expr[last], r.target[last], stack::arguments())) return r.set_pos[last];
    return -1;
}

// Whether rounds may be planned: not while tracing (its events would be
// lost), and not with decoding off, which the random-program driver
// compares against.
inline bool planning() { return decode::enabled && !trace.active; }

// The store a loop makes into its own word each round is plain (no change
// handler can run between planned rounds).
inline bool plain_word(const kel_value* word) {
    bool plain = false;
    return type_of(word) == types::word && fast_slot(word, &plain) && plain;
}

// What a planned round that could not run whole leaves to the caller: the
// rest of the body in a record when some set-words were stored (false: the
// caller returns), or the whole round the ordinary way.
bool unplanned_round(frame* f, const round_plan& plan, const kel_value& body, int32_t pos, signal_code* code) {
    if (pos > plan.set_pos[0]) {
        resume_body(&body, fr::loop_body, pos, code);
        return false;
    }
    return run_loop_body(f, &body, fr::loop_body, code);
}

// Planned rounds of loop or repeat, after one ran whole. False when the
// caller returns (the loop ended, a code, a record); true when its next
// round goes the ordinary way.
[[gnu::noinline]] bool planned_loop_rounds(frame* f, const kel_value& body, signal_code* code) {
    kel_value* const args = f->entry + 1;
    const bool repeat = f->t.control == natives::number::repeat;
    round_plan plan;
    // The counter's slot stays where it is between planned rounds, as the
    // set-words' targets do.
    kel_value* const counter = repeat && plain_word(args) ? fast_slot(args) : nullptr;
    if ((repeat && !counter) || !plan_body(plan, &body, counter)) return true;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return false;
        if (f->i >= f->n) {
            f->state = fr::c_loop_end;
            return false;
        }
        if (memory::root.moves != plan.moves) [[unlikely]] return true;
        ++f->i;
        if (counter) {
            // The counter's cell is written in one 16-byte store: the round
            // reads it back whole, and a cell written in narrower stores
            // stalls that load until they retire (a third of the round).
            const __m128i n = _mm_set_epi32(0, f->i, 0, static_cast<int>(types::integer));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(args + 1), n);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(counter), n);
        }
        stack::rewind();
        const int32_t pos = run_planned_body(plan);
        if (pos < 0) [[likely]] continue;
        return unplanned_round(f, plan, body, pos, code);
    }
}

// Planned rounds of while, after one ran whole (as planned_loop_rounds).
[[gnu::noinline]] bool planned_while_rounds(frame* f, signal_code* code) {
    round_plan plan;
    const kel_value condition = f->entry[1];
    const kel_value body = f->entry[2];
    code_view cv;
    if (!whole_view(&condition, &cv) || plan_run(plan, cv, 0, true, &plan.condition) != cv.end ||
        !plan_body(plan, &body))
        return true;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return false;
        if (memory::root.moves != plan.moves) [[unlikely]] return true;
        stack::rewind();
        kel_value* const result = stack::arguments();
        if (!run_planned<true>(plan, plan.condition, result)) return true;
        if (logic::falsy(result)) {
            f->state = fr::c_loop_end;
            return false;
        }
        stack::rewind();
        const int32_t pos = run_planned_body(plan);
        if (pos < 0) [[likely]] continue;
        return unplanned_round(f, plan, body, pos, code);
    }
}

// Planned rounds of foreach over a block with one plain word (as
// planned_loop_rounds).
[[gnu::noinline]] bool planned_foreach_rounds(frame* f, signal_code* code) {
    kel_value* const args = f->entry + 1;
    kel_value* const cursor = args + 1;
    const kel_value body = args[2];
    round_plan plan;
    if (type_of(cursor) != types::block || !plain_word(args) || !plan_body(plan, &body, fast_slot(args))) return true;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return false;
        if (memory::root.moves != plan.moves) [[unlikely]] return true;
        stack::rewind();
        if (!foreach_next(args, f->n, code)) {
            if (*code == signal_code::none) f->state = fr::c_loop_end;
            return false;
        }
        const int32_t pos = run_planned_body(plan);
        if (pos < 0) [[likely]] continue;
        return unplanned_round(f, plan, body, pos, code);
    }
}

// The rounds of loop or repeat, of while and of foreach: those whose body
// runs whole without a record follow each other here; one that needs a
// record (or a code) ends the call, and the record's end brings the loop
// back. Out of the frame loop, whose register use suffers from every line
// it holds.
[[gnu::noinline]] void loop_rounds(frame* f, signal_code* code) {
    // The native's arguments lie above the placeholder; the loop's mark above them.
    kel_value* const args = f->entry + 1;
    const bool repeat = f->t.control == natives::number::repeat;
    // Back from a round that took a record: plans are tried here too, once.
    if (!f->planned && f->i > 0 && planning()) {
        f->planned = true;
        if (!planned_loop_rounds(f, args[repeat ? 2 : 1], code)) return;
    }
    for (;;) {
        // Every loop round polls for an interrupt: a body that calls
        // no function would never see one otherwise.
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return;
        if (f->i >= f->n) {
            f->state = fr::c_loop_end;
            return;
        }
        ++f->i;
        if (repeat) {
            set_integer(args + 1, f->i);
            if (!store_plain(args, args + 1)) [[unlikely]] {
                kel_value word = args[0];
                _context::set_bound(&word, args + 1);
            }
        }
        stack::rewind();
        const kel_value body = args[repeat ? 2 : 1];
        if (!run_loop_body(f, &body, fr::loop_body, code)) return;
        if (!f->planned && planning()) {
            f->planned = true;
            if (!planned_loop_rounds(f, body, code)) return;
        }
    }
}

[[gnu::noinline]] void while_rounds(frame* f, signal_code* code) {
    bool planned = false;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return;
        stack::rewind();
        const kel_value condition = f->entry[1];
        if (!quick_block(&condition, stack::arguments())) {
            f->state = fr::c_while_test;
            if (!push_block(&condition, fr::cond, true)) *code = frames_overflow();
            return;
        }
        if (!truthy_or_fail(stack::arguments(), code)) {
            if (*code == signal_code::none) f->state = fr::c_loop_end;
            return;
        }
        stack::rewind();
        const kel_value body = f->entry[2];
        if (!run_loop_body(f, &body, fr::loop_body, code)) return;
        if (!planned && planning()) {
            planned = true;
            if (!planned_while_rounds(f, code)) return;
        }
    }
}

[[gnu::noinline]] void foreach_rounds(frame* f, signal_code* code) {
    // The word, the cursor (a copy of the caller's series: it moves) and the body.
    kel_value* const args = f->entry + 1;
    bool planned = false;
    for (;;) {
        if ((*code = poll_halt()) != signal_code::none) [[unlikely]] return;
        stack::rewind();
        if (!foreach_next(args, f->n, code)) {
            if (*code == signal_code::none) f->state = fr::c_loop_end;
            return;
        }
        const kel_value body = args[2];
        if (!run_loop_body(f, &body, fr::loop_body, code)) return;
        if (!planned && planning()) {
            planned = true;
            if (!planned_foreach_rounds(f, code)) return;
        }
    }
}

// The operators after an expression's value (record f in state x_infix,
// the value at f->entry, its code at f->pc): those whose right operand is a
// number are applied in place; the first that needs more starts its operand
// (the record waits at x_right_done) or its call; with no operator left the
// record is done and popped.
[[gnu::noinline]] void infix_round(frame* f, signal_code* code) {
    code_position& c = *f->pc;
    for (;;) {
        if (c.pos >= c.end) {
            --frame_sp;
            return;
        }
        const code_view cv = view_of(c);
        const kel_value* value = operator_in(cv, c.pos);
        if (!value) {
            --frame_sp;
            return;
        }
        kel_value* const entry = f->entry;
        if (traced(&c)) [[unlikely]] {
            *code = apply_infix(c, entry, value);
            if (*code == signal_code::none) --frame_sp;
            return;
        }
        const kel_value op = *value;
        int32_t compare = 0;
        const inline_op kind = inline_kind(op, &compare);
        ++c.pos;
        if (kind != inline_op::none && c.pos < cv.end) {
            if (const kel_value* right = number_operand(cv.cells + c.pos)) {
                if (apply_inline(kind, compare, entry, right)) {
                    ++c.pos;
                    continue;
                }
            } else {
                // The right operand as an expression of its own, without infix.
                f->v = op;
                f->w = cv.cells[c.pos - 1];
                f->i = static_cast<int32_t>(kind);
                f->n = compare;
                stack::regs.top = entry + 1;
                open_operator_mark(&f->w, c.library);
                f->state = fr::x_right_done;
                start_expression(c, view_of(c), true, code);
                return;
            }
        }
        const kel_value op_word = *cell_at(c, c.pos - 1);
        kel_value fn = op;
        fn.header = native::wrapped_type(&op);
        stack::regs.top = entry;
        *code = invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true);
        return;
    }
}

// A record whose value stands at f->entry in the code f->pc goes on as the
// expression that value heads: its operators, if any follow.
inline void go_on_as_infix(frame* f, signal_code* code) {
    f->kind = fr::expr;
    f->state = fr::x_infix;
    f->flag = false;
    set_none(&f->v);
    infix_round(f, code);
}

// A paren call's record, done with the paren's code: its link leaves the
// chain of live code.
inline void unlink_paren(const frame* f) {
    if (!f->c2.library) innermost_code = f->link2.outer;
}

// A paren call's record whose call is done (its value at the placeholder):
// with more in the paren it becomes the paren's block record (an operator
// after the call gets an expression record above it first); else the paren
// is done, and goes on as its block record would at its end.
[[gnu::noinline]] void paren_call_done(frame* f, signal_code* code) {
    code_position& c = f->c;
    kel_value* const entry = f->entry;
    const code_view cv = view_of(f->c2);
    if (f->c2.pos < cv.end) {
        // Nothing above the record points at c2 or link2 any more.
        c = f->c2;
        f->link = f->link2;
        f->link.c = &c;
        if (innermost_code == &f->link2) innermost_code = &f->link;
        f->kind = fr::block;
        f->role = f->paren;
        f->flag = false;
        f->state = 1;
        f->pc = f->outer;
        f->paren = 0;
        if (operator_in(cv, c.pos)) {
            frame* x = push_expr(&c, entry, false, fr::x_infix);
            if (!x) *code = frames_overflow();
            else infix_round(x, code);
        }
        return;
    }
    unlink_paren(f);
    if (f->paren == fr::paren) {
        f->pc = f->outer;
        f->paren = 0;
        go_on_as_infix(f, code);
        return;
    }
    --frame_sp;
}

// A call's value at f->entry in the code c: with an operator after it (and
// infix allowed) the record goes on as that expression's, else it is done.
inline void after_call(frame* f, code_position& c, signal_code* code) {
    if (!f->after && operator_after(c)) [[unlikely]] {
        go_on_as_infix(f, code);
        return;
    }
    --frame_sp;
}

// Closes the mark of the call a body or branch record finishes and moves its
// value (the arguments base) down to the call's placeholder, the record's
// entry from now on; answers the code the call stands in.
inline code_position& close_call(frame* f) {
    kel_value* const placeholder = stack::arguments() - 1;
    stack::close_frame();
    code_position& c = *f->pc;
    if (traced(&c)) [[unlikely]] notify_tracer(event::return_, &c.block, c.pos, &f->v, stack::top() - 1);
    *placeholder = *(placeholder + 1);
    stack::regs.top = placeholder + 1;
    f->entry = placeholder;
    return c;
}

// A function body's record at its end, or receiving its call's return or
// exit (the body's value in the arguments base): the call finishes as its
// record would at c_body_done and c_finish.
[[gnu::noinline]] void finish_body(frame* f, signal_code* code) {
    stack::innermost_frame()->flags &= ~stack::flag_return_target;
    if (f->stack_context) set_context_values(f->t.guard.w1, f->old_values);
    code_position& c = close_call(f);
    if (f->paren) {
        f->kind = fr::call;
        paren_call_done(f, code);
        return;
    }
    after_call(f, c, code);
}

// The branch of a conditional's record at its end (its value in the
// arguments base): the conditional's call finishes as its record would at
// c_finish.
[[gnu::noinline]] void finish_conditional(frame* f, signal_code* code) {
    code_position& c = close_call(f);
    after_call(f, c, code);
}

// Runs the records above `base` until the base record is done; `code` is a
// code already travelling (an exception caught around the loop).
signal_code drive(frame* base, signal_code code) {
    for (;;) {
        if (code != signal_code::none) [[unlikely]] {
            // Pop records until one receives the code.
            frame* f = frame_sp - 1;
            if (f->kind == fr::block) {
                if (!f->c.library) innermost_code = f->link.outer;
                const uint8_t role = f->role;
                if (role == fr::fbody) {
                    if ((code == signal_code::return_ || code == signal_code::exit) &&
                        stack::mark_depth() == f->depth) {
                        code = signal_code::none;
                        finish_body(f, &code);
                        continue;
                    }
                    if (f->paren) unlink_paren(f);
                    --frame_sp;
                    continue;
                }
                --frame_sp;
                if (frame_sp == base) return code;
                frame* parent = f - 1;
                switch (role) {
                    case fr::loop_body:
                    case fr::until_body:
                        if (code == signal_code::continue_) {
                            code = signal_code::none;
                            if (role == fr::until_body) parent->state = fr::c_until_round;
                        } else if (code == signal_code::break_) {
                            code = signal_code::none;
                            parent->state = fr::c_loop_end;
                        }
                        break;
                    case fr::cond:
                        if (code == signal_code::break_ || code == signal_code::continue_)
                            fire(error_category::throw_, "while-cond");
                        break;
                    default: break;
                }
            } else {
                if (f->kind == fr::call && f->paren) unlink_paren(f);
                --frame_sp;
            }
            continue;
        }
        frame* f = frame_sp - 1;
        switch (f->kind) {
            case fr::block: {
                code_position& c = f->c;
                for (;;) {
                    if (c.pos >= c.end) [[unlikely]] {
                    end_reached:
                        if (f->state == 0) set_unset(stack::alloc_cell());  // an empty block
                        goto block_done;
                    }
                    const code_view cv = view_of(c);
                    if (c.pos >= cv.end) [[unlikely]] goto end_reached;
                    stack::regs.top = f->entry;
                    f->state = 1;
                    f->link.start = c.pos;
                    if (start_expression(c, cv, false, &code) || code != signal_code::none) break;
                }
                continue;
            block_done:
                if (f->flag) *stack::arguments() = *f->entry;
                if (!c.library) innermost_code = f->link.outer;
                // A paren heads an expression: with an operator after it the
                // record goes on as that expression's (its entry is the paren's).
                if (f->role == fr::paren) {
                    go_on_as_infix(f, &code);
                    continue;
                }
                if (f->role == fr::fbody) {
                    finish_body(f, &code);
                    continue;
                }
                if (f->role == fr::cbranch) {
                    finish_conditional(f, &code);
                    continue;
                }
                --frame_sp;
                if (frame_sp == base) return signal_code::none;
                continue;
            }
            case fr::expr: {
                code_position& c = *f->pc;
                switch (f->state) {
                    case fr::x_head_done:
                        if (!f->flag && operator_after(c)) {
                            f->state = fr::x_infix;
                            continue;
                        }
                        --frame_sp;
                        continue;
                    case fr::x_set_done:
                        if (!assign_plain(stack::arguments()))
                            code = stack::catch_code([] { return assign(stack::arguments()); });
                        if (code != signal_code::none) continue;
                        stack::close_frame();
                        f->state = fr::x_head_done;
                        continue;
                    case fr::x_infix: infix_round(f, &code); continue;
                    case fr::x_right_start:
                        // An inline operator's right operand that is not a number (the
                        // operator in f->v, already passed): an expression of its own.
                        stack::regs.top = f->entry + 1;
                        f->state = fr::x_right_done;
                        start_expression(c, view_of(c), true, &code);
                        continue;
                    case fr::x_right_done:
                        stack::close_frame();
                        [[fallthrough]];
                    case fr::x_right_closed: {
                        kel_value* const entry = f->entry;
                        f->state = fr::x_infix;
                        if (apply_inline(static_cast<inline_op>(f->i), f->n, entry, entry + 1)) {
                            stack::regs.top = entry + 1;
                            infix_round(f, &code);
                            continue;
                        }
                        const kel_value op = f->v;
                        const kel_value op_word = f->w;
                        kel_value fn = op;
                        fn.header = native::wrapped_type(&op);
                        stack::regs.top = entry;
                        code = invoke_value(&fn, &c, true, nullptr, &op_word, &op, mode::plain, true, true);
                        continue;
                    }
                    default: break;
                }
                fire(error_category::internal, "not-done");
            }
            default: break;
        }
        if (f->kind == fr::each) [[unlikely]] {
            run_each(f, &code);
            continue;
        }
        // A decoded call.
        code_position& c = *f->pc;
        switch (f->state) {
            case fr::c_fetch:
            case fr::c_arg_done: {
                // Arguments that are done at once are checked in this round;
                // one that needs records comes back at c_arg_done.
                if (f->state == fr::c_arg_done) goto check;
                if (f->t.classes != 0) [[unlikely]] {
                    call k = call_of(f);
                    f->state = fr::c_invoke;
                    code = fetch_classed(k, f->t);
                    continue;
                }
                for (;;) {
                    if (f->i >= f->t.plain) [[unlikely]] {
                        if (f->t.rest && !f->n) lay_refinement_cells(f);
                        if (f->i >= f->t.args) {
                            f->state = fr::c_invoke;
                            break;
                        }
                    }
                    {
                        const code_view cv = view_of(c);
                        if (c.pos >= cv.end) [[unlikely]] {
                            int32_t cell = 0;
                            const int32_t index =
                                f->i < f->t.plain ? f->i : refinement_argument(f->t, f->i - f->t.plain, &cell);
                            code = no_arg(call_of(f), index);
                            break;
                        }
                        f->state = fr::c_arg_done;
                        if (start_expression(c, cv, false, &code) || code != signal_code::none) break;
                    }
                check:
                    const kel_value* arg = stack::top() - 1;
                    if (f->i < f->t.plain) [[likely]] {
                        if (!typeset_has(cells_of(f->t.cache) + f->i, type_of(arg))) [[unlikely]] {
                            code = expect_arg(call_of(f), f->i, arg);
                            break;
                        }
                    } else {
                        code = refinement_argument_done(f);
                        if (code != signal_code::none) break;
                    }
                    ++f->i;
                }
                // All arguments in: the call goes on in this round.
                if (f->state == fr::c_invoke && code == signal_code::none) goto invoke;
                continue;
            }
            case fr::c_invoke:
            invoke: {
                if (traced(&c)) [[unlikely]] {
                    // The call site: the path of a path call, else the calling word.
                    const kel_value site = f->t.k == decode::kind::path_call ? f->w : f->v;
                    const kel_value fn = f->t.guard;
                    notify_tracer(event::call, &c.block, c.pos, &site, &fn);
                }
                const kel_value fn = f->t.guard;
                const int32_t number = static_cast<int32_t>(fn.w1);
                const uint32_t type = type_of(&fn);
                f->state = fr::c_finish;
                if (type == types::function) {
                    code = enter_function(f);
                    continue;
                }
                if (f->t.named) [[unlikely]] {
                    const refinements refs = path_refinements_of(f->t);
                    if (type == types::action) {
                        code = actions::entry(number)(refs);
                    } else {
                        const natives::native_fn entry = natives::at(number).fn;
                        code = stack::catch_code([entry, &refs] { return entry(false, refs); });
                    }
                    continue;
                }
                if (type == types::action) {
                    code = actions::entry(number)(refinements::none());
                    continue;
                }
                switch (f->t.control) {
                    case 0: {
                        const natives::native_fn entry = natives::at(number).fn;
                        if ((entry == natives::return_star || entry == natives::exit_star) && !traced(&c)) {
                            if (const int32_t receiver = return_receiver(base, f); receiver >= 0) {
                                code = stack::return_to(receiver,
                                                        entry == natives::return_star ? stack::arguments() : nullptr);
                                continue;
                            }
                        }
                        code = stack::catch_code([entry] { return entry(false, refinements::none()); });
                        continue;
                    }
                    case natives::number::if_:
                    case natives::number::unless: {
                        if (logic::falsy(stack::argument(1)) == (f->t.control == natives::number::if_)) {
                            set_none(stack::arguments());
                            continue;
                        }
                        const kel_value branch = *stack::argument(2);
                        if (quick_block(&branch, stack::arguments())) continue;
                        if (!push_block(&branch, fr::branch, true)) code = frames_overflow();
                        continue;
                    }
                    case natives::number::either: {
                        const kel_value* condition = stack::argument(1);
                        if (unset_q(condition)) [[unlikely]] {
                            code = fail(error_category::script, "no-return");
                            continue;
                        }
                        const kel_value branch = logic::truthy(condition) ? *stack::argument(2) : *stack::argument(3);
                        if (quick_block(&branch, stack::arguments())) continue;
                        if (!push_block(&branch, fr::branch, true)) code = frames_overflow();
                        continue;
                    }
                    case natives::number::loop:
                    case natives::number::repeat: {
                        kel_value* count_cell = stack::argument(f->t.control == natives::number::loop ? 1 : 2);
                        natives::integer_count(count_cell);
                        f->n = get_integer(count_cell);
                        if (f->n < 1) {
                            set_none(stack::arguments());
                            continue;
                        }
                        f->i = 0;
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_loop;
                        continue;
                    }
                    case natives::number::while_:
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_while_cond;
                        continue;
                    case natives::number::until:
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_until_round;
                        continue;
                    case natives::number::foreach: {
                        int32_t count = 1;
                        code = natives::foreach_setup(stack::argument(1), stack::argument(2), &count);
                        if (code != signal_code::none) continue;
                        f->n = count;
                        stack::open_loop_frame(&words::_body);
                        f->quick = quick_sets;
                        f->planned = false;
                        set_unset(stack::alloc_cell());
                        f->state = fr::c_foreach;
                        continue;
                    }
                    case natives::number::any:
                    case natives::number::all:
                        code = start_each(f->t.control);
                        continue;
                    case natives::number::switch_: {
                        if (trace.active) [[unlikely]]
                            goto by_native;
                        bool matched = false;
                        kel_value branch;
                        code = stack::catch_code([&branch, &matched] {
                            branch = natives::switch_branch(stack::argument(1), stack::argument(2), &matched);
                            return signal_code::none;
                        });
                        if (code != signal_code::none) continue;
                        if (type_of(&branch) != types::block) {
                            set_none(stack::arguments());
                            continue;
                        }
                        if (quick_block(&branch, stack::arguments())) continue;
                        if (!push_block(&branch, fr::branch, true)) code = frames_overflow();
                        continue;
                    }
                    case natives::number::case_:
                        if (trace.active) [[unlikely]]
                            goto by_native;
                        code = start_case();
                        continue;
                    by_native:
                    default: {
                        const uint8_t id = f->t.control;
                        code = stack::catch_code([id] { return run_control(id); });
                        continue;
                    }
                }
            }
            case fr::c_body_done:
                stack::innermost_frame()->flags &= ~stack::flag_return_target;
                if (f->flag) set_context_values(f->t.guard.w1, f->old_values);
                f->state = fr::c_finish;
                [[fallthrough]];
            case fr::c_finish: {
                stack::close_frame();
                if (traced(&c)) [[unlikely]] notify_tracer(event::return_, &c.block, c.pos, &f->v, stack::top() - 1);
                kel_value* const placeholder = f->entry;
                *placeholder = *(placeholder + 1);
                stack::regs.top = placeholder + 1;
                if (f->paren) {
                    paren_call_done(f, &code);
                    continue;
                }
                // It heads an expression: with an operator after it the record
                // goes on as that expression's (its entry is the placeholder).
                if (!f->role && operator_after(c)) [[unlikely]] {
                    go_on_as_infix(f, &code);
                    continue;
                }
                --frame_sp;
                continue;
            }
            case fr::c_loop: loop_rounds(f, &code); continue;
            case fr::c_while_cond: while_rounds(f, &code); continue;
            case fr::c_while_test: {
                if (!truthy_or_fail(stack::arguments(), &code)) {
                    if (code == signal_code::none) f->state = fr::c_loop_end;
                    continue;
                }
                stack::rewind();
                const kel_value body = f->entry[2];
                f->state = fr::c_while_cond;
                run_loop_body(f, &body, fr::loop_body, &code);
                continue;
            }
            case fr::c_until_round: {
                if ((code = poll_halt()) != signal_code::none) [[unlikely]] continue;
                stack::rewind();
                const kel_value body = f->entry[1];
                f->state = fr::c_until_test;
                run_loop_body(f, &body, fr::until_body, &code);
                continue;
            }
            case fr::c_foreach: foreach_rounds(f, &code); continue;
            case fr::c_until_test: {
                const bool done = truthy_or_fail(stack::arguments(), &code);
                if (code != signal_code::none) continue;
                f->state = done ? fr::c_loop_end : fr::c_until_round;
                continue;
            }
            case fr::c_loop_end: {
                const uint8_t id = f->t.control;
                if (id == natives::number::repeat) natives::repeat_done(f->entry + 1, f->entry + 2);
                stack::close_frame_set_last();
                if (id == natives::number::while_) set_unset(stack::arguments());
                f->state = fr::c_finish;
                continue;
            }
            default: fire(error_category::internal, "not-done");
        }
    }
}

// eval_in_place over the frame stack.
signal_code run_frames(const kel_value* block, bool set_last) {
    if (!frames) [[unlikely]] {
        frames = static_cast<frame*>(std::malloc(sizeof(frame) * static_cast<size_t>(frame_capacity)));
        if (!frames) fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
        frame_sp = frames;
        frame_limit = frames + frame_capacity;
    }
    frame* const base = frame_sp;
    struct restore {
        frame* base;
        live_code* link;
        ~restore() {
            frame_sp = base;
            innermost_code = link;
        }
    } guard{base, innermost_code};
    if (!push_block(block, fr::base, set_last)) return frames_overflow();
    signal_code code = signal_code::none;
    for (;;) {
        try {
            return drive(base, code);
        } catch (const kel_unwind& u) {
            code = code_of_unwind(u);
        }
    }
}

void mark_frames(void (*mark)(kel_value* cell)) {
    for (frame* p = frames; p && p < frame_sp; ++p) {
        frame& f = *p;
        if (f.kind == fr::block || f.kind == fr::each) {
            mark(&f.c.block);
            if (f.kind == fr::block && f.role == fr::cbranch) mark(&f.v);
            if (f.kind == fr::block && f.role == fr::fbody) {
                mark(&f.v);
                if (f.paren) mark(&f.c2.block);
            }
        } else {
            mark(&f.v);
            if (f.kind == fr::call && f.t.k == decode::kind::path_call) mark(&f.w);
            if (f.kind == fr::call && f.paren) mark(&f.c2.block);
        }
    }
}

}  // namespace

signal_code invoke_value(const kel_value* fn_in, code_position* c, bool push, const kel_value* path,
                         const kel_value* name_in, const kel_value* owner, int32_t mode, bool infix,
                         bool right_ready) {
    call k;
    k.fn = *fn_in;
    if (type_of(&k.fn) == types::op) k.fn.header = native::wrapped_type(&k.fn);
    k.type = type_of(&k.fn);
    k.natives_like = native_like(k.type);
    k.c = c;
    k.path = path;
    k.mode = mode;
    k.infix = infix;
    k.right_ready = infix && right_ready;
    k.name_in = name_in;
    k.open_pos = c ? c->pos : -1;
    if (name_in && type_of(name_in) == types::word) [[likely]] {
        k.name = *name_in;
    } else {
        const kel_value site = name_in ? *name_in : site_of(k);
        k.name = type_of(&site) == types::word ? site : words::_anon;
    }
    const bool library = c && c->library;

    if (traced(c)) [[unlikely]] {
        const int32_t cover = infix ? (k.right_ready ? 2 : 1) : 0;
        stack::regs.top += cover;
        notify_tracer(event::open, c ? &c->block : nullptr, c ? c->pos : -1, nullptr, &k.name);
        stack::regs.top -= cover;
    }
    kel_value* const placeholder = infix ? nullptr : stack::push_copy(&k.fn);
    // One fetch for every kind (it is inlined here, once): a function's call
    // mark records its context's values as they are now (a stack context
    // keeps its values' offset + 1 in word 2, so that 0 means none: saved as
    // the offset, 0xFFFFFFFF for none).
    if (k.type == types::function) {
        // (The machine stack is checked where the body is evaluated.)
        const uint32_t ctx = k.fn.w1;
        stack::call_mark* m = stack::open_frame(&k.name, call_kind(library));
        m->function_context = ctx;
        const kel_value* context_cell = cells_of(ctx);
        if (context_cell->header & header_context_stack) m->saved_values = context_cell->w2 - 1u;
    } else if (k.natives_like || k.type == types::routine) [[likely]] {
        stack::open_frame(&k.name, native_kind(library));
    } else {
        fire(error_category::internal, "not-done");
    }
    KEL_PROPAGATE(fetch_arguments(k));
    if (k.type == types::function) {
        KEL_PROPAGATE(call_function_body(&k.fn, owner_context(&k.fn, owner, &k.name), &k.name, 0));
        // The body put the context's values back as the mark had them.
    } else if (k.type == types::routine) {
        KEL_PROPAGATE(invoke_routine(&k.fn));
    }
    stack::close_frame();
    if (traced(c)) [[unlikely]]
        notify_tracer(event::return_, c ? &c->block : nullptr, c ? c->pos : -1, &k.name, stack::top() - 1);
    if (placeholder) {
        *placeholder = *(placeholder + 1);
        stack::regs.top = placeholder + 1;
    }
    if (!push) *stack::arguments() = *(stack::top() - 1);
    return signal_code::none;
}

signal_code call_function_body(const kel_value* fn_in, uint32_t, const kel_value* name, uint32_t filter) {
    const kel_value fn = *fn_in;
    const uint32_t ctx = fn.w1;
    kel_value* base = stack::arguments();
    const int32_t depth = stack::mark_depth();
    const bool stack_context = (cells_of(ctx)->header & header_context_stack) != 0;
    const uint32_t old = stack_context ? context_values(ctx) : 0;
    if (stack_context) set_context_values(ctx, stack::offset_of(base) + 1);
    stack::innermost_frame()->flags |= stack::flag_return_target;

    const kel_value body = *function::more_cell(&fn, function::more::body);
    signal_code code = signal_code::none;
    if ((fn.header & (function::flag_trace | function::flag_no_trace)) || filter || trace.active) [[unlikely]] {
        // The trace switch while the body runs, put back however it ends
        // when this function's flags or filter changed it; a body that only
        // runs traced keeps what it set (`trace false` lasts past its call).
        struct trace_guard {
            bool saved;
            bool restore;
            explicit trace_guard(bool r) : saved(trace.active), restore(r) {}
            ~trace_guard() {
                if (restore) trace.active = saved;
            }
        } guard((fn.header & (function::flag_trace | function::flag_no_trace)) || filter);
        if (fn.header & function::flag_trace) trace.active = trace.master;
        if (fn.header & function::flag_no_trace) trace.active = false;
        const bool bracketed = filter != 0 && trace.active;
        if (bracketed) {
            notify_tracer(event::call, nullptr, -1, name, &fn);
            if (!(trace.callback_bits & filter)) trace.active = false;
        }
        // A library function that library code calls is a step inside the
        // caller, which reports none: no prolog or epilog of its own.
        const bool inner = !(stack::innermost_frame()->flags & stack::flag_interpreted) &&
                           type_of(&body) == types::block && position_of(&body).library;
        if (trace.active && !inner) notify_tracer(event::prolog, &body, -1, name, &fn);
        if (type_of(&body) == types::block) code = eval_block(&body, true);
        else set_unset(base);
        // A body left by an error reports the error event, not an epilog.
        if (trace.active && !inner && code != signal_code::error) notify_tracer(event::epilog, &body, -1, name, &fn);
        if (bracketed && stack::mark_depth() == depth && code == signal_code::none) {
            trace.active = guard.saved;
            notify_tracer(event::return_, nullptr, -1, name, stack::arguments());
        }
    } else if (type_of(&body) == types::block) [[likely]] {
        code = eval_in_place(&body, true);
    } else {
        set_unset(base);
    }
    if (code == signal_code::none ||
        ((code == signal_code::return_ || code == signal_code::exit) && stack::mark_depth() == depth)) [[likely]] {
        stack::innermost_frame()->flags &= ~stack::flag_return_target;
        if (stack_context) set_context_values(ctx, old);
        return signal_code::none;
    }
    // Unwound past this call: its mark gave the context its values back.
    return code;
}

namespace {

// What invoke_routine reads off a routine's spec, kept per routine number:
// each argument word's position and the first word of its type block (the
// walk and the any-type! test otherwise cost more than most routines' own
// work). Valid while the spec's buffer is unchanged and within one collector
// cycle (a node id may be reused after a sweep).
constexpr int32_t max_routine_args = 32;
struct routine_shape {
    uint32_t spec_node = 0, stamp = 0, cycle = 0;
    int32_t count = 0;
    struct argument {
        int32_t position;  // the argument word's index in the spec
        kel_value first;   // the first word of its type block (none!: untyped)
        bool any;          // typed any-type!
    } args[max_routine_args];
};
std::vector<routine_shape> routine_shapes;

const routine_shape& shape_of(int32_t number, const kel_value& spec) {
    if (static_cast<size_t>(number) >= routine_shapes.size()) routine_shapes.resize(static_cast<size_t>(number) + 1);
    routine_shape& sh = routine_shapes[static_cast<size_t>(number)];
    const uint32_t node = series_node(&spec);
    const memory::buffer_header* h = header_of(node);
    if (sh.spec_node == node && sh.stamp == memory::stamp_of(h) && sh.cycle == memory::root.collector_cycle &&
        series_head(&spec) == 0)
        return sh;
    sh.spec_node = 0;
    int32_t count = 0;
    const int32_t n = block::ks_length_q(&spec);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* c = block::ks_abs_at(&spec, i);
        if (type_of(c) != types::word) continue;
        if (count == max_routine_args) fire(error_category::internal, "not-done");
        routine_shape::argument& a = sh.args[count++];
        a.position = i;
        a.first = kel_value{types::none, 0, 0, 0};
        a.any = false;
        if (i + 1 < n && type_of(block::ks_abs_at(&spec, i + 1)) == types::block) {
            const kel_value types_block = *block::ks_abs_at(&spec, i + 1);
            if (block::ks_length_q(&types_block) > 0) a.first = *block::ks_abs_at(&types_block, series_head(&types_block));
            if (type_of(&a.first) != types::word) fire(error_category::script, "invalid-type-spec", &a.first);
            a.any = symbol::resolve(word_symbol(&a.first)) == symbol::resolve(words::any_type);
        }
    }
    sh.count = count;
    if (series_head(&spec) == 0) {
        sh.spec_node = node;
        sh.stamp = memory::stamp_of(h);
        sh.cycle = memory::root.collector_cycle;
    }
    return sh;
}

}  // namespace

signal_code invoke_routine(const kel_value* routine_in) {
    const kel_value r = *routine_in;
    const kel_value* number_cell = function::more_cell(&r, function::more::code);
    const int32_t number = type_of(number_cell) == types::integer ? get_integer(number_cell) : 0;
    const routines::entry& e = routines::at(number);
    if (!e.fn) fire(error_category::internal, "not-done");
    kel_value* base = stack::arguments();
    routines::machine_value args[max_routine_args];
    const kel_value spec = function::spec_of(&r);
    const routine_shape& shape = shape_of(number, spec);
    const int32_t count = shape.count;
    const bool cells = (r.header & routine::flag_cells) || e.cells;
    for (int32_t a = count - 1; a >= 0; --a) {
        kel_value* arg = base + a;
        // An untyped argument takes any value but unset!, like a function's.
        const kel_value first = shape.args[a].first;
        const bool untyped = type_of(&first) == types::none;
        const bool any = shape.args[a].any;
        if (untyped && type_of(arg) == types::unset) {
            kel_value caller, datatype, w = *block::ks_abs_at(&spec, shape.args[a].position);
            const error_arg name = stack::innermost_name_arg(&caller);
            set_datatype(&datatype, types::unset);
            fire(error_category::script, "expect-arg", name, &datatype, &w);
        }
        // Only an argument declared logic!, integer! or float! is passed as
        // a machine value; any other goes as the address of its cell.
        bool machine = false;
        if (!any && !untyped) {
            const kel_value* declared = word_ops::value_or_null(&first);
            kel_value named;
            if (!declared || (type_of(declared) != types::typeset && type_of(declared) != types::datatype)) {
                // A script may unset or reuse a datatype's word; the
                // library's own routines still check by the name.
                if (typeset::typeset_named(&first, &named)) {
                    declared = &named;
                } else if (const uint32_t t = typeset::datatype_named(&first)) {
                    set_datatype(&named, t);
                    declared = &named;
                }
            }
            const uint32_t dt = declared ? type_of(declared) : static_cast<uint32_t>(types::unset);
            bool ok;
            if (dt == types::typeset) ok = typeset_has(declared, type_of(arg));
            else if (dt == types::datatype) {
                const uint32_t t = get_datatype(declared);
                ok = t == type_of(arg);
                machine = t == types::logic || t == types::integer || t == types::float_;
            }
            else fire(error_category::script, "invalid-type-spec", &first);
            if (!ok) {
                kel_value caller, datatype, w = *block::ks_abs_at(&spec, shape.args[a].position);
                const error_arg name = stack::innermost_name_arg(&caller);
                set_datatype(&datatype, type_of(arg));
                w.header = types::word;
                fire(error_category::script, "expect-arg", name, &datatype, &w);
            }
        }
        if (cells || !machine) {
            args[a].cell = arg;
            continue;
        }
        switch (type_of(arg)) {
            case types::logic: args[a].i = get_logic(arg) ? 1 : 0; break;
            case types::integer: args[a].i = get_integer(arg); break;
            case types::float_: args[a].f = get_float(arg); break;
            default: args[a].cell = arg; break;
        }
    }
    if (cells) {
        stack::open_native_frame(&words::_body);
        const routines::machine_value answer = e.fn(args, count);
        stack::close_frame_rewind();
        const kel_value result = answer.cell ? *answer.cell : kel_value{types::unset, 0, 0, 0};
        *base = result;
        return signal_code::none;
    }
    // The result slot lies above the arguments, so a body that leaves its
    // answer there (no declared return type) cannot clobber an argument.
    kel_value* const slot = stack::push_unset();
    const routines::result_scope scope(slot);
    const routines::machine_value answer = e.fn(args, count);
    const kel_value* declared = function::more_cell(&r, function::more::object);
    const int32_t rt = type_of(declared) == types::integer ? get_integer(declared) : -1;
    switch (rt) {
        case types::logic: set_logic(base, answer.i != 0); break;
        case types::integer: set_integer(base, answer.i); break;
        case types::float_: set_float(base, answer.f); break;
        default: *base = *slot; break;
    }
    stack::regs.top = slot;
    return signal_code::none;
}

signal_code call_function(const kel_value* fn_in, const kel_value* name_in, const kel_value* args, int32_t count,
                          uint32_t filter, kel_value* result, kel_value* final_args) {
    KEL_PROPAGATE(check_machine_stack());
    const kel_value fn = *fn_in;
    const kel_value name = name_in ? *name_in : words::_anon;
    kel_value* placeholder = stack::push_copy(&fn);
    const bool routine = type_of(&fn) == types::routine;
    int32_t placed = 0;
    if (routine) {
        stack::open_frame(&name, stack::kind::eval_native);
        placed = push_fixed_frame(&fn, &name, args, count);
        KEL_PROPAGATE(invoke_routine(&fn));
    } else {
        stack::open_call_frame(&name, fn.w1, stack::kind::eval_call);
        placed = push_fixed_frame(&fn, &name, args, count);
        const kel_value* object = function::more_cell(&fn, function::more::object);
        const uint32_t owner = type_of(object) == types::integer ? static_cast<uint32_t>(get_integer(object)) : 0;
        KEL_PROPAGATE(call_function_body(&fn, owner, &name, filter));
    }
    if (final_args)
        for (int32_t i = 1; i < placed; ++i) final_args[i] = placeholder[1 + i];
    if (routine) stack::close_frame();
    else stack::close_call_frame();
    *result = *(placeholder + 1);
    stack::regs.top = placeholder;
    return signal_code::none;
}

// --- paths ------------------------------------------------------------------------------------

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
constexpr uint32_t field_cache_bits = 8;
field_entry field_cache[1u << field_cache_bits];

inline uint32_t slot_hash(uint32_t ctx, uint32_t symbol) {
    return (ctx * 0x9E3779B1u ^ symbol * 0x85EBCA77u) >> (32 - field_cache_bits);
}
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
        if (t == types::unset || (function_type(t) && !(how & walk::get))) return false;
        *out = v;
    }
    if (how & walk::push) stack::regs.top = out + 1;
    return true;
}

const kel_value* quick_field(const kel_value* path) {
    field_entry* e = nullptr;
    const kel_value* field = short_field<false>(path, false, &e);
    return field && !(word_special & bit(type_of(field))) ? field : nullptr;
}

bool quick_field_set(const kel_value* path, const kel_value* value) {
    return short_field_path<false>(path, nullptr, walk::set | walk::push, value);
}

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
        if (function_type(t)) {
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
        if (!set && !get && !constant && function_type(type_of(result))) {
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

void current_position(kel_value* out) {
    const live_code* l = innermost_code;
    if (!l) {
        set_unset(out);
        return;
    }
    *out = l->c->block;
    out->w1 = static_cast<uint32_t>(l->start);
}

// --- start-up ---------------------------------------------------------------------------------

namespace {

void near_of(kel_value* out) { current_position(out); }

// The error event comes while the error is raised, before anything is
// unwound, often from inside a native's own code. A break, continue or throw
// out of the callback would unwind marks that native still holds, and the
// code would then leave the native as an exception it never expected, its
// marks left open. So the callback runs under a try/all mark of its own,
// which turns such a code (and an error of the callback's own) into an error
// it receives; that one is dropped and the first error goes on its way.
void traced_error(const kel_value* error) {
    if (!trace.active) return;
    if (stack::regs.marks_top >= stack::regs.marks_limit) return;  // no room: an overflow is being raised
    kel_value* const top = stack::top();
    kel_value* const base = stack::arguments();
    const int32_t depth = stack::mark_depth();
    const uint32_t throw_start = stack::regs.throw_start;  // the raise still reads it
    stack::open_frame(&words::_try, stack::kind::try_all);
    try {
        notify_tracer(event::error, nullptr, -1, nullptr, error);
    } catch (const kel_unwind&) {
    }
    stack::regs.marks_top = stack::regs.marks_bottom + depth;
    stack::regs.top = top;
    stack::regs.arguments = base;
    stack::regs.throw_start = throw_start;
}

const kel_value* resolve_type_word(const kel_value* word) { return word_ops::value_or_null(word); }

// Every raise names its call twice (the record and the error's `where`), so
// the indexes found for call names are kept in a cache like the field cache,
// emptied with it at every collection. Only found indexes are kept: a node
// that was dead may be taken again before the next collection.
struct name_entry {
    uint32_t ctx;
    uint32_t symbol;
    int32_t index;
    uint32_t unused;
};
name_entry name_cache[1u << field_cache_bits];

// The index of a call mark's name in the context it was bound to (a node
// that is not a live context answers -1: names only describe).
int32_t index_in(uint32_t ctx, uint32_t symbol) {
    name_entry& e = name_cache[slot_hash(ctx, symbol)];
    if (e.ctx == ctx && e.symbol == symbol && ctx != 0) return e.index;
    if (ctx < memory::node_base || !memory::node_live_q(ctx)) return -1;
    if (type_of(reinterpret_cast<const kel_value*>(header_of(ctx)->head_ptr())) != types::context) return -1;
    const int32_t index = _context::index_of(ctx, symbol, true);
    if (index >= 0) e = name_entry{ctx, symbol, index, 0};
    return index;
}

// An object's change handler: object.cpp opened its call mark (named by the
// handler's field) and pushed its arguments; the body runs with the object's
// context as its owner and the handler kind as its trace filter.
signal_code invoke_handler(const kel_value* fn, uint32_t object_ctx, uint32_t event_mask) {
    kel_value name;
    stack::innermost_name(&name);
    return call_function_body(fn, object_ctx, &name, event_mask);
}

// An object's (or an error's) spec block, evaluated for its effects in a
// mark of its own; the value stays pushed for the caller to drop.
signal_code eval_spec(const kel_value* block) { return eval_block(block, false); }

// `near` of a new error!: the expression running, when one is.
void error_near(kel_value* out) {
    if (innermost_code) current_position(out);
}

// sort/compare with a function: the call both sorts make, in a frame named
// `<compare-callback>` under the sort trace filter. The string sort takes a
// control code back as the answer and leaves the sort itself; the block sort
// runs inside C++ that cannot return one, so the code travels wrapped.
signal_code call_sort_function(const kel_value* fn, const kel_value* first, const kel_value* second,
                               kel_value* answer) {
    const kel_value args[2] = {*first, *second};
    return call_function(fn, &words::_compare_callback, args, 2, filter::sort, answer);
}

void compare_callback(const kel_value* fn, const kel_value* first, const kel_value* second, kel_value* answer) {
    const signal_code c = call_sort_function(fn, first, second, answer);
    if (c != signal_code::none) stack::throw_code(c);
}

}  // namespace

void install_hooks() {
    stack::record_names(word_symbol(&words::_body), word_symbol(&words::_anon), &words::_not_found);
    stack::contexts.index_of = index_in;
    typeset::resolve_word = resolve_type_word;
    block::call_compare = compare_callback;
    string::compare_callback = call_sort_function;
    raising.near = near_of;
    raising.traced = traced_error;
    object::invoke_hook = invoke_handler;
    object::eval_block = eval_spec;
    error::current_position = error_near;
}

void setup() {
    // The cells kept outside the stacks (the current position, the trace
    // callback, the set-path mark's name) are roots of every collection.
    static bool rooted = false;
    if (!rooted) {
        rooted = collector::add_hook([] { each_root([](kel_value* cell) { collector::mark_value(cell); }); });
        if (!rooted) fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
    }
    eval_set_path_word = *word::from_c_string("eval-set-path");
    decode::setup();
    decode::release_pure = pure::release;
    std::memset(field_cache, 0, sizeof field_cache);  // a new runtime's symbols and contexts
    std::memset(name_cache, 0, sizeof name_cache);
    machine_floor = compute_floor();
}

void each_root(void (*mark)(kel_value* cell)) {
    // A collection may free contexts and so free their ids for reuse: the
    // caches keyed by context id start again empty.
    std::memset(field_cache, 0, sizeof field_cache);
    std::memset(name_cache, 0, sizeof name_cache);
    mark(&trace.callback);
    mark(&eval_set_path_word);
    mark_frames(mark);
}

}  // namespace kel::interpreter
