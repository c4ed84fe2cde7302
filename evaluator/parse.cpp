// parse: see parse.h.
//
// Rule stack, three cells per level:
//   block level    integer! (input-stack depth at entry), triple! (resume
//                  position in the rules, input position and length at
//                  entry), the rules block;
//   command level  triple! (min, max or -1, matched count) or the target
//                  word, triple! (position of the command's rule, input
//                  position and length at the start of the try), pair!
//                  (command kind, flags).
// Positions are indexes, never addresses: every cell is re-read from the
// stack's node, and the cursor is clamped to the input's tail after anything
// that may evaluate. A result (the match of an element or of a finished
// level) is handed to the level on top: a block goes on or tries its next
// alternative, a command iterates or finishes. Literals after a repetition
// and after to/thru are matched in one pass without levels per try.
#include "evaluator/parse.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/runtime_words.h"
#include "datatypes/series.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/triple.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "evaluator/parse_compiled.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "kernel/case_tables.h"
#include "kernel/native_api.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "services/lexer.h"

namespace kel::parse {

namespace {

kel_value rule_stack{};
kel_value input_stack{};
constexpr int32_t stack_limit = 10000;
namespace ar = action_specs;

enum kind : int32_t {
    k_rep = 1, k_while, k_to, k_thru, k_copy, k_set, k_not, k_into, k_remove, k_ahead, k_change, k_case,
    k_collect, k_keep, k_keep_paren
};
// f_only: change only; f_pick: keep pick; c_*: how a collection was opened.
enum flags : int32_t { f_only = 1, f_pick = 2, c_set = 4, c_into = 8, c_after = 16 };

// A cell by absolute index, inline: the engine reads its stacks and rules a
// few times per element.
inline kel_value* cell_at(const kel_value* b, int32_t i) {
    memory::buffer_header* h = memory::buffer_of(series_node(b));
    return reinterpret_cast<kel_value*>(h->data() + h->head) + i;
}
inline kel_value* rs(int32_t i) { return cell_at(&rule_stack, i); }
// Pushes one level's three cells onto the rule stack, with one stamp bump
// where three adds would bump it three times.
inline void push_level(const kel_value* c) {
    memory::buffer_header* h = memory::buffer_of(series_node(&rule_stack));
    if (h->tail + 48u <= h->capacity) [[likely]] {
        std::memcpy(h->data() + h->tail, c, 48);
        h->tail += 48;
        memory::touch(h);
        return;
    }
    for (int i = 0; i < 3; ++i) block::ks_add(&rule_stack, &c[i]);
}
// Room for `levels` levels on top of the rule stack, with one stamp bump;
// the caller fills every cell before anything reads the stack or allocates.
// Written in place: a level built in locals and copied as a whole stalls on
// the copy's wide loads of the narrow stores that built it.
inline kel_value* claim_levels(int32_t levels) {
    memory::buffer_header* h = memory::buffer_of(series_node(&rule_stack));
    const uint32_t bytes = 48u * static_cast<uint32_t>(levels);
    if (h->tail + bytes <= h->capacity) [[likely]] {
        auto* c = reinterpret_cast<kel_value*>(h->data() + h->tail);
        h->tail += bytes;
        memory::touch(h);
        return c;
    }
    kel_value none;
    set_none(&none);
    for (int32_t i = 0; i < 3 * levels; ++i) block::ks_add(&rule_stack, &none);
    h = memory::buffer_of(series_node(&rule_stack));
    return reinterpret_cast<kel_value*>(h->data() + h->tail) - 3 * levels;
}
// The rule stack cut back to `index` cells (block::ks_cut_at, inline: every
// level popped does it).
inline void cut_rule_stack(int32_t index) {
    memory::buffer_header* h = memory::buffer_of(series_node(&rule_stack));
    h->tail = h->head + 16u * static_cast<uint32_t>(index);
    memory::touch(h);
}
inline int32_t rs_len() { return static_cast<int32_t>(memory::buffer_of(series_node(&rule_stack))->units()); }
inline int32_t is_len() { return static_cast<int32_t>(memory::buffer_of(series_node(&input_stack))->units()); }
inline int32_t units_of(const kel_value* s) {
    return static_cast<int32_t>(memory::buffer_of(series_node(s))->units());
}

inline uint32_t change_sym() {
    static uint32_t sym = 0;  // the symbol table is made before any parse runs
    if (!sym) sym = symbol::resolve(word_symbol(&words::_change));
    return sym;
}

inline uint32_t fold(uint32_t c) {
    if (c < 128) return (c >= 'a' && c <= 'z') ? c - 32 : c;
    return case_map::uppercase(c);
}

[[noreturn]] void rule_error(const char* id, const kel_value* v) { fire(error_category::script, id, v); }

// Clears the stacks back to where a run started, whatever way it leaves:
// the rule and input stacks, and the collection targets on the argument stack.
// An error or a signal has already moved the argument stack's top to its
// receiver (an error sits above the targets there, for its try to take), so
// the targets go only when the run ends normally.
struct stack_guard {
    int32_t rules, inputs;
    uint32_t data;
    bool normal = false;
    ~stack_guard() {
        block::ks_cut_at(&rule_stack, rules);
        block::ks_cut_at(&input_stack, inputs);
        if (normal) stack::regs.top = stack::at_offset(data);
    }
};

struct engine {
    kel_value input{};  // the current input (head as given)
    int32_t cur = 0;    // cursor: absolute index
    int32_t limit = -1; // /part limit of the top input, -1 none
    uint32_t itype = 0;
    bool in_block = false, in_string = false, in_binary = false;
    int32_t mode = cmp::equal;
    bool flag = true;
    bool brk = false;
    int32_t rbase = 0, ibase = 0;
    int32_t blk = 0;       // stack index of the current block level
    kel_value rules{};     // its rules
    int32_t rp = 0;        // its rule position
    bool traced = false;
    bool stopped = false;  // the callback answered other than true
    kel_value callback{};
    bool have = false;     // a result waits for the level on top
    bool result = false;
    bool done = false;
    // Collections: their targets sit on the argument stack above the base cell
    // at offset dbase; the top one takes what keep adds.
    uint32_t dbase = 0;
    int32_t cdepth = 0;
    bool collected = false;  // a plain top-level collection has ended
    // Open block levels counted by a hash of what the re-entry check compares
    // (rules, start, input position, input depth): a push whose bucket is
    // empty cannot meet an equal level and skips the walk over the stack.
    uint16_t open_levels[256] = {};
    uint16_t open_nodes[64] = {};  // the same levels by their rules block alone
    static uint32_t node_hash(uint32_t node) { return (node * 0x9E3779B1u) >> 26; }
    static uint32_t level_hash(uint32_t node, int32_t start, int32_t at, int32_t d) {
        uint32_t h = node * 0x9E3779B1u;
        h ^= static_cast<uint32_t>(start) * 0x85EBCA77u;
        h ^= static_cast<uint32_t>(at) * 0xC2B2AE3Du;
        h ^= static_cast<uint32_t>(d) * 0x27D4EB2Fu;
        return (h ^ (h >> 15)) & 255u;
    }
    // Cuts the rule stack back to `to` cells, forgetting the block levels cut.
    void cut_levels(int32_t to) {
        for (int32_t i = rs_len() - 3; i >= to; i -= 3) {
            const kel_value* c = rs(i);
            if (type_of(c) != types::integer) continue;
            --open_levels[level_hash(series_node(c + 2), series_head(c + 2), static_cast<int32_t>(c[1].w2),
                                     get_integer(c))];
            --open_nodes[node_hash(series_node(c + 2))];
        }
        cut_rule_stack(to);
    }

    int32_t depth() const { return is_len() - ibase; }
    int32_t end() const {
        const int32_t t = units_of(&input);
        return (limit >= 0 && depth() == 0) ? std::min(limit, t) : t;
    }
    void clamp() {
        const int32_t t = units_of(&input);
        if (cur > t) cur = t;
    }
    // Back to a position saved before a paren may have shortened the input:
    // never past its tail, where copy, set and keep would read stale cells.
    void rewind(int32_t to) {
        cur = to;
        clamp();
    }
    kel_value at_cursor() const {
        kel_value v = input;
        set_series_head(&v, cur);
        return v;
    }

    // --- trace ---------------------------------------------------------------
    // The rule stack as the callback sees it: a copy of its cells, at this
    // run's first level. The engine reads its levels by index and raw field,
    // so a callback that changed the stack itself would leave them pointing
    // anywhere.
    kel_value stack_view() const {
        kel_value whole = rule_stack, n, view;
        set_series_head(&whole, 0);
        set_integer(&n, rs_len());
        actions::copy_value(&whole, &view, &n, false, nullptr);
        set_series_head(&view, rbase);
        return view;
    }
    signal_code trace(const kel_value* event) {
        if (!traced || stopped) return signal_code::none;
        kel_value args[5];
        args[0] = *event;
        set_logic(&args[1], flag);
        args[2] = rules;
        set_series_head(&args[2], rp);
        args[3] = at_cursor();
        args[4] = stack_view();
        kel_value* const top = stack::top();
        stack::push_copy(&args[4]);  // held until the call has its arguments
        kel_value answer;
        const signal_code c = interpreter::call_function(&callback, &words::_parse_callback, args, 5,
                                                         interpreter::filter::parse, &answer);
        if (c != signal_code::none) return c;
        stack::regs.top = top;
        if (!(type_of(&answer) == types::logic && get_logic(&answer))) stopped = true;
        clamp();
        return signal_code::none;
    }
#define TRACE(ev)                                                       \
    do {                                                                \
        if (traced) {                                                   \
            KEL_PROPAGATE(trace(&words::ev));                           \
            if (stopped) return signal_code::none;                      \
        }                                                               \
    } while (0)

    // --- levels --------------------------------------------------------------
    void check_room() {
        if (rs_len() + 3 > stack_limit) fire(error_category::script, "parse-stack");
    }
    signal_code push_block(const kel_value* block, bool nested_check = true) {
        check_room();
        const int32_t start = std::max(series_head(block), 0);
        const int32_t d = depth();
        if (nested_check) {
            rs(blk + 1)->w1 = static_cast<uint32_t>(rp);
            // Re-entering a block level at the same rules, input position and
            // input depth would loop for ever. Nothing here allocates, so the
            // levels are walked through one pointer, the cursor (which rarely
            // matches) tested first.
            const uint32_t node = series_node(block);
            const kel_value* const levels = rs(0);
            const bool maybe = open_levels[level_hash(node, start, cur, d)] != 0;
            for (int32_t i = maybe ? rs_len() - 3 : rbase - 3; i >= rbase; i -= 3) {
                const kel_value* c0 = levels + i;
                if (static_cast<int32_t>(c0[1].w2) != cur || type_of(c0) != types::integer) continue;
                const kel_value* c2 = c0 + 2;
                if (series_node(c2) == node && series_head(c2) == start && get_integer(c0) == d) {
                    kel_value r = *block;
                    rule_error("parse-infinite", &r);
                }
            }
        }
        kel_value c[3];
        set_integer(&c[0], d);
        triple::set(&c[1], start, cur, units_of(&input));
        c[2] = *block;
        set_series_head(&c[2], start);
        push_level(c);
        ++open_levels[level_hash(series_node(block), start, cur, d)];
        ++open_nodes[node_hash(series_node(block))];
        blk = rs_len() - 3;
        rules = c[2];
        rp = start;
        TRACE(_push);
        return signal_code::none;
    }
    signal_code push_command(int32_t k, int32_t fl, const kel_value* c0, int32_t rule_pos) {
        check_room();
        rs(blk + 1)->w1 = static_cast<uint32_t>(rp);
        kel_value c[3];
        c[0] = *c0;
        triple::set(&c[1], rule_pos, cur, units_of(&input));
        set_pair(&c[2], k, fl);
        push_level(c);
        TRACE(_push);
        return signal_code::none;
    }
    // Pops the level on top and hands `ok` to the one below.
    signal_code pop_level(bool ok) {
        const int32_t top = rs_len() - 3;
        TRACE(_pop);
        if (top == blk) cut_levels(top);
        else cut_rule_stack(top);
        if (top == blk) {
            if (top <= rbase) {
                done = true;
                result = ok;
                return signal_code::none;
            }
            int32_t i = top - 3;
            while (type_of(rs(i)) != types::integer) i -= 3;
            blk = i;
            rules = *rs(i + 2);
            rp = static_cast<int32_t>(rs(i + 1)->w1);
        }
        have = true;
        result = ok;
        return signal_code::none;
    }

    // --- reading the rules ------------------------------------------------------
    int32_t rules_end() const { return units_of(&rules); }
    bool rule_left() const { return rp < rules_end(); }
    kel_value rule_at(int32_t i) const { return *cell_at(&rules, i); }
    int32_t keyword_of(const kel_value* v) const {
        if (type_of(v) != types::word) return 0;
        return static_cast<int32_t>(symbol::resolve(word_symbol(v)));
    }
    int32_t next_alternative(int32_t from) const {
        const int32_t e = rules_end();
        const uint32_t pipe = words::pipe;
        for (int32_t i = from; i < e; ++i) {
            const kel_value* c = cell_at(&rules, i);
            if (type_of(c) == types::word && symbol::resolve(word_symbol(c)) == pipe) return i;
        }
        return -1;
    }

    // --- literal matching -----------------------------------------------------------
    // Units matched by the literal at pos (pos <= end), or -1.
    int32_t match_len(const kel_value* v, int32_t pos, int32_t e) const {
        const uint32_t vt = type_of(v);
        if (in_block) {
            if (pos >= e) return -1;
            return actions::compare_by_op(cell_at(&input, pos), v, mode) ? 1 : -1;
        }
        memory::buffer_header* h = memory::buffer_of(series_node(&input));
        const uint32_t unit = h->unit();
        const bool strict = mode == cmp::strict_equal;
        auto cp_at = [&](int32_t i) { return string::read_unit(string::unit_ptr(h, i), unit); };
        if (vt == types::char_) {
            if (pos >= e) return -1;
            const uint32_t c = cp_at(pos), w = get_char(v);
            if (in_binary) return c == w ? 1 : -1;
            return (c == w || (!strict && fold(c) == fold(w))) ? 1 : -1;
        }
        if (vt == types::bitset) {
            if (pos >= e) return -1;
            return string::in_bitset_q(cp_at(pos), v) ? 1 : -1;
        }
        const bool text = in_family(vt, family::string_like);
        if (!text && !(vt == types::binary && in_binary)) return -1;
        memory::buffer_header* vh = memory::buffer_of(series_node(v));
        const int32_t vhead = std::max(series_head(v), 0);
        const int32_t vn = std::max(static_cast<int32_t>(vh->units()) - vhead, 0);
        const uint32_t vunit = vh->unit();
        if (pos >= e) {
            const bool ok = in_string && vn == 0 && (vt == types::string || vt == types::file || vt == types::url);
            return ok ? 0 : -1;
        }
        const bool tag = vt == types::tag;
        int32_t p = pos;
        auto one = [&](uint32_t w) -> bool {  // matches one code point (a byte run in binary input)
            if (in_binary && vt != types::binary && w >= 0x80) {
                uint8_t buf[4];
                int n;
                if (w < 0x800) { buf[0] = 0xC0 | (w >> 6); buf[1] = 0x80 | (w & 63); n = 2; }
                else if (w < 0x10000) { buf[0] = 0xE0 | (w >> 12); buf[1] = 0x80 | ((w >> 6) & 63); buf[2] = 0x80 | (w & 63); n = 3; }
                else { buf[0] = 0xF0 | (w >> 18); buf[1] = 0x80 | ((w >> 12) & 63); buf[2] = 0x80 | ((w >> 6) & 63); buf[3] = 0x80 | (w & 63); n = 4; }
                for (int k = 0; k < n; ++k) {
                    if (p >= e || cp_at(p) != buf[k]) return false;
                    ++p;
                }
                return true;
            }
            if (p >= e) return false;
            const uint32_t c = cp_at(p);
            if (!(c == w || (!strict && vt != types::binary && fold(c) == fold(w)))) return false;
            ++p;
            return true;
        };
        if (tag && !one('<')) return -1;
        const char* vd = vh->data() + vh->head + (static_cast<int64_t>(vhead) << vh->shift());
        if (unit == 1 && vunit == 1 && (strict || vt == types::binary)) {
            if (p + vn > e || std::memcmp(string::unit_ptr(h, p), vd, static_cast<size_t>(vn)) != 0) return -1;
            p += vn;
        } else {
            for (int32_t i = 0; i < vn; ++i)
                if (!one(string::read_unit(vd + (static_cast<int64_t>(i) << vh->shift()), vunit))) return -1;
        }
        if (tag && !one('>')) return -1;
        return p - pos;
    }

    // The first position in [from, to) of string or binary input whose unit
    // is in the bitset (`inside` true) or not in it (false); `to` when none.
    // A code point beyond the set's bits is in it only when it is complemented.
    int32_t bitset_scan(const kel_value* set, int32_t from, int32_t to, bool inside) const {
        memory::buffer_header* h = memory::buffer_of(series_node(&input));
        memory::buffer_header* bh = memory::buffer_of(series_node(set));
        const uint64_t nbits = static_cast<uint64_t>(bh->used()) * 8;
        const auto* bits = reinterpret_cast<const uint8_t*>(bh->head_ptr());
        const bool beyond = (bh->flags & memory::flag_complemented) != 0;
        const char* base = string::unit_ptr(h, 0);
        auto in_set = [&](uint32_t c) { return c < nbits ? (bits[c >> 3] & (0x80u >> (c & 7))) != 0 : beyond; };
        int32_t p = from;
        if (h->unit() == 1) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(base);
            if (!inside) {
                const small_set& m = members_of(bh, series_node(set));
                if (m.count >= 0) return scan_small(bytes, from, to, m);
            }
            if (inside) {
                while (p < to && in_set(bytes[p])) ++p;
            } else {
                while (p < to && !in_set(bytes[p])) ++p;
            }
            return p;
        }
        const uint32_t unit = h->unit();
        while (p < to && in_set(string::read_unit(base + int64_t{p} * unit, unit)) == inside) ++p;
        return p;
    }
    // The members of a small set (at most four, all below 128: the usual
    // separators), found again only when the set's bits are not the ones
    // they were found in; count -1: the set is not small.
    struct small_set {
        uint32_t node = 0;
        uint64_t lo = 0, hi = 0;
        int32_t count = -1;
        uint8_t members[4] = {};
    };
    mutable small_set last_set;
    const small_set& members_of(const memory::buffer_header* bh, uint32_t node) const {
        small_set& m = last_set;
        const uint32_t n = bh->used();
        if (n > 16 || (bh->flags & memory::flag_complemented)) {
            m.node = 0;
            m.count = -1;
            return m;
        }
        // The set's buffer holds at least 16 bytes from its head (its
        // capacity, then its trailer); those past its tail are masked off.
        uint64_t lo, hi;
        std::memcpy(&lo, bh->data() + bh->head, 8);
        std::memcpy(&hi, bh->data() + bh->head + 8, 8);
        if (n < 8) {
            lo = n ? lo & ((uint64_t{1} << (8 * n)) - 1) : 0;
            hi = 0;
        } else if (n < 16) {
            hi = n > 8 ? hi & ((uint64_t{1} << (8 * (n - 8))) - 1) : 0;
        }
        if (m.node == node && m.lo == lo && m.hi == hi) return m;
        m.node = node;
        m.lo = lo;
        m.hi = hi;
        m.count = 0;
        const uint64_t words[2] = {lo, hi};
        for (int w = 0; w < 2; ++w) {
            for (uint64_t b = words[w]; b; b &= b - 1) {
                if (m.count == 4) {
                    m.count = -1;
                    return m;
                }
                const int bit = __builtin_ctzll(b);  // byte bit>>3, mask 0x80 >> c for code c within it
                m.members[m.count++] = static_cast<uint8_t>(64 * w + (bit & ~7) + (7 - (bit & 7)));
            }
        }
        return m;
    }
    // The first position in [from, to) of byte text holding a member of the
    // small set m (to: none). Loads of 16 units may reach past the tail:
    // the buffer goes on through its capacity and its 16-byte trailer, and
    // the lanes past `to` are masked off before anything looks at them.
    static int32_t scan_small(const uint8_t* bytes, int32_t from, int32_t to, const small_set& m) {
        if (m.count == 0) return std::max(from, to);
        const __m128i a = _mm_set1_epi8(static_cast<char>(m.members[0]));
        const __m128i b = _mm_set1_epi8(static_cast<char>(m.members[m.count > 1 ? 1 : 0]));
        const __m128i c = _mm_set1_epi8(static_cast<char>(m.members[m.count > 2 ? 2 : 0]));
        const __m128i d = _mm_set1_epi8(static_cast<char>(m.members[m.count > 3 ? 3 : 0]));
        for (int32_t p = from; p < to; p += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + p));
            const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, a), _mm_cmpeq_epi8(x, b)),
                                             _mm_or_si128(_mm_cmpeq_epi8(x, c), _mm_cmpeq_epi8(x, d)));
            uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(hit));
            if (to - p < 16) mask &= (1u << (to - p)) - 1;
            if (mask) return p + __builtin_ctz(mask);
        }
        return std::max(from, to);
    }
    // bitset_scan from the cursor to the first unit in the set, a small set
    // over byte-wide input inline: a compiled `to`/`thru` of a set runs it
    // once per match, mostly over a few units, 16 units at a time.
    [[gnu::always_inline]] int32_t scan_to_set(const kel_value* set, int32_t to) {
        memory::buffer_header* h = memory::buffer_of(series_node(&input));
        if (h->unit() == 1) {
            const uint32_t node = series_node(set);
            const small_set& m = members_of(memory::buffer_of(node), node);
            if (m.count >= 0) return scan_small(reinterpret_cast<const uint8_t*>(h->head_ptr()), cur, to, m);
        }
        return bitset_scan(set, cur, to, false);
    }
    // The first position at or after cur where the literal matches (its length
    // into *len), or -1.
    int32_t find_literal(const kel_value* v, int32_t* len) const {
        const int32_t e = end();
        const uint32_t vt = type_of(v);
        if (!in_block) {
            // one code point: a straight scan of the units
            uint32_t w = 0;
            bool single = false;
            if (vt == types::char_) {
                w = get_char(v);
                single = true;
            } else if (in_string && (vt == types::string || vt == types::file || vt == types::url ||
                                     vt == types::email || vt == types::ref)) {
                memory::buffer_header* vh = memory::buffer_of(series_node(v));
                const int32_t vhead = std::max(series_head(v), 0);
                if (static_cast<int32_t>(vh->units()) - vhead == 1) {
                    w = string::read_unit(vh->data() + vh->head + (static_cast<int64_t>(vhead) << vh->shift()),
                                          vh->unit());
                    single = true;
                }
            }
            memory::buffer_header* h = memory::buffer_of(series_node(&input));
            // An upper-case letter folds to itself but is still cased: its lower
            // case must be found too.
            const bool caseless = in_binary || mode == cmp::strict_equal ||
                                  (fold(w) == w && case_map::lowercase(w) == w);
            if (single && h->unit() == 1 && caseless && (in_string || w < 256) && w < 256 && fold(w) == w) {
                const char* base = string::unit_ptr(h, 0);
                if (cur >= e) return -1;
                const void* hit = std::memchr(base + cur, static_cast<int>(w), static_cast<size_t>(e - cur));
                if (!hit) return -1;
                *len = 1;
                return static_cast<int32_t>(static_cast<const char*>(hit) - base);
            }
        }
        if (in_string && vt == types::bitset && cur < e) {  // wide text: the same scan
            const int32_t p = bitset_scan(v, cur, e, false);
            if (p >= e) return -1;
            *len = 1;
            return p;
        }
        if (!in_block && cur < e) {
            memory::buffer_header* h = memory::buffer_of(series_node(&input));
            if (h->unit() == 1) {
                const auto* base = reinterpret_cast<const uint8_t*>(string::unit_ptr(h, 0));
                if (vt == types::bitset) {  // a straight scan of the bytes against the set's bits
                    const int32_t p = bitset_scan(v, cur, e, false);
                    if (p >= e) return -1;
                    *len = 1;
                    return p;
                }
                const bool text = vt == types::string || vt == types::file || vt == types::url ||
                                  vt == types::email || vt == types::ref || vt == types::tag;
                if (text || (vt == types::binary && in_binary)) {
                    // only positions whose byte can begin the literal are tried
                    memory::buffer_header* vh = memory::buffer_of(series_node(v));
                    const int32_t vhead = std::max(series_head(v), 0);
                    if (static_cast<int32_t>(vh->units()) > vhead) {
                        const uint32_t w = vt == types::tag ? '<'
                                                            : string::read_unit(vh->data() + vh->head +
                                                                                    (static_cast<int64_t>(vhead) << vh->shift()),
                                                                                vh->unit());
                        // text folds in binary input too, as match_len compares it
                        const bool exact = vt == types::binary || mode == cmp::strict_equal;
                        if (w < 128) {
                            const uint32_t fw = exact ? w : fold(w);
                            for (int32_t p = cur; p < e; ++p) {
                                const uint32_t c = base[p];
                                if ((exact ? c : fold(c)) != fw) continue;
                                const int32_t n = match_len(v, p, e);
                                if (n >= 0) {
                                    *len = n;
                                    return p;
                                }
                            }
                            const int32_t n = match_len(v, e, e);  // only an empty text matches at the end
                            if (n >= 0) {
                                *len = n;
                                return e;
                            }
                            return -1;
                        }
                    }
                }
            }
        }
        for (int32_t p = cur; p <= e; ++p) {
            const int32_t n = match_len(v, p, e);
            if (n >= 0) {
                *len = n;
                return p;
            }
        }
        return -1;
    }

    // A datatype! or typeset! rule at the cursor: units matched or -1.
    int32_t match_type(const kel_value* t, int32_t pos) {
        const int32_t e = end();
        if (in_string) rule_error("parse-unsupported", t);
        if (pos >= e) return -1;
        uint32_t vt;
        int32_t n = 1;
        if (in_block) {
            vt = type_of(cell_at(&input, pos));
        } else {
            // Bytes that do not scan (a stray byte, an unclosed series or
            // string) hold no value of any type: the rule fails there as on
            // any other mismatch, the lexer's complaint vetoed, not raised.
            static const lexer::callback no_complaint{
                [](void*, lexer::event, kel_value*, const kel_value*, int32_t, const kel_value*) { return false; },
                nullptr, lexer::ev_error};
            kel_value scanned;
            lexer::options o;
            o.one = true;
            o.events = &no_complaint;
            size_t used = 0;
            memory::buffer_header* h = memory::buffer_of(series_node(&input));
            const auto* bytes = reinterpret_cast<const uint8_t*>(string::unit_ptr(h, pos));
            kel_value* const top = stack::top();
            const int32_t last = lexer::transcode_utf8(&scanned, bytes, static_cast<size_t>(e - pos), o, &used);
            stack::regs.top = top;
            if (last == static_cast<int32_t>(types::error)) return -1;
            vt = type_of(&scanned);
            if (vt == types::unset || used == 0) return -1;
            n = static_cast<int32_t>(used);
        }
        const bool ok = type_of(t) == types::datatype ? vt == get_datatype(t) : typeset_has(t, vt);
        return ok ? n : -1;
    }

    // --- helpers of the commands -------------------------------------------------------
    static void set_target(const kel_value* word, const kel_value* value) {
        kel_value w = *word;
        const kel_value v = *value;
        _context::set_bound(&w, &v);
    }
    // A context's context! cell (_context::cell, inline).
    static const kel_value* context_cell(uint32_t ctx) {
        return reinterpret_cast<const kel_value*>(memory::buffer_of(ctx)->head_ptr());
    }
    // The value slot of a bound word (null: none), looked up inline for
    // the heap contexts that hold most targets and the words rules read.
    [[gnu::always_inline]] static kel_value* word_slot(const kel_value* w) {
        const uint32_t ctx = word_context(w);
        const int32_t index = word_index(w);
        if (ctx == 0 || index < 0) return nullptr;
        const kel_value* c = context_cell(ctx);
        if (c->w2 == 0 || (c->header & header_context_stack)) return _context::bound_slot(w);
        memory::buffer_header* h = memory::buffer_of(c->w2);
        if (static_cast<uint32_t>(index) >= h->used() / 16) return nullptr;
        return reinterpret_cast<kel_value*>(h->head_ptr()) + index;
    }
    // Sets a word where setting runs nothing (see quiet), straight into its
    // slot when set_in would do no more than that: not for an object's word,
    // whose changed mark set_in keeps. False: not quiet, nothing was set.
    static bool set_quiet(const kel_value* w, const kel_value* v) {
        const uint32_t ctx = word_context(w);
        if (!ctx || word_index(w) < 0) return false;
        const kel_value* c = context_cell(ctx);
        if (!(c->header & header_context_stack)) {
            const kel_value* own = c + 1;  // the owner cell
            if (type_of(own) == types::object && own->w3 != 0) return false;
            if (_context::kind_of(c) != _context::kind_object) {
                if (kel_value* slot = word_slot(w)) {
                    *slot = *v;
                    return true;
                }
            }
        }
        const kel_value word = *w, value = *v;
        set_target(&word, &value);
        return true;
    }
    // The part of the input from `start` to the cursor as `copy/part` makes
    // it; strings and binaries without the action's dispatch.
    void copy_part(int32_t start, kel_value* v) {
        const int32_t n = std::max(cur - start, 0);
        if (in_block) {
            kel_value from = input;
            set_series_head(&from, start);
            kel_value count;
            set_integer(&count, n);
            actions::copy_value(&from, v, &count, false, nullptr);
            return;
        }
        const int32_t units = units_of(&input);
        const int32_t from = std::clamp(start, 0, units);
        string::copy_units(&input, from, std::min(n, units - from), v);
    }
    bool same_series(const kel_value* v) const {
        return type_of(v) == itype && series_node(v) == series_node(&input);
    }
    // The value given to insert or change, at rp (advanced past it).
    signal_code insert_value(kel_value* out, const kel_value* keyword) {
        if (!rule_left()) rule_error("parse-end", keyword);
        const kel_value v = rule_at(rp++);
        const uint32_t t = type_of(&v);
        if (t == types::paren) {
            kel_value* const top = stack::top();
            KEL_PROPAGATE(interpreter::eval_in_place(&v, false));
            *out = *top;
            stack::regs.top = top;
            clamp();
            TRACE(_paren);
            return signal_code::none;
        }
        if (t == types::word) {
            const kel_value* got = _context::get_bound(&v);
            if (unset_q(got)) fire(error_category::script, "no-value", &v);
            *out = *got;
            return signal_code::none;
        }
        if (t == types::path) rule_error("parse-rule", &v);
        *out = v;
        return signal_code::none;
    }
    // Runs a series action on the input at `at` with the value inserted.
    void modify(int action, int32_t at, const kel_value* value, int32_t part, bool only) {
        stack::open_native_frame(nullptr);
        kel_value* base = stack::arguments();
        refinements refs = refinements::none();
        kel_value s = input;
        set_series_head(&s, at);
        stack::push_copy(&s);
        if (action == act::remove) {
            kel_value n;
            set_integer(&n, part);
            refs.at[ar::remove_ref::part] = static_cast<int32_t>(stack::top() - base);
            stack::push_copy(&n);
        } else {
            stack::push_copy(value);
            if (part >= 0) {
                kel_value n;
                set_integer(&n, part);
                refs.at[ar::change_ref::part] = static_cast<int32_t>(stack::top() - base);
                stack::push_copy(&n);
            }
            if (only) refs.at[ar::insert_ref::only] = static_cast<int32_t>(stack::top() - base);
        }
        const signal_code c = actions::table[action - 1](refs);
        if (c != signal_code::none) stack::throw_code(c);
        stack::close_frame_discard();
    }

    // --- dispatch ---------------------------------------------------------------------
    void deliver(bool ok) {
        have = true;
        result = ok;
    }
    // Dispatches the element just read (at rp - 1). `command`: it is the rule of
    // the command on top of the stack.
    signal_code dispatch(kel_value e, bool command) {
        uint32_t t = type_of(&e);
        if (t == types::word) {
            const uint32_t sym = symbol::resolve(word_symbol(&e));
            if (is_keyword(sym)) return keyword(sym, e);
            const kel_value* got = _context::get_bound(&e);
            if (unset_q(got)) rule_error("parse-rule", &e);
            const kel_value v = *got;
            const uint32_t vt = type_of(&v);
            if (vt == types::block) return enter_block(&v);
            if (vt == types::datatype || vt == types::typeset) return simple_type(&v);
            return literal(&v);
        }
        switch (t) {
            case types::block:
                return enter_block(&e);
            case types::set_word: {
                const kel_value v = at_cursor();
                set_target(&e, &v);
                if (command) deliver(true);
                return signal_code::none;
            }
            case types::get_word: {
                const kel_value v = *_context::get_bound(&e);
                if (!same_series(&v)) rule_error("parse-invalid-ref", &e);
                cur = std::min(std::max(series_head(&v), 0), units_of(&input));
                if (command) deliver(true);
                return signal_code::none;
            }
            case types::integer:
                return counts(e);
            case types::paren: {
                kel_value* const top = stack::top();
                KEL_PROPAGATE(interpreter::eval_in_place(&e, false));
                stack::regs.top = top;
                clamp();
                TRACE(_paren);
                if (command) deliver(true);
                return signal_code::none;
            }
            case types::datatype:
            case types::typeset:
                return simple_type(&e);
            default:
                // a path would have to be evaluated to name a rule; the
                // other path types are values like any other
                if (t == types::path) rule_error("parse-rule", &e);
                return literal(&e);
        }
    }
    // The keywords' symbols, as a table by symbol id made at the first parse
    // (the runtime words are made at start-up, before any parse runs): every
    // word rule asks, so one load serves instead of two dozen comparisons.
    static bool is_keyword(uint32_t s) {
        static const keyword_table table = make_keyword_table();
        return s < table.size && table.flags[s];
    }
    struct keyword_table {
        uint32_t size = 0;
        bool* flags = nullptr;
    };
    static keyword_table make_keyword_table() {
        const uint32_t keys[] = {words::any, words::some, words::opt, words::while_, words::to, words::thru,
                                 words::copy, words::set, words::not_, words::ahead, words::into, words::remove,
                                 words::insert, change_sym(), words::quote, words::if_, words::case_, words::skip,
                                 words::end, words::none, words::fail, words::break_, words::reject, words::pipe,
                                 words::collect, words::keep};
        keyword_table t;
        for (uint32_t k : keys) t.size = std::max(t.size, k + 1);
        t.flags = new bool[t.size]();
        for (uint32_t k : keys) t.flags[k] = true;
        return t;
    }

    // --- collections -----------------------------------------------------------------
    // Calls a series action (insert, append) on the target with the value;
    // the action's result into *out.
    void series_action(int action, const kel_value* target, const kel_value* value, bool only, kel_value* out) {
        stack::open_native_frame(nullptr);
        kel_value* base = stack::arguments();
        refinements refs = refinements::none();
        stack::push_copy(target);
        stack::push_copy(value);
        if (only) refs.at[ar::insert_ref::only] = static_cast<int32_t>(stack::top() - base);
        const signal_code c = actions::table[action - 1](refs);
        if (c != signal_code::none) stack::throw_code(c);
        *out = *stack::arguments();
        stack::close_frame_discard();
    }
    // Adds a value to the target of the innermost collection: a block gets it
    // appended, an `into` target inserted at its position (which moves past
    // it), an `after` target appended at its tail. `at_position`: an `after`
    // target takes it at its position too (a nested collection's block).
    void add_to_target(const kel_value* value, bool only, bool at_position = false) {
        const kel_value t = stack::top()[-1];
        const uint32_t tt = type_of(&t);
        if (tt == types::block) {
            if (only || !in_family(type_of(value), family::block_like)) {
                block::ks_add(&t, value);
            } else {
                const kel_value v = *value;
                const int32_t n = units_of(&v);
                for (int32_t i = std::max(series_head(&v), 0); i < n; ++i) {
                    const kel_value e = *cell_at(&v, i);
                    block::ks_add(&t, &e);
                }
            }
            return;
        }
        kel_value w = t;
        set_type(&w, types::word);
        const kel_value target = *_context::get_bound(&w);
        kel_value out;
        if (tt == types::get_word || at_position) {
            series_action(act::insert, &target, value, only, &out);
            set_target(&w, &out);
        } else {
            series_action(act::append, &target, value, only, &out);
        }
    }
    // Keeps what the keep on top matched, from start to the cursor.
    void keep_part(int32_t start, bool pick) {
        if (cur <= start) return;
        kel_value v;
        if (pick || cur - start == 1) {
            for (int32_t i = start; i < cur; ++i) {
                series::element_value(&input, i, &v);
                add_to_target(&v, true);
            }
            return;
        }
        kel_value from = input;
        set_series_head(&from, start);
        kel_value n;
        set_integer(&n, cur - start);
        // Into a string target the part adds its text: a tag's without its
        // brackets, a binary's bytes as UTF-8.
        const kel_value t = stack::top()[-1];
        uint32_t tt = type_of(&t);
        if (tt != types::block) {
            kel_value w = t;
            set_type(&w, types::word);
            tt = type_of(_context::get_bound(&w));
        }
        if (in_family(tt, family::string_like) && in_binary) {
            memory::buffer_header* h = memory::buffer_of(series_node(&input));
            string::decode(reinterpret_cast<const uint8_t*>(string::unit_ptr(h, start)),
                           static_cast<uint32_t>(cur - start), &v, string::encoding_utf8);
        } else {
            actions::copy_value(&from, &v, &n, false, nullptr);
            if (in_family(tt, family::string_like) && in_string) set_type(&v, types::string);
        }
        add_to_target(&v, true);
    }
    // collect [set|into|after word] rule
    signal_code open_collection(const kel_value& kw) {
        KEL_PROPAGATE(need_rule(kw));
        const kel_value how = rule_at(rp);
        const int32_t sub = keyword_of(&how);
        kel_value c0;
        set_none(&c0);
        int32_t fl = 0;
        if (sub == static_cast<int32_t>(words::set) || sub == static_cast<int32_t>(words::into) ||
            sub == static_cast<int32_t>(words::after)) {
            if (rp + 2 >= rules_end()) rule_error("parse-end", &kw);
            kel_value w = rule_at(rp + 1);
            if (type_of(&w) != types::word) rule_error("parse-end", &kw);
            rp += 2;
            if (sub == static_cast<int32_t>(words::set)) {
                fl = c_set;
                stack::push_copy(&w);
                block::push_only_star(8);
            } else {
                const kel_value target = *_context::get_bound(&w);
                const uint32_t t = type_of(&target);
                if (!in_family(t, family::series) || t == types::vector || t == types::image ||
                    (t != itype && (t == types::binary || (in_family(t, family::string_like) && in_block))))
                    rule_error("parse-into-type", &w);
                if (series_node(&target) == series_node(&input)) rule_error("parse-into-bad", &w);
                fl = sub == static_cast<int32_t>(words::into) ? c_into : c_after;
                set_type(&w, fl == c_into ? types::get_word : types::refinement);
                const uint32_t word_at = stack::offset_of(stack::push_copy(&w));
                triple::set(&c0, 0, static_cast<uint32_t>(series_head(&target)), word_at);
            }
        } else {
            block::push_only_star(8);
        }
        ++cdepth;
        KEL_PROPAGATE(push_command(k_collect, fl, &c0, rp));
        return run_rule();
    }
    // The word of an `into` or `after` collection gets its series back at the
    // position it had when the collection opened (`opened`: the level's first
    // cell, with that position and where the word sits on the argument stack).
    static void put_target_back(const kel_value* opened) {
        kel_value w = *stack::at_offset(opened->w3);
        set_type(&w, types::word);
        kel_value target = *_context::get_bound(&w);
        set_series_head(&target, static_cast<int32_t>(opened->w2));
        set_target(&w, &target);
    }
    // A run left by an error or a signal: every `into` or `after` collection
    // still open puts its target back, as its end would have, keeping what
    // was kept.
    void put_open_targets_back() {
        for (int32_t top = rs_len() - 3; top >= rbase && cdepth > 0; top -= 3) {
            const kel_value* kind = rs(top + 2);
            if (type_of(kind) != types::pair || pair_x(kind) != k_collect) continue;
            --cdepth;
            if (pair_y(kind) & (c_into | c_after)) put_target_back(rs(top));
        }
    }
    // The collection on top ends: its target is handed over (its rule matched
    // or not).
    void close_collection(int32_t top) {
        --cdepth;
        const int32_t fl = pair_y(rs(top + 2));
        kel_value* t = stack::top() - 1;
        if (fl & (c_into | c_after)) {
            stack::regs.top = t;
            put_target_back(rs(top));
            return;
        }
        const kel_value b = *t;
        if (fl & c_set) {
            kel_value w = t[-1];
            stack::regs.top = t - 1;
            set_target(&w, &b);
            return;
        }
        if (stack::offset_of(t) == dbase + 1) {  // the top level: it stays and is the result
            collected = true;
            return;
        }
        stack::regs.top = t;
        const uint32_t et = type_of(t - 1);
        bool only = true;
        if (et != types::block) {  // an into/after target: a string or binary takes the values
            kel_value w = t[-1];
            set_type(&w, types::word);
            only = in_family(type_of(_context::get_bound(&w)), family::block_like);
        }
        add_to_target(&b, only, true);
    }

    // A one-element match reported by itself.
    signal_code report(bool ok) {
        flag = ok;
        TRACE(_match);
        deliver(ok);
        return signal_code::none;
    }
    // insert, and remove or change at a word's position: they change the input
    // without matching anything, so no `match` event reports them.
    signal_code changed() {
        flag = true;
        deliver(true);
        return signal_code::none;
    }
    signal_code simple_type(const kel_value* tv) {
        if (repetition_on_top()) return repeat_one_pass(tv);
        const int32_t n = match_type(tv, cur);
        if (n >= 0) cur += n;
        return report(n >= 0);
    }
    signal_code literal(const kel_value* v) {
        if (repetition_on_top()) return repeat_one_pass(v);
        const int32_t top = rs_len() - 3;
        if (top > blk) {
            const int32_t k = pair_x(rs(top + 2));
            if ((k == k_to || k == k_thru) && static_cast<int32_t>(rs(top + 1)->w1) == rp - 1) {
                int32_t len = 0;
                const int32_t at = find_literal(v, &len);
                if (at >= 0) cur = (k == k_to) ? at : at + len;
                flag = at >= 0;
                TRACE(_match);
                return pop_level(at >= 0);
            }
        }
        const int32_t n = match_len(v, cur, end());
        if (n >= 0) cur += n;
        return report(n >= 0);
    }
    // A repetition just pushed whose rule is the literal (or type) at rp - 1.
    bool repetition_on_top() const {
        const int32_t top = rs_len() - 3;
        if (top <= blk) return false;
        const int32_t k = pair_x(rs(top + 2));
        return (k == k_rep || k == k_while) && static_cast<int32_t>(rs(top + 1)->w1) == rp - 1 &&
               rs(top)->w3 == 0;
    }
    signal_code repeat_one_pass(const kel_value* v) {
        const int32_t top = rs_len() - 3;
        const kel_value c0 = *rs(top);
        const bool ok = one_pass(v, static_cast<int32_t>(c0.w1), static_cast<int32_t>(c0.w2));
        flag = ok;
        TRACE(_match);
        return pop_level(ok);
    }
    // Matches the literal or type v repeatedly from the cursor, between mn
    // and mx times (mx -1: no maximum); the cursor ends after the last match.
    bool one_pass(const kel_value* v, int32_t mn, int32_t mx) {
        const bool typed = type_of(v) == types::datatype || type_of(v) == types::typeset;
        const int32_t e = end();
        int32_t count = 0;
        if (!in_block && type_of(v) == types::bitset) {
            // A straight scan of the units against the set's bits, one unit
            // per match.
            const int32_t stop = mx < 0 ? e : static_cast<int32_t>(std::min<int64_t>(e, int64_t{cur} + mx));
            const int32_t p = bitset_scan(v, cur, stop, true);
            count = p - cur;
            cur = p;
        }
        while (mx < 0 || count < mx) {
            const int32_t n = typed ? match_type(v, cur) : match_len(v, cur, e);
            if (n < 0) break;
            cur += n;
            ++count;
            if (n == 0) break;  // nothing consumed: no progress to make
        }
        return count >= mn;
    }

    // n rule, n m rule
    signal_code counts(const kel_value& first) {
        const int32_t n = get_integer(&first);
        if (n < 0) fire(error_category::script, "out-of-range", &first);
        int32_t m = n;
        if (!rule_left()) rule_error("parse-rule", &first);
        kel_value next = rule_at(rp);
        if (type_of(&next) == types::word && !is_keyword(symbol::resolve(word_symbol(&next)))) {
            const kel_value* got = _context::get_bound(&next);
            if (type_of(got) == types::integer) next = *got;
        }
        if (type_of(&next) == types::integer) {
            m = get_integer(&next);
            ++rp;
            if (m < 0) fire(error_category::script, "out-of-range", &next);
            if (m < n) rule_error("parse-rule", &next);
            if (!rule_left()) rule_error("parse-rule", &first);
        }
        if (m == 0) {  // skips its rule without trying it
            skip_rule();
            flag = true;
            deliver(true);
            return signal_code::none;
        }
        return start_repeat(n, m, 0);
    }
    // Moves rp past one rule (a keyword with its arguments counts as one).
    void skip_rule() {
        if (!rule_left()) return;
        const kel_value e = rule_at(rp++);
        const uint32_t s = type_of(&e) == types::word ? symbol::resolve(word_symbol(&e)) : 0;
        if (s == words::any || s == words::some || s == words::opt || s == words::while_ || s == words::to ||
            s == words::thru || s == words::not_ || s == words::ahead || s == words::into || s == words::remove) {
            skip_rule();
        } else if (s == words::copy || s == words::set || s == words::case_) {
            ++rp;
            skip_rule();
        } else if (s == words::quote || s == words::if_) {
            ++rp;
        } else if (s == words::collect) {
            if (rule_left()) {
                const kel_value h = rule_at(rp);
                const int32_t sub = keyword_of(&h);
                if (sub == static_cast<int32_t>(words::set) || sub == static_cast<int32_t>(words::into) ||
                    sub == static_cast<int32_t>(words::after))
                    rp += 2;
            }
            skip_rule();
        } else if (s == words::keep) {
            if (rule_left() && keyword_of(cell_at(&rules, rp)) == static_cast<int32_t>(words::pick)) ++rp;
            skip_rule();
        } else if (s == words::insert || s == change_sym()) {
            // [only] then a position word or (change) a rule, then the value
            if (rule_left() && keyword_of(cell_at(&rules, rp)) == static_cast<int32_t>(words::only)) ++rp;
            if (!rule_left()) return;
            const kel_value w = rule_at(rp);
            if (type_of(&w) == types::word && rp + 1 < rules_end() && same_series(_context::get_bound(&w))) ++rp;
            else if (s != words::insert) skip_rule();
            if (rule_left()) ++rp;
        } else if (type_of(&e) == types::integer) {
            if (rule_left() && type_of(cell_at(&rules, rp)) == types::integer) ++rp;
            skip_rule();
        }
    }
    signal_code start_repeat(int32_t mn, int32_t mx, int32_t k) {
        if (!traced) {
            kel_value b;
            if (block_rule_at(rp, &b)) {
                bool handled = false;
                KEL_PROPAGATE(repeat_compiled(b, mn, mx, k ? k : k_rep, &handled));
                if (handled) return signal_code::none;
            }
        }
        kel_value c0;
        triple::set(&c0, mn, mx, 0);
        KEL_PROPAGATE(push_command(k ? k : k_rep, 0, &c0, rp));
        return run_rule();
    }
    // Dispatches the rule of the command on top (at rp).
    signal_code run_rule() {
        // A paren may have shortened the rules since the command was read:
        // its rule is gone, so the try fails rather than read past the tail.
        if (!rule_left()) {
            deliver(false);
            return signal_code::none;
        }
        const kel_value e = rule_at(rp++);
        return dispatch(e, true);
    }
    signal_code need_rule(const kel_value& kw) {
        if (!rule_left()) rule_error("parse-end", &kw);
        return signal_code::none;
    }

    signal_code keyword(uint32_t s, const kel_value& kw) {
        kel_value none_cell;
        set_none(&none_cell);
        if (s == words::skip) {
            const bool ok = cur < end();
            if (ok) cur += 1;
            return report(ok);
        }
        if (s == words::end) {
            const int32_t top = rs_len() - 3;
            if (top > blk) {
                const int32_t k = pair_x(rs(top + 2));
                if ((k == k_to || k == k_thru) && static_cast<int32_t>(rs(top + 1)->w1) == rp - 1) {
                    cur = end();
                    flag = true;
                    TRACE(_match);
                    return pop_level(true);
                }
            }
            return report(cur >= end());
        }
        if (s == words::none) return report(true);
        if (s == words::fail) return report(false);
        if (s == words::break_ || s == words::reject) {
            flag = s == words::break_;
            TRACE(_match);
            while (rs_len() - 3 > blk) {  // commands pending in this block end with it
                TRACE(_pop);
                const int32_t top = rs_len() - 3;
                const int32_t k = pair_x(rs(top + 2));
                if (k == k_collect) close_collection(top);
                else if (k == k_case) mode = static_cast<int32_t>(rs(top)->w2);
                block::ks_cut_at(&rule_stack, top);
            }
            if (s == words::reject) rewind(static_cast<int32_t>(rs(blk + 1)->w2));
            brk = true;
            // The top level holds its match only when its rules ran to their
            // end: a break with rules left after it there ends the parse failed.
            return pop_level(s == words::break_ && (blk != rbase || !rule_left()));
        }
        if (s == words::pipe) {
            // reached after a matching alternative: the block ends here
            return pop_level(true);
        }
        if (s == words::collect) return open_collection(kw);
        if (s == words::keep) {
            if (cdepth == 0) rule_error("parse-keep", &kw);
            KEL_PROPAGATE(need_rule(kw));
            int32_t fl = 0;
            if (const kel_value o = rule_at(rp); keyword_of(&o) == static_cast<int32_t>(words::pick)) {
                fl = f_pick;
                ++rp;
                KEL_PROPAGATE(need_rule(kw));
            }
            const kel_value r = rule_at(rp);
            if (type_of(&r) != types::paren) {
                KEL_PROPAGATE(push_command(k_keep, fl, &none_cell, rp));
                return run_rule();
            }
            KEL_PROPAGATE(push_command(k_keep_paren, fl, &none_cell, rp));
            ++rp;
            kel_value* const top = stack::top();
            KEL_PROPAGATE(interpreter::eval_in_place(&r, false));
            const kel_value v = *top;
            stack::regs.top = top;
            clamp();
            // a block's values one by one with pick, else the value as it is
            add_to_target(&v, fl == 0);
            TRACE(_paren);
            return pop_level(true);
        }
        if (s == words::any) { KEL_PROPAGATE(need_rule(kw)); return start_repeat(0, -1, 0); }
        if (s == words::some) { KEL_PROPAGATE(need_rule(kw)); return start_repeat(1, -1, 0); }
        if (s == words::opt) { KEL_PROPAGATE(need_rule(kw)); return start_repeat(0, 1, 0); }
        if (s == words::while_) { KEL_PROPAGATE(need_rule(kw)); return start_repeat(0, -1, k_while); }
        if (s == words::to || s == words::thru || s == words::not_ || s == words::ahead || s == words::remove) {
            KEL_PROPAGATE(need_rule(kw));
            const int32_t k = s == words::to ? k_to : s == words::thru ? k_thru : s == words::not_ ? k_not
                              : s == words::ahead ? k_ahead : k_remove;
            if (k == k_remove) {
                const kel_value w = rule_at(rp);
                if (type_of(&w) == types::path) rule_error("parse-rule", &w);
                if (type_of(&w) == types::word) {
                    const kel_value* got = _context::get_bound(&w);
                    if (same_series(got)) {  // remove from that position to the cursor
                        ++rp;
                        const int32_t from = std::max(series_head(got), 0);
                        const int32_t a = std::min(from, cur), b = std::max(from, cur);
                        if (b > a) modify(act::remove, a, nullptr, b - a, false);
                        cur = a;
                        clamp();
                        return changed();
                    }
                }
            }
            KEL_PROPAGATE(push_command(k, 0, &none_cell, rp));
            return run_rule();
        }
        if (s == words::copy || s == words::set) {
            if (rp + 1 >= rules_end()) rule_error("parse-end", &kw);
            const kel_value w = rule_at(rp);
            if (!in_family(type_of(&w), family::word)) rule_error("parse-end", &kw);
            ++rp;
            KEL_PROPAGATE(push_command(s == words::copy ? k_copy : k_set, 0, &w, rp));
            return run_rule();
        }
        if (s == words::case_) {
            if (rp + 1 >= rules_end()) rule_error("parse-end", &kw);
            const kel_value w = rule_at(rp++);
            if (type_of(&w) != types::word) rule_error("parse-end", &kw);
            const kel_value* got = _context::get_bound(&w);
            kel_value c0;
            triple::set(&c0, 0, mode, 0);
            KEL_PROPAGATE(push_command(k_case, 0, &c0, rp));
            mode = logic::falsy(got) ? cmp::equal : cmp::strict_equal;
            return run_rule();
        }
        if (s == words::quote) {
            KEL_PROPAGATE(need_rule(kw));
            const kel_value v = rule_at(rp++);
            if (repetition_on_top()) return repeat_one_pass(&v);
            const int32_t n = in_block ? (cur < end() && actions::compare_by_op(cell_at(&input, cur), &v, mode) ? 1 : -1)
                                       : match_len(&v, cur, end());
            if (n >= 0) cur += n;
            return report(n >= 0);
        }
        if (s == words::if_) {
            const kel_value p = rp < rules_end() ? rule_at(rp) : none_cell;
            if (type_of(&p) != types::paren) rule_error("parse-end", &kw);
            ++rp;
            kel_value* const top = stack::top();
            KEL_PROPAGATE(interpreter::eval_in_place(&p, false));
            const bool ok = logic::truthy(top);
            stack::regs.top = top;
            clamp();
            return report(ok);
        }
        if (s == words::into) {
            if (!in_block) {
                const kel_value i = input;
                fire(error_category::script, "parse-block", &i);
            }
            kel_value r = rp < rules_end() ? rule_at(rp) : none_cell;
            if (type_of(&r) == types::word) r = *_context::get_bound(&r);
            if (type_of(&r) != types::block) rule_error("parse-end", &kw);
            ++rp;
            if (cur >= end()) return report(false);
            const kel_value inner = *cell_at(&input, cur);
            const uint32_t it = type_of(&inner);
            if (!(in_family(it, family::block_like) || in_family(it, family::string_like) || it == types::binary))
                return report(false);
            KEL_PROPAGATE(push_command(k_into, 0, &none_cell, rp - 1));
            if (is_len() + 2 > stack_limit) fire(error_category::script, "parse-stack");
            kel_value outer = at_cursor();
            block::ks_add(&input_stack, &outer);
            kel_value lim;
            set_integer(&lim, limit);
            block::ks_add(&input_stack, &lim);
            enter_input(inner);
            cur = std::max(series_head(&inner), 0);
            clamp();
            return push_block(&r);
        }
        if (s == words::insert) {
            KEL_PROPAGATE(need_rule(kw));
            bool only = false;
            if (const kel_value o = rule_at(rp); keyword_of(&o) == static_cast<int32_t>(words::only)) {
                only = true;
                ++rp;
                KEL_PROPAGATE(need_rule(kw));
            }
            int32_t at = cur;
            const kel_value w = rule_at(rp);
            if (type_of(&w) == types::word && rp + 1 < rules_end()) {
                const kel_value* got = _context::get_bound(&w);
                if (same_series(got)) {
                    at = std::min(std::max(series_head(got), 0), units_of(&input));
                    ++rp;
                }
            }
            kel_value v;
            KEL_PROPAGATE(insert_value(&v, &kw));
            const int32_t before = units_of(&input);
            modify(act::insert, at, &v, -1, only);
            if (at <= cur) cur += units_of(&input) - before;
            clamp();
            return changed();
        }
        if (s == change_sym()) {
            KEL_PROPAGATE(need_rule(kw));
            bool only = false;
            if (const kel_value o = rule_at(rp); keyword_of(&o) == static_cast<int32_t>(words::only)) {
                only = true;
                ++rp;
            }
            if (rp + 1 >= rules_end()) rule_error("parse-end", &kw);
            const kel_value w = rule_at(rp);
            if (type_of(&w) == types::path) rule_error("parse-rule", &w);
            if (type_of(&w) == types::word) {
                const kel_value* got = _context::get_bound(&w);
                if (same_series(got)) {
                    ++rp;
                    const int32_t from = std::min(std::max(series_head(got), 0), units_of(&input));
                    const int32_t a = std::min(from, cur), b = std::max(from, cur);
                    kel_value v;
                    KEL_PROPAGATE(insert_value(&v, &kw));
                    cur = a + replace(a, b - a, &v, only);
                    clamp();
                    return changed();
                }
            }
            KEL_PROPAGATE(push_command(k_change, only ? f_only : 0, &none_cell, rp));
            return run_rule();
        }
        return report(false);
    }
    // Replaces n units at `at` by the value; answers the units now there.
    int32_t replace(int32_t at, int32_t n, const kel_value* v, bool only) {
        const int32_t before = units_of(&input);
        // One change moves the tail at most once (not at all when the lengths
        // agree): a removal then an insertion moved it twice per match, which
        // made a rule changing all along a long series quadratic. Bytes are
        // always changed in one step: a binary's change writes the formed
        // text of a value its insert refuses, and a refusal after the removal
        // would lose the matched bytes. An owned series keeps telling its
        // owner of a removal then an insertion, each seeing the series as it
        // stands between the two.
        const bool owned = (memory::buffer_of(series_node(&input))->flags & memory::flag_owned) != 0;
        if (in_binary || !owned) {
            modify(act::change, at, v, n, only);
            return units_of(&input) - (before - n);
        }
        if (n > 0) modify(act::remove, at, nullptr, n, false);
        modify(act::insert, at, v, -1, only);
        return units_of(&input) - (before - n);
    }
    void enter_input(const kel_value& inner) {
        input = inner;
        itype = type_of(&input);
        in_block = in_family(itype, family::block_like);
        in_string = in_family(itype, family::string_like);
        in_binary = itype == types::binary;
    }

    // The command on top receives the result of its rule.
    signal_code command_result(bool ok) {
        const int32_t top = rs_len() - 3;
        const int32_t k = pair_x(rs(top + 2));
        const bool broke = brk;
        brk = false;
        switch (k) {
            case k_rep:
            case k_while: {
                kel_value* c0 = rs(top);
                const int32_t mn = static_cast<int32_t>(c0->w1), mx = static_cast<int32_t>(c0->w2);
                int32_t count = static_cast<int32_t>(c0->w3);
                const int32_t start = static_cast<int32_t>(rs(top + 1)->w2);
                const int32_t len = static_cast<int32_t>(rs(top + 1)->w3);
                if (!ok) {
                    rewind(start);
                    flag = count >= mn;
                    return pop_level(flag);
                }
                ++count;
                c0->w3 = static_cast<uint32_t>(count);
                if (broke || (mx >= 0 && count >= mx) ||
                    (k == k_rep && cur == start && units_of(&input) >= len)) {
                    flag = count >= mn;
                    return pop_level(flag);
                }
                KEL_PROPAGATE(interpreter::poll_interrupt());  // (see repeat_sub)
                kel_value* c1 = rs(top + 1);
                c1->w2 = static_cast<uint32_t>(cur);
                c1->w3 = static_cast<uint32_t>(units_of(&input));
                rp = static_cast<int32_t>(c1->w1);
                TRACE(_iterate);
                TRACE(_fetch);
                return run_rule();
            }
            case k_to:
            case k_thru: {
                kel_value* c1 = rs(top + 1);
                const int32_t start = static_cast<int32_t>(c1->w2);
                if (ok) {
                    if (k == k_to) rewind(start);
                    return pop_level(true);
                }
                const int32_t next = start + 1;
                if (next > end()) {
                    rewind(start);
                    return pop_level(false);
                }
                c1->w2 = static_cast<uint32_t>(next);
                cur = next;
                rp = static_cast<int32_t>(c1->w1);
                TRACE(_iterate);
                return run_rule();
            }
            case k_not:
            case k_ahead:
                rewind(static_cast<int32_t>(rs(top + 1)->w2));
                return pop_level(k == k_not ? !ok : ok);
            case k_copy:
            case k_set: {
                if (ok) {
                    const kel_value w = *rs(top);
                    const int32_t start = static_cast<int32_t>(rs(top + 1)->w2);
                    kel_value v;
                    if (k == k_set) {
                        if (cur > start) series::element_value(&input, start, &v);
                        else set_none(&v);
                    } else {
                        copy_part(start, &v);
                    }
                    set_target(&w, &v);
                }
                return pop_level(ok);
            }
            case k_remove: {
                const int32_t start = static_cast<int32_t>(rs(top + 1)->w2);
                if (ok) {
                    if (cur > start) modify(act::remove, start, nullptr, cur - start, false);
                    cur = start;
                    clamp();
                }
                return pop_level(ok);
            }
            case k_change: {
                const int32_t start = static_cast<int32_t>(rs(top + 1)->w2);
                const bool only = (pair_y(rs(top + 2)) & f_only) != 0;
                kel_value kw = words::_change;
                // The value is evaluated only for a match: a paren with side
                // effects runs once per replacement, not once per attempt.
                if (!ok) {
                    if (!rule_left()) rule_error("parse-end", &kw);
                    ++rp;
                    return pop_level(false);
                }
                kel_value v;
                KEL_PROPAGATE(insert_value(&v, &kw));
                cur = start + replace(start, std::max(cur - start, 0), &v, only);
                clamp();
                return pop_level(true);
            }
            case k_case:
                mode = static_cast<int32_t>(rs(top)->w2);
                return pop_level(ok);
            case k_collect:
                close_collection(top);
                return pop_level(ok);
            case k_keep:
                if (ok) keep_part(static_cast<int32_t>(rs(top + 1)->w2), (pair_y(rs(top + 2)) & f_pick) != 0);
                return pop_level(ok);
            case k_into: {
                const bool whole = ok && cur >= units_of(&input);
                const int32_t n = is_len();
                const kel_value outer = *cell_at(&input_stack, n - 2);
                block::ks_cut_at(&input_stack, n - 2);
                enter_input(outer);
                cur = std::max(series_head(&outer), 0) + (whole ? 1 : 0);
                clamp();
                return pop_level(whole);
            }
            default:
                return pop_level(ok);
        }
    }

    // --- compiled blocks ----------------------------------------------------------------
    // A block whose program (parse_compiled.h) is usable runs here without
    // levels. Whatever may evaluate (a paren, setting a word, which may call
    // an on-change handler) runs with the levels the general engine would
    // hold pushed, so a parse nested in it meets the same stack limit;
    // afterwards the run goes on only while the block's stamp and its words'
    // values are what the run started with, else the engine takes over at that
    // point with those levels. Only runs without a trace callback come here.
    static constexpr size_t max_words = 16;
    static constexpr size_t max_subs = 8;
    enum outcome : int { o_fail = 0, o_match = 1, o_general = 2 };
    // A repetition whose rule is the compiled block, run without its level.
    struct pending_rep {
        int32_t mn, mx, count, k, rule_pos, istart, ilen;
    };
    struct compiled_run {
        int32_t index = 0;
        uint32_t generation = 0;
        kel_value block{};
        kel_value vals[max_words];
        kel_value word_cells[max_words];  // the words themselves: unchanged while the stamps are
        kel_value subs[max_subs];  // the sub-blocks' values, by index
        const pending_rep* rep = nullptr;
        int32_t outer_rp = 0;  // the enclosing block's position after the rule
        bool evaluated = false;
        // The rule stack's length below the shadow levels, which stay pushed
        // from the run's first evaluation to its end (-1: not pushed yet).
        int32_t shadow_base = -1;
    };

    // The block that is the rule at i (a block, or a word holding one), read
    // without raising: a word without a value is left to the general path.
    bool block_rule_at(int32_t i, kel_value* out) const {
        if (i >= rules_end()) return false;
        const kel_value* c = cell_at(&rules, i);
        if (type_of(c) == types::block) {
            *out = *c;
            return true;
        }
        if (type_of(c) != types::word || is_keyword(symbol::resolve(word_symbol(c))) || word_index(c) < 0) return false;
        const kel_value* got = _context::bound_slot(c);
        if (!got || type_of(got) != types::block) return false;
        *out = *got;
        return true;
    }
    // Reads the program's words into run.vals; false when one has no value
    // or holds what the program cannot match: a block (a sub-rule), a type
    // where a literal is searched, an integer after a count.
    static const kel_value* place_cell(const compiled_run& run, compiled::place w) {
        return cell_at(w.block < 0 ? &run.block : &run.subs[w.block], w.at);
    }
    // Reads the sub-blocks' values from their parents: false when one is no
    // longer the block the program read, or is open in the general engine
    // (the re-entry check would look at it).
    bool read_subs(const compiled::program& p, compiled_run& run) const {
        for (size_t k = 0; k < p.subs.size(); ++k) {
            const compiled::sub_block& sb = p.subs[k];
            const kel_value c = *cell_at(sb.parent < 0 ? &run.block : &run.subs[sb.parent], sb.at);
            if (type_of(&c) != types::block || series_node(&c) != sb.node ||
                std::max(series_head(&c), 0) != sb.start ||
                memory::stamp_of(memory::buffer_of(sb.node)) != sb.stamp)
                return false;
            run.subs[k] = c;
        }
        return true;
    }
    bool read_words(const compiled::program& p, compiled_run& run) const {
        for (size_t i = 0; i < p.words.size(); ++i) {
            const kel_value* w = place_cell(run, p.words[i]);
            if (word_index(w) < 0) return false;
            const kel_value* got = _context::bound_slot(w);
            if (!got) return false;
            const uint32_t t = type_of(got);
            if (t == types::block || t == types::unset) return false;
            if ((p.uses[i] & compiled::u_literal_only) && (t == types::datatype || t == types::typeset)) return false;
            if ((p.uses[i] & compiled::u_no_integer) && t == types::integer) return false;
            run.vals[i] = *got;
            run.word_cells[i] = *w;
        }
        return true;
    }
    // The program for block b when it can run here: its words read, room on
    // the rule stack for every level the general engine would open (`extra`
    // cells below the block's own), and a block target for its keeps.
    const compiled::program* usable(const kel_value& b, int32_t extra, compiled_run& run) {
        const compiled::program* p = compiled::lookup(&b, &run.index);
        if (!p->ok || p->words.size() > max_words || p->subs.size() > max_subs) return nullptr;
        run.block = b;
        if (!p->subs.empty()) {
            if (!read_subs(*p, run)) {  // a sub-block changed since: read the block again
                p = compiled::lookup(&b, &run.index, true);
                if (!p->ok || p->words.size() > max_words || p->subs.size() > max_subs || !read_subs(*p, run))
                    return nullptr;
            }
            for (const compiled::sub_block& sb : p->subs)
                if (open_nodes[node_hash(sb.node)] != 0) return nullptr;
            for (const compiled::place t : p->sub_targets)
                if (!quiet(place_cell(run, t))) return nullptr;
        }
        if (rs_len() + extra + 3 + 3 * p->commands > stack_limit) return nullptr;
        if (p->keeps && (cdepth == 0 || type_of(stack::top() - 1) != types::block)) return nullptr;
        run.generation = p->generation;
        if (!read_words(*p, run)) return nullptr;
        return p;
    }
    // Setting the word runs nothing: its context tells no owner of changes.
    static bool quiet(const kel_value* w) {
        const uint32_t ctx = word_context(w);
        if (!ctx || word_index(w) < 0) return false;
        if (_context::stack_q(ctx)) return true;
        const kel_value* own = _context::owner(ctx);
        return !(type_of(own) == types::object && own->w3 != 0);
    }
    // After something evaluated: the program still names this block's
    // content and its words hold the values read at the start.
    const compiled::program* still_valid(compiled_run& run) const {
        run.evaluated = true;
        const compiled::program* p = compiled::still(run.index, run.generation);
        if (!p || memory::stamp_of(memory::buffer_of(series_node(&run.block))) != p->stamp) return nullptr;
        for (const compiled::sub_block& sb : p->subs)
            if (memory::stamp_of(memory::buffer_of(sb.node)) != sb.stamp) return nullptr;
        for (size_t i = 0; i < p->words.size(); ++i) {
            const kel_value* got = word_slot(&run.word_cells[i]);
            if (!got || std::memcmp(got, &run.vals[i], sizeof(kel_value)) != 0) return nullptr;
        }
        return p;
    }
    // Pushes the levels the general engine holds inside the block: the
    // repetition's (when the block is its rule), then the block's, entered
    // at `entry` with the input `entry_len` long. Pushed at the run's first
    // evaluation and kept to its end (drop_shadow); later evaluations rewrite
    // the cells that change in place, so the stack holds what a fresh push
    // would (the block's depth and cell and the enclosing position stay
    // within a run).
    [[gnu::always_inline]] void push_shadow(compiled_run& run, int32_t entry, int32_t entry_len, int32_t at) {
        const pending_rep* r = run.rep;
        if (run.shadow_base >= 0) [[likely]] {
            memory::buffer_header* h = memory::buffer_of(series_node(&rule_stack));
            kel_value* c = reinterpret_cast<kel_value*>(h->data() + h->head) + run.shadow_base;
            memory::touch(h);
            if (r) {
                c[0].w3 = static_cast<uint32_t>(r->count);
                c[1].w2 = static_cast<uint32_t>(r->istart);
                c[1].w3 = static_cast<uint32_t>(r->ilen);
                c += 3;
            }
            triple::set(&c[1], at, entry, entry_len);
            return;
        }
        first_shadow(run, entry, entry_len, at);
    }
    [[gnu::noinline]] void first_shadow(compiled_run& run, int32_t entry, int32_t entry_len, int32_t at) {
        const pending_rep* r = run.rep;
        run.shadow_base = rs_len();
        rs(blk + 1)->w1 = static_cast<uint32_t>(run.outer_rp);
        const int32_t d = depth();
        kel_value* c = claim_levels(r ? 2 : 1);
        if (r) {
            triple::set(&c[0], r->mn, r->mx, r->count);
            triple::set(&c[1], r->rule_pos, r->istart, r->ilen);
            set_pair(&c[2], r->k, 0);
            c += 3;
        }
        set_integer(&c[0], d);
        triple::set(&c[1], at, entry, entry_len);
        c[2] = run.block;
        set_series_head(&c[2], std::max(series_head(&run.block), 0));
    }
    // The run ends here: its shadow levels go.
    void drop_shadow(compiled_run& run) {
        if (run.shadow_base >= 0) cut_rule_stack(run.shadow_base);
        run.shadow_base = -1;
    }
    // The engine goes on inside the block's shadow level at rule `at`.
    // Shadow levels count as open only once they are kept.
    void enter_shadow(int32_t at) {
        const kel_value* c = rs(rs_len() - 3);
        ++open_levels[level_hash(series_node(c + 2), series_head(c + 2), static_cast<int32_t>(c[1].w2),
                                 get_integer(c))];
        ++open_nodes[node_hash(series_node(c + 2))];
        blk = rs_len() - 3;
        rules = *rs(blk + 2);
        rp = at;
    }

    // Matches one item's rule (not its command) at the cursor.
    // `e`: the input's end (end()), which only an evaluation can move.
    [[gnu::always_inline]] inline bool match_item(const compiled::item& it, const compiled_run& run,
                                                  const kel_value& in, int32_t e) {
        using namespace compiled;
        if (it.rule == w_sub) return it.mode == h_once ? run_sub(run, it.slot) : repeat_sub(run, it);
        kel_value v;
        if (it.rule == w_word) v = run.vals[it.slot];
        else if (it.rule == w_value) v = *cell_at(&in, it.at);
        switch (it.mode) {
            case h_once:
                switch (it.rule) {
                    case w_skip:
                        if (cur >= e) return false;
                        ++cur;
                        return true;
                    case w_end: return cur >= e;
                    case w_none: return true;
                    case w_fail: return false;
                    default: {
                        const uint32_t t = type_of(&v);
                        const int32_t n = (t == types::datatype || t == types::typeset) ? match_type(&v, cur)
                                                                                       : match_len(&v, cur, e);
                        if (n >= 0) cur += n;
                        return n >= 0;
                    }
                }
            case h_rep:
                return one_pass(&v, it.min, it.max);
            case h_to:
            case h_thru: {
                if (it.rule == w_end) {
                    cur = e;
                    return true;
                }
                if (!in_block && type_of(&v) == types::bitset) {  // find_literal's scan, without its tests
                    const int32_t at = scan_to_set(&v, e);
                    if (at >= e) return false;
                    cur = it.mode == h_to ? at : at + 1;
                    return true;
                }
                int32_t len = 0;
                const int32_t at = find_literal(&v, &len);
                if (at >= 0) cur = it.mode == h_to ? at : at + len;
                return at >= 0;
            }
        }
        return false;
    }

    // A sub-block run once from the cursor, as the general engine runs a
    // block level: no paren, and every word it sets was found quiet.
    [[gnu::noinline]] bool run_sub(const compiled_run& run, int32_t k) {
        using namespace compiled;
        const program* p = compiled::still(run.index, run.generation);
        const std::vector<item>& items = p->subs[static_cast<size_t>(k)].items;
        const kel_value& in = run.subs[k];
        const int32_t entry = cur;
        size_t i = 0;
        while (i < items.size()) {
            const item& it = items[i];
            if (it.command == i_alt) return true;
            if (it.command == i_set_word) {
                const kel_value w = *cell_at(&in, it.at);
                const kel_value v = at_cursor();
                set_target(&w, &v);
                ++i;
                continue;
            }
            const int32_t start = cur;
            const bool ok = match_item(it, run, in, end());
            if (ok && it.command == i_keep) {
                keep_part(start, false);
            } else if (ok && (it.command == i_copy || it.command == i_set)) {
                const kel_value w = *cell_at(&in, it.target);
                kel_value v;
                command_value(it.command == i_set, start, &v);
                set_target(&w, &v);
            }
            if (ok) {
                ++i;
                continue;
            }
            cur = entry;
            clamp();
            while (i < items.size() && items[i].command != i_alt) ++i;
            if (i == items.size()) return false;
            ++i;
        }
        return true;
    }
    // A repetition of a sub-block: the general engine's iteration rules.
    [[gnu::noinline]] bool repeat_sub(const compiled_run& run, const compiled::item& it) {
        int32_t count = 0;
        for (;;) {
            const int32_t istart = cur, ilen = units_of(&input);
            if (!run_sub(run, it.slot)) {
                rewind(istart);
                break;
            }
            ++count;
            if ((it.max >= 0 && count >= it.max) || (!it.loops && cur == istart && units_of(&input) >= ilen)) break;
            // `while` over a rule that consumes nothing, or `some` over one
            // that inserts as it goes, runs for ever: an interrupt still
            // ends it.
            if (const signal_code halt = interpreter::poll_interrupt(); halt != signal_code::none)
                stack::throw_code(halt);
        }
        return count >= it.min;
    }
    // The value a copy (or set) takes of the input from start to the cursor.
    void command_value(bool first_only, int32_t start, kel_value* v) {
        if (first_only) {
            if (cur > start) series::element_value(&input, start, v);
            else set_none(v);
            return;
        }
        copy_part(start, v);
    }

    // Runs the block's program from the cursor; *out: o_match, o_fail, or
    // o_general when the engine took over inside the block.
    signal_code run_program(compiled_run& run, outcome* out) {
        using namespace compiled;
        const program* p = compiled::still(run.index, run.generation);
        const int32_t entry = cur, entry_len = units_of(&input);
        int32_t e = end();  // read again after every evaluation
        size_t i = 0;
        while (i < p->items.size()) {
            // By reference: read nothing of it after an evaluation, which may
            // have compiled another program into the slot.
            const item& it = p->items[i];
            if (it.command == i_alt) {  // reached after a matching alternative
                *out = o_match;
                return signal_code::none;
            }
            if (it.command == i_set_word) {
                const kel_value w = *cell_at(&run.block, it.at);
                const kel_value v = at_cursor();
                if (!it.aliased && set_quiet(&w, &v)) {
                    ++i;
                    continue;
                }
            }
            if (it.command == i_paren || it.command == i_set_word) {
                const int32_t next = it.next;
                push_shadow(run, entry, entry_len, next);
                if (it.command == i_paren) {
                    const kel_value paren = *cell_at(&run.block, it.at);
                    kel_value* const top = stack::top();
                    KEL_PROPAGATE(interpreter::eval_in_place(&paren, false));
                    stack::regs.top = top;
                    clamp();
                } else {
                    const kel_value w = *cell_at(&run.block, it.at);
                    const kel_value v = at_cursor();
                    set_target(&w, &v);
                }
                if (!(p = still_valid(run))) {
                    enter_shadow(next);
                    *out = o_general;
                    return signal_code::none;
                }
                e = end();
                ++i;
                continue;
            }
            const int32_t start = cur;
            bool ok = match_item(it, run, run.block, e);
            if (ok && it.command == i_keep) {
                keep_part(start, false);
            } else if (ok && (it.command == i_copy || it.command == i_set)) {
                const kel_value w = *cell_at(&run.block, it.target);
                kel_value v;
                command_value(it.command == i_set, start, &v);
                if (!it.aliased && set_quiet(&w, &v)) {
                    ++i;
                    continue;
                }
                const int32_t next = it.next;
                push_shadow(run, entry, entry_len, next);
                kel_value c[3];
                c[0] = w;
                triple::set(&c[1], it.target + 1, start, entry_len);
                set_pair(&c[2], it.command == i_copy ? k_copy : k_set, 0);
                push_level(c);
                set_target(&w, &v);
                cut_rule_stack(rs_len() - 3);
                if (!(p = still_valid(run))) {
                    enter_shadow(next);  // the command ended matching: the block goes on
                    *out = o_general;
                    return signal_code::none;
                }
                e = end();
            }
            if (ok) {
                ++i;
                continue;
            }
            // back to the block's entry, then on after the next `|`
            cur = entry;
            clamp();
            while (i < p->items.size() && p->items[i].command != i_alt) ++i;
            if (i == p->items.size()) {
                *out = o_fail;
                return signal_code::none;
            }
            ++i;
        }
        *out = o_match;
        return signal_code::none;
    }

    // A block dispatched as a rule: compiled when it can be, else pushed.
    signal_code enter_block(const kel_value* block) {
        if (traced) return push_block(block);
        compiled_run run;
        if (!usable(*block, 0, run)) return push_block(block);
        run.outer_rp = rp;
        outcome o;
        KEL_PROPAGATE(run_program(run, &o));
        if (o != o_general) {
            drop_shadow(run);
            deliver(o == o_match);
        }
        return signal_code::none;
    }
    // A repetition (any, some, opt, while, counts) whose rule at rp is block
    // b, iterated here while b runs compiled. *handled false: nothing was
    // done, the general path follows.
    signal_code repeat_compiled(const kel_value& b, int32_t mn, int32_t mx, int32_t k, bool* handled) {
        compiled_run run;
        if (!usable(b, 3, run)) return signal_code::none;
        *handled = true;
        const int32_t rule_pos = rp;
        pending_rep r{mn, mx, 0, k, rule_pos, 0, 0};
        run.rep = &r;
        run.outer_rp = rule_pos + 1;
        for (;;) {
            r.istart = cur;
            r.ilen = units_of(&input);
            if (run.evaluated) {
                // Something evaluated in the last iteration: the rule is read
                // again, as the general engine does for every iteration.
                kel_value again;
                if (!block_rule_at(rule_pos, &again) || std::memcmp(&again, &b, sizeof(kel_value)) != 0 ||
                    !compiled::still(run.index, run.generation)) {
                    drop_shadow(run);
                    kel_value c[3];
                    triple::set(&c[0], mn, mx, r.count);
                    triple::set(&c[1], rule_pos, cur, r.ilen);
                    set_pair(&c[2], k, 0);
                    rs(blk + 1)->w1 = static_cast<uint32_t>(rule_pos);
                    push_level(c);
                    rp = rule_pos;
                    return run_rule();
                }
            }
            outcome o;
            KEL_PROPAGATE(run_program(run, &o));
            if (o == o_general) return signal_code::none;
            bool finished = false, ok = false;
            if (o == o_fail) {
                rewind(r.istart);
                finished = true;
                ok = r.count >= mn;
            } else {
                ++r.count;
                if ((mx >= 0 && r.count >= mx) || (k == k_rep && cur == r.istart && units_of(&input) >= r.ilen)) {
                    finished = true;
                    ok = r.count >= mn;
                }
                KEL_PROPAGATE(interpreter::poll_interrupt());  // (see repeat_sub)
            }
            if (finished) {
                drop_shadow(run);
                rp = rule_pos + 1;
                deliver(ok);
                return signal_code::none;
            }
        }
    }

    // --- the machine ----------------------------------------------------------------------
    signal_code run(const kel_value* top_rules) {
        blk = rbase;
        rules = *top_rules;
        rp = std::max(series_head(top_rules), 0);
        KEL_PROPAGATE(push_block(top_rules, false));
        if (stopped) return signal_code::none;
        for (;;) {
            if (done || stopped) return signal_code::none;
            if (have) {
                have = false;
                const bool ok = result;
                if (rs_len() - 3 == blk) {
                    brk = false;
                    if (ok) continue;
                    cur = static_cast<int32_t>(rs(blk + 1)->w2);
                    clamp();
                    const int32_t n = next_alternative(rp);
                    if (n >= 0) {
                        rp = n + 1;
                        flag = true;
                        continue;
                    }
                    flag = false;
                    KEL_PROPAGATE(pop_level(false));
                    continue;
                }
                KEL_PROPAGATE(command_result(ok));
                continue;
            }
            if (rp >= rules_end()) {
                KEL_PROPAGATE(pop_level(true));
                continue;
            }
            TRACE(_fetch);
            const kel_value e = rule_at(rp++);
            KEL_PROPAGATE(dispatch(e, false));
        }
    }
};

}  // namespace

void init_stacks() {
    rule_stack = *block::make_at_tail(nullptr, 100);
    input_stack = *block::make_at_tail(nullptr, 8);
}
int32_t rule_cells() { return rule_stack.header ? rs_len() : 0; }
int32_t input_cells() { return input_stack.header ? is_len() : 0; }

// The result into *out: the block of a plain top-level collection, else the
// match as a logic!.
signal_code process(const kel_value* input, const kel_value* rules, int32_t mode, int32_t limit,
                    const kel_value* callback, kel_value* out) {
    if (!rule_stack.header) init_stacks();
    engine m;
    m.enter_input(*input);
    m.cur = std::max(series_head(input), 0);
    m.clamp();
    m.limit = limit;
    m.mode = mode;
    const int32_t rules_at = rs_len(), inputs_at = is_len();
    stack_guard guard{rules_at, inputs_at, stack::offset_of(stack::top())};
    m.dbase = stack::offset_of(stack::push_unset());
    if (rules_at > 0 || inputs_at > 0) {  // a parse inside a parse stacks above it
        kel_value t;
        triple::set(&t, rules_at, inputs_at, 0);
        block::ks_add(&rule_stack, &t);
        block::ks_add(&rule_stack, &t);
        block::ks_add(&rule_stack, &t);
    }
    m.rbase = rs_len();
    m.ibase = is_len();
    kel_value start = *input;
    block::ks_add(&input_stack, &start);
    m.ibase = is_len();
    if (callback) {
        m.traced = true;
        m.callback = *callback;
    }
    signal_code c;
    try {
        c = m.run(rules);
    } catch (const kel_unwind&) {
        m.put_open_targets_back();
        throw;
    }
    if (c != signal_code::none) {
        m.put_open_targets_back();
        return c;
    }
    guard.normal = true;
    bool ok = m.stopped ? m.flag : m.result;
    if (!m.stopped) {
        if (ok && m.cur < m.end()) ok = false;
        m.flag = ok;
        m.blk = m.rbase;
        if (m.traced) {
            guard.normal = false;
            KEL_PROPAGATE(m.trace(&words::_end));
            guard.normal = true;
        }
    }
    // A callback that stopped the run gets the match flag, collection or not.
    if (m.collected && !m.stopped) *out = *stack::at_offset(m.dbase + 1);
    else set_logic(out, ok);
    return signal_code::none;
}

}  // namespace kel::parse

namespace kel::natives {

signal_code parse_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::parse, refs);
    kel_value* base = stack::arguments();
    const kel_value input = base[0];
    const kel_value rules = base[1];
    const int32_t mode = refs.has(0) ? cmp::strict_equal : cmp::equal;
    int32_t limit = -1;
    if (refs.has(1)) {
        const kel_value part = base[refs.at[1]];
        const int32_t head = std::max(series_head(&input), 0);
        const int32_t units = static_cast<int32_t>(memory::buffer_of(series_node(&input))->units());
        if (type_of(&part) == types::integer) {
            int64_t l = static_cast<int64_t>(std::min(head, units)) + get_integer(&part);
            limit = static_cast<int32_t>(std::clamp<int64_t>(l, 0, units));
        } else if (type_of(&part) == type_of(&input) && series_node(&part) == series_node(&input)) {
            limit = std::min(std::max(series_head(&part), 0), units);
        } else {
            return fail(error_category::script, "invalid-refine-arg", error_arg::named("part"), &part);
        }
        // A limit at or before the head leaves an empty input, wherever the
        // head is: the rules still run and meet the end at once.
        if (limit < head) limit = head;
    }
    const kel_value callback = refs.has(2) ? base[refs.at[2]] : kel_value{};
    kel_value result;
    KEL_PROPAGATE(parse::process(&input, &rules, mode, limit, refs.has(2) ? &callback : nullptr, &result));
    *stack::arguments() = result;
    return signal_code::none;
}

}  // namespace kel::natives
