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
program table[slots];
int32_t next_slot = 0;
uint32_t generations = 0;

const kel_value* cell(const kel_value* b, int32_t i) {
    memory::buffer_header* h = memory::buffer_of(series_node(b));
    return reinterpret_cast<const kel_value*>(h->data() + h->head) + i;
}

bool is_family_path(uint32_t t) { return in_family(t, family::path); }

// Reads one rules block; `ok` false at the first thing it cannot express.
struct compiler {
    const kel_value* rules;
    int32_t end;
    program& p;
    bool ok = true;

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
    int32_t add_word(int32_t at, uint8_t u) {
        p.words.push_back(at);
        p.uses.push_back(u);
        return static_cast<int32_t>(p.words.size()) - 1;
    }
    // A plain value standing as a rule: a literal, a datatype or a typeset.
    bool plain_value(uint32_t t) const {
        return t != types::block && t != types::paren && t != types::set_word && t != types::get_word &&
               t != types::integer && t != types::word && !is_family_path(t);
    }
    // The rule of a repetition at i: a literal, a type or a word.
    bool simple(int32_t i, item& it, uint8_t u) {
        if (i >= end) return false;
        const kel_value* c = cell(rules, i);
        const uint32_t t = type_of(c);
        it.at = i;
        it.next = i + 1;
        if (t == types::word) {
            if (keyword(c)) return false;
            it.rule = w_word;
            it.slot = add_word(i, u);
            return true;
        }
        it.rule = w_value;
        return plain_value(t);
    }
    // The rule of to/thru at i: a literal, a word or `end`.
    bool search(int32_t i, item& it) {
        if (i >= end) return false;
        const kel_value* c = cell(rules, i);
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
    bool rule(int32_t i, item& it) {
        if (i >= end) return false;
        const kel_value* c = cell(rules, i);
        const uint32_t t = type_of(c);
        if (t == types::integer) {
            const int32_t n = get_integer(c);
            int32_t m = n, j = i + 1;
            if (j < end && type_of(cell(rules, j)) == types::integer) m = get_integer(cell(rules, j++));
            if (n < 0 || m < n || m == 0) return false;  // errors and skipped rules: the general engine's
            it.mode = h_rep;
            it.min = n;
            it.max = m;
            it.counted = true;
            return simple(j, it, u_no_integer);
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
                // while matches a literal as any does: one pass, ending
                // where a match consumes nothing
                return simple(i + 1, it, u_any);
            }
            if (k == words::to || k == words::thru) {
                it.mode = k == words::to ? h_to : h_thru;
                return search(i + 1, it);
            }
            return false;
        }
        it.at = i;
        it.next = i + 1;
        it.rule = w_value;
        return plain_value(t);
    }
    // One item of an alternative at i; answers false when it cannot.
    bool top(int32_t i, item& it) {
        const kel_value* c = cell(rules, i);
        const uint32_t t = type_of(c);
        if (t == types::set_word) {
            it.command = i_set_word;
            it.at = i;
            it.next = i + 1;
            return true;
        }
        if (t == types::paren) {
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
        if (k == words::copy || k == words::set) {
            if (i + 2 >= end || type_of(cell(rules, i + 1)) != types::word) return false;
            it.command = k == words::copy ? i_copy : i_set;
            it.target = i + 1;
            if (!rule(i + 2, it)) return false;
            p.commands = std::max(p.commands, it.mode == h_once ? 1 : 2);
            return true;
        }
        if (k == words::keep) {
            if (i + 1 >= end) return false;
            const kel_value* n = cell(rules, i + 1);
            if (type_of(n) == types::paren) return false;
            if (type_of(n) == types::word && symbol::resolve(word_symbol(n)) == words::pick) return false;
            it.command = i_keep;
            p.keeps = true;
            if (!rule(i + 1, it)) return false;
            p.commands = std::max(p.commands, it.mode == h_once ? 1 : 2);
            return true;
        }
        if (!rule(i, it)) return false;
        if (it.mode != h_once) p.commands = std::max(p.commands, 1);
        return true;
    }
    void run(int32_t start) {
        for (int32_t i = start; i < end;) {
            item it;
            if (!top(i, it)) {
                ok = false;
                return;
            }
            p.items.push_back(it);
            i = it.next;
        }
        // A target bound like a word the program reads changes that rule.
        for (item& it : p.items) {
            if (it.command != i_copy && it.command != i_set && it.command != i_set_word) continue;
            const kel_value* t = cell(rules, it.command == i_set_word ? it.at : it.target);
            for (int32_t w : p.words) {
                const kel_value* c = cell(rules, w);
                if (c->w1 == t->w1 && c->w3 == t->w3) it.aliased = true;
            }
        }
    }
};

}  // namespace

const program* lookup(const kel_value* rules, int32_t* index) {
    memory::buffer_header* h = memory::buffer_of(series_node(rules));
    const int32_t start = std::max(series_head(rules), 0);
    const uint32_t named = h->reserved[2];
    if (named > 0 && named <= static_cast<uint32_t>(slots)) {
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
    compiler c{rules, static_cast<int32_t>(h->units()), p};
    c.run(start);
    p.ok = c.ok && !p.items.empty();
    if (!p.ok) {
        p.items.clear();
        p.words.clear();
        p.uses.clear();
    }
    memory::buffer_of(series_node(rules))->reserved[2] = static_cast<uint32_t>(n + 1);
    *index = n;
    return &p;
}

const program* still(int32_t index, uint32_t generation) {
    const program& p = table[index];
    return p.generation == generation ? &p : nullptr;
}

}  // namespace kel::parse::compiled
