// decode: the evaluator's side table of decoded blocks. A block evaluated in
// place is decoded once, term by term as its positions are first stepped,
// into what the step would otherwise work out again at every visit: for a
// word naming a function, the function value (the guard), its argument
// cache and arity; for a word naming an operator, the op value (the guard)
// and the operator applied inline; for a word naming one of the control
// natives, which one; for a path of words naming a function, native or
// action and its refinements, the refinements it switches on (the path's own
// modification stamp a guard beside the function value).
//
// Nothing here is a root and nothing is followed: a guard is compared bit
// for bit with what the word holds now, and a decoded term is used only when
// it holds and the step stands at the term's own position; otherwise the
// generic step runs from that position. The table is indexed from the
// buffer header's spare word (memory::decode_index_of), records the
// header's modification stamp and the collector cycle it was built in, and
// starts afresh when either moved (node-derived data such as the argument
// cache's node is valid only within one cycle). Entries whose node died are
// dropped at the collector's sweep.
//
// KEL_NO_DECODE=1 in the environment switches decoding off (every build):
// the generic step then does everything, which the random-program driver
// compares against.
#pragma once
#include <cstdint>
#include <vector>

#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::decode {

enum class kind : uint8_t {
    none = 0,  // not decoded yet
    other,     // nothing cached: the generic step
    call,      // a word whose value is a function-like value whose arguments come before its refinements
    path_call, // a path of plain words whose head word's value is a function, native or action: its refinements
};

// Blocks longer than this are not decoded (the generic step runs them): a
// block that long is data being reduced rather than code run again.
constexpr uint32_t max_cells = 65536;

struct term {
    kel_value guard;     // the value the word held when decoded
    uint32_t cache = 0;  // call: the node of the argument cache
    uint32_t generation = 0;  // the entry's generation it was decoded in (older: not decoded)
    kind k = kind::none;
    uint8_t control = 0;  // call: a control native the evaluator runs itself (0: none)
    int16_t args = 0;     // call: arguments fetched (a path call's: the plain ones, then its refinements')
    int16_t locals = 0;   // call: a function's /local count
    uint8_t plain = 0;    // call: arguments before the first refinement
    uint8_t named = 0;    // path call: refinements the path names (in refs)
    bool rest = false;    // call: a function! whose frame holds refinement cells after the plain arguments
    // call: times its arguments were not all quick (past a few, not tried
    // again); either, if, unless: the branches found not to be one quick
    // expression (bit 0 the first, bit 1 the second)
    uint8_t declines = 0;
    uint32_t classes = 0;  // call: the class of argument i (< 16) in bits 2i..2i+1 (0 evaluated, 1 get, 2 lit)
    uint32_t path_stamp = 0;  // path call: the path's modification stamp (a guard: its elements unchanged)
    union {
        uint8_t refs[4] = {};  // path call: the cache index of each refinement named, in the path's order
        // call: the type (plus one; 0 none yet) each of the first arguments
        // last passed its typeset with when fetched at once (see
        // start_quick_call): the same type again needs no check.
        uint8_t seen[4];
    };
};
static_assert(sizeof(term) == 48);

struct block_decode {
    uint32_t node = 0;   // 0: a free entry
    uint32_t stamp = 0;  // the buffer's modification stamp when decoded
    uint32_t cycle = 0;  // the collector cycle when decoded
    // Moved on instead of clearing the terms when the stamp or the cycle
    // moved: a term of an older generation reads as not decoded.
    uint32_t generation = 1;
    // The block's pure form when it is a function's body (pure_calls in the
    // interpreter): 0 none yet, -1 none to be had, else its number. Given back
    // through release_pure whenever the terms go stale.
    int32_t pure = 0;
    std::vector<term> terms;  // one per cell, by absolute index
};

extern bool enabled;  // KEL_NO_DECODE clears it
// Called with an entry's pure form when the entry goes stale or dies.
extern void (*release_pure)(int32_t number);
extern std::vector<block_decode> table;  // entry 0 unused

// The decode of the node's block, valid for its current contents and this
// collector cycle (made or reset here; never allocates on the argument stack
// or in series memory). Null when decoding is off or the block is longer
// than max_cells. The pointer holds until
// the next decode of another block (the table may grow).
block_decode* make_entry(uint32_t node, memory::buffer_header* h);
inline block_decode* entry_for(uint32_t node, memory::buffer_header* h) {
    const uint32_t index = memory::decode_index_of(h);
    if (index != 0 && index < table.size()) [[likely]] {
        block_decode* d = table.data() + index;
        if (d->node == node && d->stamp == memory::stamp_of(h) && d->cycle == memory::root.collector_cycle)
            [[likely]] return d;
    }
    return make_entry(node, h);
}
// The term at an absolute cell index (a cell past the decoded length reads as
// not decoded).
inline term* term_at(block_decode* d, int32_t index) {
    if (!d) return nullptr;
    // Compared in bytes: no division by the term's size.
    term* const first = d->terms.data();
    const size_t bytes = static_cast<size_t>(reinterpret_cast<char*>(first + d->terms.size()) -
                                             reinterpret_cast<char*>(first));
    return static_cast<size_t>(index) * sizeof(term) < bytes ? first + index : nullptr;
}
// Is the term decoded for the entry's current contents?
inline bool current(const block_decode* d, const term* t) { return t->generation == d->generation && t->k != kind::none; }
// Drops the entries whose node died (run by the collector after its sweep).
void sweep();
// Start-up: reads KEL_NO_DECODE and installs the sweep.
void setup();
// The entries in use (for tests).
size_t live_entries();

}  // namespace kel::decode
