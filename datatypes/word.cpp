// word: word access and the rows of the five word types.
#include "datatypes/word.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/string_api.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "kernel/stack.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"

namespace kel::word {

namespace {

inline uint32_t target_of(const kel_value* type_or_example) {
    return type_of(type_or_example) == types::datatype ? get_datatype(type_or_example) : type_of(type_or_example);
}

[[noreturn]] void bad_to_arg(uint32_t target, const kel_value* spec) {
    kel_value t;
    set_datatype(&t, target);
    fire(error_category::script, "bad-to-arg", &t, spec);
}

bool any_word_or_issue(uint32_t t) { return t >= types::word && t <= types::issue; }

// Scans a string value and answers the scanned value's type-checked copy.
kel_value scan_text(const kel_value* text) {
    if (!scan_value) fire(error_category::internal, "not-done");
    kel_value* holder = stack::push_unset();
    scan_value(text, holder);
    const kel_value v = *holder;
    stack::drop_cells(1);
    return v;
}

kel_value* slot_checked(uint32_t ctx, int32_t index) {
    kel_value* base = _context::values(ctx);
    if (!base) {
        const kel_value w = *context_ops::word_at(ctx, index);
        fire(error_category::script, "not-defined", &w);
    }
    return base + index;
}

void mark_changed(uint32_t ctx, int32_t index) {
    if (_context::kind_of(_context::cell(ctx)) == _context::kind_object)
        context_ops::word_at(ctx, index)->header |= header_changed;
}

int32_t mold_prefixed(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part, char prefix) {
    text_out::append(buffer, &prefix, 1);
    return form(value, buffer, arg, part - 1);
}

int32_t mold_lit(const kel_value* v, kel_value* b, bool, bool, bool, const kel_value* arg, int32_t part, int32_t) {
    return mold_prefixed(v, b, arg, part, '\'');
}
int32_t mold_get(const kel_value* v, kel_value* b, bool, bool, bool, const kel_value* arg, int32_t part, int32_t) {
    return mold_prefixed(v, b, arg, part, ':');
}
int32_t mold_refinement(const kel_value* v, kel_value* b, bool, bool, bool, const kel_value* arg, int32_t part,
                        int32_t) {
    return mold_prefixed(v, b, arg, part, '/');
}
int32_t mold_set(const kel_value* v, kel_value* b, bool, bool, bool, const kel_value* arg, int32_t part, int32_t) {
    part = form(v, b, arg, part);
    text_out::append(b, ":", 1);
    return part - 1;
}

// The word as its literal writes it (with its mark), as a new string pushed
// on the stack.
kel_value* push_spelling(const kel_value* word) {
    kel_value* spelling = stack::push_unset();
    text_out::new_buffer(spelling, 16);
    const uint32_t t = type_of(word);
    const char mark = t == types::lit_word ? '\'' : t == types::get_word ? ':' : t == types::refinement ? '/'
                      : t == types::issue ? '#' : 0;
    if (mark) text_out::append(spelling, &mark, 1);
    symbol::append_name(spelling, word_symbol(word));
    if (t == types::set_word) text_out::append(spelling, ":", 1);
    return spelling;
}

// The lexer passes over control characters and Unicode spaces as it does
// over blanks, so a text can scan to a word whose spelling is only part of
// it ("^(2028)a" to `a`, "^A'-" to `-`). Such a text names no word: after
// the plain blanks in front (padding, as in " 'a"), the scanned word's own
// spelling, with its mark, must be all of the text.
bool spelled_as_q(const kel_value* word, const kel_value* text) {
    kel_value rest = *text;
    const int32_t length = string::ks_length_q(&rest);
    int32_t skipped = 0;
    while (skipped < length) {
        const int32_t c = string::ks_abs_char_at(&rest, series_head(&rest) + skipped);
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
        ++skipped;
    }
    set_series_head(&rest, series_head(&rest) + skipped);
    const kel_value* spelling = push_spelling(word);
    const bool same = string::compare_text(spelling, &rest, cmp::strict_equal, false) == 0;
    stack::drop_cells(1);
    return same;
}

// Whether the word's own literal reads back as the same word: a name scanned
// as another kind (an issue's text may hold what ends a word, a Unicode
// space) can still make a word that no text would load.
bool reads_back_q(const kel_value* word) {
    kel_value* spelling = push_spelling(word);
    const kel_value scanned = scan_text(spelling);
    const bool same = type_of(&scanned) == type_of(word) && spelled_as_q(&scanned, spelling);
    stack::drop_cells(1);
    return same;
}

registry::registration child_row(uint32_t id, const char* name, mold_fn m, bool index) {
    registry::registration r;
    r.id = id;
    r.hash = hash_of;
    r.marker = kel::collector::cell_markers::word;
    r.set_hash = registry::set_hash_rule::folded;
    // refinement! takes word!'s row but is no any-word!
    r.families = id == types::refinement ? 0 : family::word;
    r.parent = types::word;
    r.name = name;
    r[act::make] = registry::entry::inherit();
    r[act::to] = registry::entry::inherit();
    r[act::form] = registry::entry::inherit();
    r[act::mold] = m;
    r[act::compare] = registry::entry::inherit();
    if (index) r[act::index_q] = registry::entry::inherit();
    return r;
}

}  // namespace

// Text is scanned by the lexer's single-value scan (installed at start-up).
scan_fn scan_value = nullptr;

// --- making words ---------------------------------------------------------------------

kel_value* from_c_string(const char* name) {
    const uint32_t sym = symbol::intern(name);
    kel_value* w = _context::global_word(sym, true, true);
    const uint32_t global = _context::global();
    // A variant's answer is already a copy in the root block.
    if (!runtime::recording || word_symbol(context_ops::word_at(global, word_index(w))) != sym) return w;
    const kel_value copy = *w;
    return block::ks_add(block::root(), &copy);
}

kel_value* init_cell(uint32_t symbol, kel_value* cell) {
    const uint32_t global = _context::global();
    const kel_value w{types::word, global, symbol, 0};
    const int32_t index = _context::index_or_add_word(global, &w);
    set_type(cell, types::word);
    cell->w1 = global;
    cell->w2 = symbol;
    cell->w3 = static_cast<uint32_t>(index);
    return cell;
}

kel_value* make_at_tail(uint32_t symbol, const kel_value* block) {
    kel_value w;
    set_unset(&w);
    init_cell(symbol, &w);
    return block::ks_add(block, &w);
}

kel_value* push_from_symbol(uint32_t symbol) {
    kel_value w;
    set_unset(&w);
    init_cell(symbol, &w);
    return stack::push_copy(&w);
}

kel_value* lookup_in(uint32_t ctx, uint32_t symbol) {
    const int32_t index = _context::index_of(ctx, symbol, false);
    if (index >= 0) return context_ops::word_at(ctx, index);
    return _context::intern_global(symbol);
}

// --- pushing and reading -----------------------------------------------------------------

kel_value* push(const kel_value* word) { return stack::push_copy(word); }

kel_value* word_at(uint32_t ctx, int32_t index) { return context_ops::word_at(ctx, index); }

kel_value* push_word_at(uint32_t ctx, int32_t index) { return stack::push_copy(word_at(ctx, index)); }

kel_value* get(const kel_value* word) {
    const kel_value w = *word;
    const kel_value* v = _context::get_bound(&w);
    if (unset_q(v)) fire(error_category::script, "no-value", &w);
    return stack::push_copy(v);
}

kel_value* get_in(uint32_t ctx, int32_t index) { return slot_checked(ctx, index); }

kel_value* push_value_at(uint32_t ctx, int32_t index) { return stack::push_copy(slot_checked(ctx, index)); }

kel_value* set_at(uint32_t ctx, int32_t index) {
    kel_value* slot = slot_checked(ctx, index);
    *slot = *stack::last_cell();
    mark_changed(ctx, index);
    return slot;
}

kel_value* replace_at(uint32_t ctx, int32_t index) {
    const kel_value fresh = *stack::last_cell();
    mark_changed(ctx, index);
    kel_value* slot = slot_checked(ctx, index);
    stack::push_copy(slot);
    *slot = fresh;
    return slot;
}

void set_from_arguments() {
    kel_value* w = stack::argument(1);
    const kel_value v = *stack::argument(2);
    if (unset_q(&v)) fire(error_category::script, "need-value", w);
    _context::set_bound(w, &v);
    stack::set_last(&v);
}

kel_value* symbol_cell(const kel_value* word) { return symbol::cell_at(word_symbol(word)); }

kel_value* push_name_string(const kel_value* word) {
    const uint32_t sym = word_symbol(word);
    kel_value* out = stack::push_unset();
    symbol::copy_name_string(sym, out);
    return out;
}

// --- make / to -------------------------------------------------------------------------------

void make_to(kel_value* result, const kel_value* spec_cell, uint32_t target) {
    const kel_value spec = *spec_cell;
    const uint32_t t = type_of(&spec);
    kel_value r;
    if (in_family(t, family::word)) {
        r = spec;
    } else if (t == types::issue || t == types::refinement) {
        kel_value* name = stack::push_unset();
        symbol::copy_name_string(word_symbol(&spec), name);
        const kel_value scanned = scan_text(name);
        const kel_value name_text = *name;
        const bool named = in_family(type_of(&scanned), family::word) && spelled_as_q(&scanned, &name_text);
        stack::drop_cells(1);
        if (!named) bad_to_arg(target, &spec);
        r = spec;
        _context::bind_one(_context::global(), &r);
    } else if (t == types::string || t == types::char_) {
        kel_value text = spec;
        kel_value* holder = nullptr;
        if (t == types::char_) {
            holder = stack::push_unset();
            text_out::new_buffer(holder, 1);
            const uint32_t c = get_char(&spec);
            string::append_code_points(holder, &c, 1);
            text = *holder;
        }
        r = scan_text(&text);
        bool named = any_word_or_issue(type_of(&r)) && spelled_as_q(&r, &text);
        if (holder) stack::drop_cells(1);
        if (named && in_family(target, family::word)) {
            r.header = target;
            named = reads_back_q(&r);
        }
        if (!named) fire(error_category::script, "invalid-chars");
    } else if (t == types::datatype) {
        const uint32_t id = get_datatype(&spec);
        if (!registry::registered_q(id)) bad_to_arg(target, &spec);
        r = registry::type_names[id].word;
        if (type_of(&r) != types::word) r = *from_c_string(registry::type_names[id].name);
    } else if (t == types::logic) {
        r = *_context::global_word(get_logic(&spec) ? words::true_ : words::false_, true, false);
    } else {
        bad_to_arg(target, &spec);
    }
    r.header = target;
    *result = r;
}

signal_code make(const refinements&) {
    const uint32_t target = target_of(stack::argument(1));
    make_to(stack::arguments(), stack::argument(2), target);
    return signal_code::none;
}

// --- handlers ----------------------------------------------------------------------------------

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    return part - symbol::append_name(buffer, word_symbol(value));
}

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    return form(value, buffer, arg, part);
}

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t t1 = type_of(value), t2 = type_of(other);
    if (!any_word_or_issue(t2) || (t2 == types::issue && t1 != types::issue)) return cmp::not_comparable;
    const uint32_t s1 = word_symbol(value), s2 = word_symbol(other);
    const bool same_canonical = symbol::resolve(s1) == symbol::resolve(s2);
    const bool word_lit_pair = (t1 == types::word && t2 == types::lit_word) || (t1 == types::lit_word && t2 == types::word);
    switch (op) {
        case cmp::equal:
        case cmp::not_equal:
        case cmp::find: return same_canonical ? 0 : 1;
        case cmp::strict_equal: return t1 == t2 && s1 == s2 ? 0 : 1;
        case cmp::same: return t1 == t2 && s1 == s2 && word_context(value) == word_context(other) ? 0 : 1;
        case cmp::equal10:
            if (word_lit_pair) return s1 == s2 ? 0 : 1;
            return t1 == t2 && s1 == s2 ? 0 : 1;
        case cmp::equal11:
            if (word_lit_pair) return same_canonical ? 0 : 1;
            return t1 == t2 && same_canonical ? 0 : 1;
        default: return symbol::compare_names(s1, s2, op);
    }
}

signal_code index_q(const refinements&) {
    const kel_value w = *stack::argument(1);
    if (word_index(&w) < 0) set_none(stack::arguments());
    else set_integer(stack::arguments(), word_index(&w) + 1);
    return signal_code::none;
}

// Words hash by their symbol's canonical (case-folded) entry, so every
// spelling and every kind of word with the same name meets in a table.
uint32_t hash_of(const kel_value* value, bool) { return hashtable::fmix32(symbol::resolve(value->w2)); }

registry::registration row() {
    registry::registration r;
    r.id = types::word;
    r.hash = hash_of;
    r.marker = kel::collector::cell_markers::word;
    r.set_hash = registry::set_hash_rule::folded;
    r.families = family::word;
    r.parent = types::symbol;
    r.name = "word!";
    r[act::make] = static_cast<action_fn>(make);
    r[act::to] = static_cast<action_fn>(make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::index_q] = static_cast<action_fn>(index_q);
    return r;
}

registry::registration set_word_row() { return child_row(types::set_word, "set-word!", mold_set, true); }
registry::registration lit_word_row() { return child_row(types::lit_word, "lit-word!", mold_lit, true); }
registry::registration get_word_row() { return child_row(types::get_word, "get-word!", mold_get, true); }
registry::registration refinement_row() {
    return child_row(types::refinement, "refinement!", mold_refinement, false);
}

}  // namespace kel::word

namespace kel::get_word {

kel_value* push(const kel_value* word) {
    kel_value* c = stack::push_copy(word);
    set_type(c, types::get_word);
    return c;
}

kel_value* push_word_at(uint32_t ctx, int32_t index) { return push(word::word_at(ctx, index)); }

kel_value* get(const kel_value* word) {
    const kel_value w = *word;
    return stack::push_copy(_context::get_bound(&w));
}

}  // namespace kel::get_word

namespace kel::refinement {

kel_value* from_c_string(const char* name) {
    const kel_value r{types::refinement, 0, symbol::intern(name), static_cast<uint32_t>(-1)};
    return block::ks_add(block::root(), &r);
}

kel_value* push(const kel_value* word) {
    kel_value* c = stack::push_copy(word);
    set_type(c, types::refinement);
    return c;
}

kel_value* push_word_at(uint32_t ctx, int32_t index) { return push(word::word_at(ctx, index)); }

}  // namespace kel::refinement
