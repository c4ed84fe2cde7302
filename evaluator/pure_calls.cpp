// pure_calls: speculative calls of functions that change nothing.
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
#include <memory>
#include <vector>

#include "evaluator/interpreter_internal.h"

namespace kel::interpreter {

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

namespace {

std::vector<std::unique_ptr<body>> bodies(1);  // number 0 unused
std::vector<int32_t> free_bodies;
uint64_t epoch = 0;
constexpr uint8_t max_bails = 2;
constexpr int32_t max_cells = 64;
constexpr int32_t max_nodes = 4096;

}  // namespace

bool callable(const body& b) { return b.callable; }

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

namespace {

// Compiles a body block into b; false where anything in it is not pure.
struct body_compiler {
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
}  // namespace

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
    body_compiler k{b, fn.w1};
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

namespace {

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
}  // namespace

// Runs the call of fn whose frame starts at base (its arguments and the
// rest laid out) as an attempt: true with its value in *out, false when the
// generic way must run it (nothing was changed).
[[gnu::noinline]] bool try_call(const kel_value& fn, kel_value* base, kel_value* out) {
    body* b = body_of(fn);
    if (!b || base + b->cells > stack::top() || !start_attempt(fn, b)) return false;
    std::copy(base, base + b->cells, attempt_frames);
    return finish_attempt(b, out);
}

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

}  // namespace kel::interpreter
