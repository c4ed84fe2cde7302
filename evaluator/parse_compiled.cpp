// parse_compiled: see parse_compiled.h. The compiler reads a rules block once
// per modification stamp; what it cannot express exactly it refuses, and the
// refusal is cached too, so a block the general engine runs pays one lookup.
#include "evaluator/parse_compiled.h"

#include <algorithm>

#include "datatypes/runtime_words.h"
#include "datatypes/symbol.h"
#include "kernel/registry.h"
#include "kernel/series_memory.h"

namespace kel::parse::compiled {

namespace {

constexpr int32_t slots = 256;
int32_t next_slot = 0;
uint32_t generations = 0;

const kel_value* cell(const kel_value* b, int32_t i) {
    memory::buffer_header* h = memory::buffer_of(series_node(b));
    return reinterpret_cast<const kel_value*>(h->data() + h->head) + i;
}

bool is_family_path(uint32_t t) { return in_family(t, family::path); }

// Reads one rules block (the program's own, or a sub-block of it); `ok`
// false at the first thing it cannot express.
struct rules_compiler {
    kel_value rules;
    int32_t end;
    program& p;
    int32_t block;               // -1: the program's own block, else the sub-block index
    std::vector<uint32_t>& path; // nodes of the blocks being read: a cycle is refused
    std::vector<kel_value>& blocks;  // the sub-blocks' values, by index
    bool ok = true;
    int32_t levels = 0;

    const kel_value* at(int32_t i) const { return cell(&rules, i); }
    uint32_t keyword(const kel_value* c) const {
        if (type_of(c) != types::word) return 0;
        const uint32_t s = symbol::resolve(word_symbol(c));
        static const uint32_t change = symbol::resolve(word_symbol(&words::_change));
        const uint32_t keys[] = {words::any, words::some, words::opt, words::while_, words::to, words::thru,
                                 words::copy, words::set, words::not_, words::ahead, words::into, words::remove,
                                 words::insert, change, words::quote, words::if_, words::case_, words::skip,
                                 words::end, words::none, words::fail, words::break_, words::reject, words::pipe,
                                 words::collect, words::keep};
        for (uint32_t k : keys)
            if (s == k) return s;
        return 0;
    }
    int32_t add_word(int32_t i, uint8_t u) {
        p.words.push_back(place{block, i});
        p.uses.push_back(u);
        return static_cast<int32_t>(p.words.size()) - 1;
    }
    // A plain value standing as a rule: a literal, a datatype or a typeset.
    bool plain_value(uint32_t t) const {
        return t != types::block && t != types::paren && t != types::set_word && t != types::get_word &&
               t != types::integer && t != types::word && !is_family_path(t);
    }
    // The literal block at i read as a sub-block; its levels into *levels.
    bool sub(int32_t i, item& it, int32_t* sub_levels) {
        const kel_value b = *at(i);
        const uint32_t node = series_node(&b);
        if (path.size() >= 4 || std::find(path.begin(), path.end(), node) != path.end()) return false;
        memory::buffer_header* h = memory::buffer_of(node);
        const int32_t start = std::max(series_head(&b), 0);
        sub_block sb;
        sb.node = node;
        sb.stamp = memory::stamp_of(h);
        sb.start = start;
        sb.parent = block;
        sb.at = i;
        const int32_t index = static_cast<int32_t>(p.subs.size());
        p.subs.push_back(std::move(sb));
        blocks.push_back(b);
        path.push_back(node);
        rules_compiler c{b, static_cast<int32_t>(h->units()), p, index, path, blocks};
        c.run(start);
        path.pop_back();
        if (!c.ok) return false;
        p.subs[index].levels = c.levels;
        it.rule = w_sub;
        it.slot = index;
        *sub_levels = c.levels;
        return true;
    }
    // The rule of a repetition at i: a literal, a type, a word or a sub-block.
    bool simple(int32_t i, item& it, uint8_t u, int32_t* inner) {
        if (i >= end) return false;
        const kel_value* c = at(i);
        const uint32_t t = type_of(c);
        it.at = i;
        it.next = i + 1;
        *inner = 0;
        if (t == types::word) {
            if (keyword(c)) return false;
            it.rule = w_word;
            it.slot = add_word(i, u);
            return true;
        }
        if (t == types::block) {
            int32_t l = 0;
            if (!sub(i, it, &l)) return false;
            *inner = 1 + l;  // the sub-block's level and what it opens
            return true;
        }
        it.rule = w_value;
        return plain_value(t);
    }
    // The rule of to/thru at i: a literal, a word or `end`.
    bool search(int32_t i, item& it) {
        if (i >= end) return false;
        const kel_value* c = at(i);
        const uint32_t t = type_of(c);
        it.at = i;
        it.next = i + 1;
        if (t == types::word) {
            const uint32_t k = keyword(c);
            if (k == words::end) {
                it.rule = w_end;
                return true;
            }
            if (k) return false;
            it.rule = w_word;
            it.slot = add_word(i, u_literal_only);
            return true;
        }
        it.rule = w_value;
        return plain_value(t) && t != types::datatype && t != types::typeset;
    }
    // A rule that matches once or repeats: what a command or a block holds.
    // *opened: the levels the general engine opens for it.
    bool rule(int32_t i, item& it, int32_t* opened) {
        if (i >= end) return false;
        const kel_value* c = at(i);
        const uint32_t t = type_of(c);
        *opened = 0;
        if (t == types::integer) {
            const int32_t n = get_integer(c);
            int32_t m = n, j = i + 1;
            if (j < end && type_of(at(j)) == types::integer) m = get_integer(at(j++));
            if (n < 0 || m < n || m == 0) return false;  // errors and skipped rules: the general engine's
            it.mode = h_rep;
            it.min = n;
            it.max = m;
            it.counted = true;
            int32_t inner = 0;
            if (!simple(j, it, u_no_integer, &inner)) return false;
            *opened = 1 + inner;
            return true;
        }
        if (t == types::block) {
            it.at = i;
            it.next = i + 1;
            int32_t l = 0;
            if (!sub(i, it, &l)) return false;
            *opened = 1 + l;
            return true;
        }
        if (t == types::word) {
            const uint32_t k = keyword(c);
            if (!k) {
                it.at = i;
                it.next = i + 1;
                it.rule = w_word;
                it.slot = add_word(i, u_any);
                return true;
            }
            it.at = i;
            it.next = i + 1;
            if (k == words::skip) { it.rule = w_skip; return true; }
            if (k == words::end) { it.rule = w_end; return true; }
            if (k == words::none) { it.rule = w_none; return true; }
            if (k == words::fail) { it.rule = w_fail; return true; }
            if (k == words::any || k == words::some || k == words::opt || k == words::while_) {
                it.mode = h_rep;
                it.min = k == words::some ? 1 : 0;
                it.max = k == words::opt ? 1 : -1;
                it.counted = false;
                it.loops = k == words::while_;
                int32_t inner = 0;
                if (!simple(i + 1, it, u_any, &inner)) return false;
                *opened = 1 + inner;
                return true;
            }
            if (k == words::to || k == words::thru) {
                it.mode = k == words::to ? h_to : h_thru;
                *opened = 1;
                return search(i + 1, it);
            }
            return false;
        }
        it.at = i;
        it.next = i + 1;
        it.rule = w_value;
        return plain_value(t);
    }
    void target(int32_t i) {
        if (block >= 0) p.sub_targets.push_back(place{block, i});
    }
    // One item of an alternative at i; answers false when it cannot.
    bool top(int32_t i, item& it) {
        const kel_value* c = at(i);
        const uint32_t t = type_of(c);
        if (t == types::set_word) {
            it.command = i_set_word;
            it.at = i;
            it.next = i + 1;
            target(i);
            return true;
        }
        if (t == types::paren) {
            if (block >= 0) return false;  // evaluation only at the program's own level
            it.command = i_paren;
            it.at = i;
            it.next = i + 1;
            return true;
        }
        const uint32_t k = keyword(c);
        if (k == words::pipe) {
            it.command = i_alt;
            it.at = i;
            it.next = i + 1;
            return true;
        }
        int32_t opened = 0;
        if (k == words::copy || k == words::set) {
            if (i + 2 >= end || type_of(at(i + 1)) != types::word) return false;
            it.command = k == words::copy ? i_copy : i_set;
            it.target = i + 1;
            target(i + 1);
            if (!rule(i + 2, it, &opened)) return false;
            levels = std::max(levels, 1 + opened);
            return true;
        }
        if (k == words::keep) {
            if (i + 1 >= end) return false;
            const kel_value* n = at(i + 1);
            if (type_of(n) == types::paren) return false;
            if (type_of(n) == types::word && symbol::resolve(word_symbol(n)) == words::pick) return false;
            it.command = i_keep;
            p.keeps = true;
            if (!rule(i + 1, it, &opened)) return false;
            levels = std::max(levels, 1 + opened);
            return true;
        }
        if (!rule(i, it, &opened)) return false;
        levels = std::max(levels, opened);
        return true;
    }
    std::vector<item>& body() { return block < 0 ? p.items : p.subs[block].items; }
    void run(int32_t start) {
        for (int32_t i = start; i < end;) {
            item it;
            if (!top(i, it)) {
                ok = false;
                return;
            }
            body().push_back(it);
            i = it.next;
        }
        if (body().empty()) ok = false;
    }
};

// The cell of a word or target place while compiling.
const kel_value* place_cell(const kel_value* rules, const std::vector<kel_value>& blocks, place w) {
    return cell(w.block < 0 ? rules : &blocks[static_cast<size_t>(w.block)], w.at);
}

}  // namespace

program table[slots];

const program* lookup(const kel_value* rules, int32_t* index, bool fresh) {
    memory::buffer_header* h = memory::buffer_of(series_node(rules));
    const int32_t start = std::max(series_head(rules), 0);
    const uint32_t named = h->reserved[2];
    if (named > 0 && named <= static_cast<uint32_t>(slots) && !fresh) {
        program& p = table[named - 1];
        if (p.node == series_node(rules) && p.stamp == memory::stamp_of(h) && p.start == start) {
            *index = static_cast<int32_t>(named - 1);
            return &p;
        }
    }
    const int32_t n = next_slot;
    next_slot = (next_slot + 1) % slots;
    program& p = table[n];
    p = program{};
    p.node = series_node(rules);
    p.stamp = memory::stamp_of(h);
    p.start = start;
    p.generation = ++generations;
    std::vector<uint32_t> path{p.node};
    std::vector<kel_value> blocks;
    rules_compiler c{*rules, static_cast<int32_t>(h->units()), p, -1, path, blocks};
    c.run(start);
    p.ok = c.ok;
    p.commands = c.levels;
    if (p.ok) {
        // A target bound like a word the program reads changes that rule.
        auto aliased = [&](place t) {
            const kel_value* tc = place_cell(rules, blocks, t);
            for (place w : p.words) {
                const kel_value* wc = place_cell(rules, blocks, w);
                if (wc->w1 == tc->w1 && wc->w3 == tc->w3) return true;
            }
            return false;
        };
        for (item& it : p.items)
            if (it.command == i_copy || it.command == i_set || it.command == i_set_word)
                it.aliased = aliased(place{-1, it.command == i_set_word ? it.at : it.target});
        for (place t : p.sub_targets)
            if (aliased(t)) p.ok = false;  // a sub-block sets nothing its rules read
    }
    if (!p.ok) {
        p.items.clear();
        p.words.clear();
        p.uses.clear();
        p.subs.clear();
        p.sub_targets.clear();
    }
    memory::buffer_of(series_node(rules))->reserved[2] = static_cast<uint32_t>(n + 1);
    *index = n;
    return &p;
}

}  // namespace kel::parse::compiled
