// parse_compiled: the compiled form of simple rule blocks, which the parse
// engine (parse.cpp) runs in one tight loop instead of pushing a level per
// block, command and element. A block compiles when each of its alternatives
// is a flat sequence of items: a literal, a word (its value read when the run
// starts), `skip`, `end`, `none`, `fail`, a set-word, a paren, a repetition or
// count of a literal, `to`/`thru` a literal or `end`, and `copy word`, `set
// word` or `keep` over one of those. Anything else (sub-blocks, `into`,
// `break`, `collect`, changes of the input...) leaves the block to the
// general engine. Programs are cached per rules block and start index, found
// through a spare word of the block's buffer header and guarded by the
// block's modification stamp, so a block changed in any way compiles anew.
// The cache holds no roots: it names nodes and indexes, never values.
#pragma once
#include <cstdint>
#include <vector>

#include "kernel/value.h"

namespace kel::parse::compiled {

enum how : uint8_t { h_once, h_rep, h_to, h_thru };
enum what : uint8_t { w_value, w_word, w_skip, w_end, w_none, w_fail, w_sub };
enum cmd : uint8_t { i_plain, i_copy, i_set, i_keep, i_set_word, i_paren, i_alt };

// One item: `cmd` over a rule matched `how`, the rule being `what`.
struct item {
    cmd command = i_plain;
    how mode = h_once;
    what rule = w_value;
    bool counted = false;  // a count (`n rule`, `n m rule`): a word there must not hold an integer
    bool aliased = false;  // the copy/set/set-word target is bound like one of the program's words
    bool loops = false;    // while: a repeated sub-block goes on though it consumed nothing
    int32_t min = 0, max = -1;
    int32_t at = 0;      // rules index of the rule value, word, set-word or paren
    int32_t target = 0; // rules index of the copy/set word
    int32_t slot = -1;   // index of the word in program::words, or of the sub-block in program::subs
    int32_t next = 0;    // rules index after the item
};

// A sub-block: the block cell at `at` of its parent (-1: the program's own
// block), with its own items; no paren among them.
struct sub_block {
    uint32_t node = 0, stamp = 0;
    int32_t start = 0;
    int32_t parent = -1, at = 0;
    int32_t levels = 0;  // most levels the general engine would open inside it
    std::vector<struct item> items;
};
// A word's cell: its block (-1: the program's own, else a sub-block) and index.
struct place {
    int32_t block = -1, at = 0;
};

// How a resolved word is used, which decides the values it may hold.
enum use : uint8_t { u_any = 0, u_literal_only = 1, u_no_integer = 2 };

struct program {
    uint32_t node = 0, stamp = 0;
    int32_t start = 0;
    uint32_t generation = 0;  // changes whenever the slot holds another program
    bool ok = false;          // false: the block is left to the general engine
    bool keeps = false;       // holds a keep: needs an open collection with a block target
    int32_t commands = 0;     // most levels the general engine would open inside it
    std::vector<item> items;  // alternatives separated by i_alt items
    std::vector<place> words;    // each word read at the start
    std::vector<uint8_t> uses;   // per word: use flags
    std::vector<sub_block> subs; // parents before their children
    std::vector<place> sub_targets;  // words set inside sub-blocks: they must set quietly
};

// The program for the rules block `rules` (positioned at its start), compiled
// on first use; null when the cache slot named by the header holds another.
// Answers the slot index into *index.
// `fresh`: compile again though the stamp matches (a sub-block changed).
const program* lookup(const kel_value* rules, int32_t* index, bool fresh = false);
// The program in slot `index` while it still has `generation`, else null (a
// nested parse may have reused the slot).
// Inline: the engine asks after every evaluation in a run.
extern program table[];
inline const program* still(int32_t index, uint32_t generation) {
    const program& p = table[index];
    return p.generation == generation ? &p : nullptr;
}

}  // namespace kel::parse::compiled
