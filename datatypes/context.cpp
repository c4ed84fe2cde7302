// context: context nodes, lookup, get/set with their errors, and binding.
// Addresses of cells are re-read from nodes after every call that may
// allocate (adding a word grows the words and values blocks).
#include "datatypes/context.h"
#include "kernel/collector.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/symbol.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"

namespace kel::object {
namespace {
void no_on_change(const kel_value*, const kel_value*, const kel_value*, const kel_value*) {}
}  // namespace
on_change_fn call_on_change = no_on_change;
}  // namespace kel::object

namespace kel::_context {

namespace {

uint32_t global_node = 0;

inline kel_value* node_cells(uint32_t ctx) { return reinterpret_cast<kel_value*>(memory::buffer_of(ctx)->head_ptr()); }
inline kel_value* block_cells(uint32_t node) { return reinterpret_cast<kel_value*>(memory::buffer_of(node)->head_ptr()); }
inline int32_t block_length(uint32_t node) { return static_cast<int32_t>(memory::buffer_of(node)->used() / 16); }

// Appends an unset! value slot to a heap context.
kel_value* add_value_slot(uint32_t ctx) {
    kel_value* v = memory::claim_buffer_cell(cell(ctx)->w2);
    set_unset(v);
    return v;
}

// The call marks save and restore a stack context's values through these;
// an offset travels as it is, "not running" as all ones.
uint32_t stack_values_get(uint32_t ctx) {
    const kel_value* c = cell(ctx);
    if (!(c->header & header_context_stack)) return 0;
    return c->w2 ? c->w2 - 1 : 0xFFFFFFFFu;
}
void stack_values_set(uint32_t ctx, uint32_t offset) {
    kel_value* c = cell(ctx);
    if (!(c->header & header_context_stack)) return;
    c->w2 = offset == 0xFFFFFFFFu ? 0 : offset + 1;
}

// The value slot of index in ctx, or null when it has no values; an index
// outside the values is treated as no value.
kel_value* slot_of(uint32_t ctx, int32_t index) {
    kel_value* base = values(ctx);
    if (!base || index < 0) return nullptr;
    const int32_t limit = stack_q(ctx) ? length(ctx) : block_length(cell(ctx)->w2);
    return index < limit ? base + index : nullptr;
}

struct cycle_pop {
    ~cycle_pop() { cycles::pop(); }
};

// A context's own node: its cell (header, word table, values) and the unset
// cell after it, made while p keeps the table and the values reachable.
uint32_t new_context_node(hashtable::parking& p, uint32_t header, uint32_t table, uint32_t values) {
    const uint32_t node = memory::new_cells(2);
    p.release();
    memory::buffer_header* h = memory::buffer_of(node);
    h->tail = h->head + 32;
    kel_value* c = node_cells(node);
    c->header = header;
    c->w1 = table;
    c->w2 = values;
    c->w3 = 0;
    set_unset(c + 1);
    return node;
}

}  // namespace

void init_global() {
    if (global_node) return;
    global_node = allocate(global_size, false, false, 0, kind_global);
    stack::contexts::hooks.get_values = stack_values_get;
    stack::contexts::hooks.set_values = stack_values_set;
}

uint32_t global() { return global_node; }

// --- the node --------------------------------------------------------------------

kel_value* cell(uint32_t ctx) { return node_cells(ctx); }
kel_value* owner(uint32_t ctx) { return node_cells(ctx) + 1; }
bool stack_q(uint32_t ctx) { return (cell(ctx)->header & header_context_stack) != 0; }
uint32_t word_table(uint32_t ctx) { return cell(ctx)->w1; }
uint32_t words_node(uint32_t ctx) { return hashtable::header_of(word_table(ctx))->blk; }
int32_t length(uint32_t ctx) { return block_length(words_node(ctx)); }

kel_value* values(uint32_t ctx) {
    const kel_value* c = cell(ctx);
    if (c->w2 == 0) return nullptr;
    if (c->header & header_context_stack) return stack::bottom() + (c->w2 - 1);
    return block_cells(c->w2);
}

// --- making -----------------------------------------------------------------------

uint32_t allocate(int32_t size, bool stack, bool self, uint32_t prototype, uint32_t kind) {
    if (size <= 0) size = 1;
    uint32_t table;
    if (prototype) {
        const kel_value proto = *cell(prototype);
        table = hashtable::make(size, &proto, hashtable::kinds::words, 2);
        size = std::max(size, length(prototype));
    } else {
        table = hashtable::make(size, nullptr, hashtable::kinds::words, 0);
    }
    hashtable::parking p;
    p.table(table);
    uint32_t values_block = 0;
    if (!stack) {
        values_block = memory::new_unset_cells(static_cast<uint32_t>(size));
        memory::buffer_header* h = memory::buffer_of(values_block);
        h->tail = h->head;
        p.node(values_block);
    }
    const uint32_t node = new_context_node(
        p, types::context | (kind << kind_shift) | (stack ? header_context_stack : 0) | (self ? flag_self : 0), table,
        values_block);
    return node;
}

uint32_t make_from_spec(const kel_value* spec, bool stack, bool self, uint32_t kind) {
    const kel_value s = *spec;
    const int32_t head = std::max(series_head(&s), 0);
    const int32_t n = std::max(block::ks_length_q(&s), 0);
    const uint32_t ctx = allocate(n, stack, self, 0, kind);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value c = *block::ks_abs_at(&s, head + i);
        const uint32_t t = type_of(&c);
        if (t != types::word && t != types::get_word && t != types::lit_word && t != types::refinement) continue;
        int32_t index;
        index_or_add(ctx, word_symbol(&c), true, &index);
    }
    if (!stack) {
        memory::buffer_header* v = memory::buffer_of(cell(ctx)->w2);
        v->tail = v->head + 16u * static_cast<uint32_t>(length(ctx));
    }
    return ctx;
}

uint32_t fresh_copy(kel_value* value, uint32_t kind) {
    const uint32_t old = value->w1;
    const kel_value c = *cell(old);
    const int32_t n = length(old);
    const uint32_t ctx = allocate(n, (c.header & header_context_stack) != 0, (c.header & flag_self) != 0, old, kind);
    kel_value* words = block_cells(words_node(ctx));
    for (int32_t i = 0; i < n; ++i) words[i].w1 = ctx;
    if (!(c.header & header_context_stack)) {
        memory::buffer_header* v = memory::buffer_of(cell(ctx)->w2);
        kel_value* cells = reinterpret_cast<kel_value*>(v->head_ptr());
        for (int32_t i = 0; i < n; ++i) set_unset(cells + i);
        v->tail = v->head + 16u * static_cast<uint32_t>(n);
    }
    value->w1 = ctx;
    return ctx;
}

uint32_t copy_as_is(uint32_t source) {
    hashtable::parking p;
    const uint32_t words = memory::copy_buffer(memory::buffer_of(words_node(source)));
    p.node(words);
    const uint32_t table = hashtable::copy(word_table(source), words);
    p.table(table);
    const uint32_t values_block = memory::copy_buffer(memory::buffer_of(cell(source)->w2));
    p.node(values_block);
    const uint32_t node = new_context_node(p, cell(source)->header & ~flag_shared_words, table, values_block);
    kel_value* w = block_cells(words);
    for (int32_t i = 0, n = block_length(words); i < n; ++i) w[i].w1 = node;
    return node;
}

uint32_t share_words(uint32_t source, uint32_t values_block) {
    hashtable::parking p;
    p.node(values_block);
    return new_context_node(p, cell(source)->header | flag_shared_words, word_table(source), values_block);
}

void own_words(uint32_t ctx) {
    if (!(cell(ctx)->header & flag_shared_words)) return;
    // Callers hold cell addresses across word_at; with no collection no
    // buffer moves, and the few buffers made here are reachable from ctx
    // before the next allocation can collect.
    const bool was_active = collector::active_q();
    collector::set_active(false);
    struct restore {
        bool on;
        ~restore() { collector::set_active(on); }
    } guard{was_active};
    const uint32_t words = memory::copy_buffer(memory::buffer_of(words_node(ctx)));
    const uint32_t table = hashtable::copy(word_table(ctx), words);
    kel_value* c = cell(ctx);
    c->w1 = table;
    c->header &= ~flag_shared_words;
    kel_value* w = block_cells(words);
    for (int32_t i = 0, n = block_length(words); i < n; ++i) w[i].w1 = ctx;
}

// --- lookup and adding ---------------------------------------------------------------------

int32_t index_of(uint32_t ctx, uint32_t symbol, bool resolve) {
    return hashtable::context_word_index(word_table(ctx), symbol, resolve, 0, nullptr);
}

int32_t index_or_add(uint32_t ctx, uint32_t symbol, bool resolve, int32_t* out) {
    if (cell(ctx)->header & flag_shared_words) [[unlikely]] {
        const int32_t found = index_of(ctx, symbol, resolve);
        if (found >= 0) {
            if (out) *out = found;
            return found;
        }
        own_words(ctx);
    }
    bool added = false;
    const int32_t index = hashtable::context_word_index(word_table(ctx), symbol, resolve, ctx, &added);
    if (out) *out = index;
    return added ? -1 : index;
}

int32_t index_or_add_word(uint32_t ctx, const kel_value* word) {
    if (cell(ctx)->header & flag_shared_words) [[unlikely]] {
        const int32_t found = index_of(ctx, word_symbol(word), true);
        if (found >= 0) return found;
        own_words(ctx);
    }
    bool added = false;
    const int32_t index = hashtable::context_word_index(word_table(ctx), word_symbol(word), true, ctx, &added);
    if (added && !stack_q(ctx)) add_value_slot(ctx);
    return index;
}

kel_value* put(uint32_t ctx, const kel_value* word, const kel_value* value) {
    const kel_value v = *value;
    // A stack context's frame has a fixed number of cells: no new words.
    const int32_t index = stack_q(ctx) ? index_of(ctx, word_symbol(word), true) : index_or_add_word(ctx, word);
    kel_value* slot = slot_of(ctx, index);
    if (!slot) fire(error_category::script, "not-defined", word);
    *slot = v;
    return slot;
}

kel_value* add_if_absent(uint32_t ctx, const kel_value* word, const kel_value* value) {
    if (index_of(ctx, word_symbol(word), true) >= 0) return nullptr;
    return put(ctx, word, value);
}

kel_value* symbol_value(uint32_t symbol, uint32_t ctx) {
    if (stack_q(ctx)) ctx = global_node;
    return slot_of(ctx, index_of(ctx, symbol, true));
}

kel_value* global_word(uint32_t symbol, bool resolve, bool copy_variant) {
    int32_t index = index_of(global_node, symbol, resolve);
    // A case variant shares the slot of the spelling already there.
    if (index < 0 && !resolve) index = index_of(global_node, symbol, true);
    if (index < 0) {
        kel_value w{types::word, global_node, symbol, 0};
        index = index_or_add_word(global_node, &w);
        return context_ops::word_at(global_node, index);
    }
    kel_value* found = context_ops::word_at(global_node, index);
    if (word_symbol(found) == symbol || !copy_variant) return found;
    kel_value copy = *found;
    copy.header = types::word;
    copy.w2 = symbol;
    return block::ks_add(block::root(), &copy);
}

kel_value* intern_global(uint32_t symbol) {
    kel_value* w = global_word(symbol, false, true);
    if (!runtime::recording || word_symbol(context_ops::word_at(global_node, word_index(w))) != symbol) return w;
    const kel_value copy = *w;
    return block::ks_add(block::root(), &copy);
}

// --- get and set ----------------------------------------------------------------------------

kel_value* set_in(kel_value* word, const kel_value* value, uint32_t ctx, bool notify) {
    const kel_value v = *value;  // the value may lie in a buffer that grows below
    if (ctx == 0) fire(error_category::script, "not-defined", word);
    // An object's self word stands for the object, as get answers it: it
    // names no slot, and adding one would leave get answering the object.
    if (self_owner(word)) fire(error_category::script, "protected");
    if (word_index(word) < 0) {
        int32_t index = index_of(ctx, word_symbol(word), false);
        if (index < 0) {
            // A running function's frame has a fixed number of cells.
            if (stack_q(ctx)) fire(error_category::script, "not-defined", word);
            index = index_or_add_word(ctx, word);
        }
        word->w3 = static_cast<uint32_t>(index);
    }
    const int32_t index = word_index(word);
    if (!values(ctx)) fire(error_category::script, "not-defined", word);
    kel_value* slot = slot_of(ctx, index);
    if (!slot) fire(error_category::script, "not-defined", word);
    if (stack_q(ctx)) {
        *slot = v;
        return slot;
    }
    const kel_value* c = cell(ctx);
    if (kind_of(c) == kind_object) context_ops::word_at(ctx, index)->header |= header_changed;
    const kel_value own = *owner(ctx);
    if (notify && type_of(&own) == types::object && own.w3 != 0) {
        const kel_value w = *word;
        kel_value* old = stack::push_copy(slot);
        *slot_of(ctx, index) = v;
        object::call_on_change(&own, &w, old, &v);
        stack::regs.top = old;
        return slot_of(ctx, index);
    }
    *slot = v;
    return slot;
}

kel_value* set_bound(kel_value* word, const kel_value* value) { return set_in(word, value, word_context(word), true); }

kel_value* self_owner(const kel_value* word) {
    if (word_index(word) >= 0 || word_symbol(word) != words::self || word_context(word) == 0) return nullptr;
    return owner(word_context(word));
}

kel_value* get_in(const kel_value* word, uint32_t ctx) {
    if (word_index(word) < 0) {
        if (kel_value* own = self_owner(word)) return own;
        fire(error_category::script, "no-value", word);
    }
    if (ctx == 0) fire(error_category::script, "not-in-context", word);
    kel_value* slot = slot_of(ctx, word_index(word));
    if (!slot) fire(error_category::script, "not-in-context", word);
    return slot;
}

kel_value* get_bound(const kel_value* word) { return get_in(word, word_context(word)); }

kel_value* bound_slot(const kel_value* word) {
    return word_context(word) ? slot_of(word_context(word), word_index(word)) : nullptr;
}

// --- binding --------------------------------------------------------------------------------

int32_t bind_one(uint32_t ctx, kel_value* word) {
    const int32_t index = index_of(ctx, word_symbol(word), true);
    if (index >= 0) {
        word->w1 = ctx;
        word->w3 = static_cast<uint32_t>(index);
    }
    return index;
}

namespace {

// Binds the words of one block and of the blocks inside it. Nothing here
// allocates, so the finder's pointers and the block's cells stay put for the
// whole walk.
void bind_cells(const kel_value* block, uint32_t ctx, bool self, const hashtable::word_finder& finder) {
    const uint32_t node = series_node(block);
    if (cycles::find_q(node)) return;
    cycles::push(node);
    cycle_pop guard;
    const int32_t head = std::max(series_head(block), 0);
    block::modified_node(node);  // the words change their binding: a decode of the block is stale
    kel_value* const cells = block_cells(node);
    const int32_t length = block_length(node);
    for (int32_t i = head; i < length; ++i) {
        kel_value* c = cells + i;
        const uint32_t t = type_of(c);
        if (t >= types::word && t <= types::refinement) {
            if (self && t == types::word && word_symbol(c) == words::self) {
                c->w1 = ctx;
                c->w3 = static_cast<uint32_t>(-1);
            } else if (const int32_t index = finder.find(word_symbol(c)); index >= 0) {
                c->w1 = ctx;
                c->w3 = static_cast<uint32_t>(index);
            }
        } else if (in_family(t, family::block_like) && series_node(c) != 0) {
            const kel_value nested = *c;
            bind_cells(&nested, ctx, self, finder);
        }
    }
}

}  // namespace

const kel_value* bind_block(const kel_value* block, uint32_t ctx, bool self) {
    const hashtable::word_finder finder(word_table(ctx));
    bind_cells(block, ctx, self, finder);
    return block;
}

bool collect_set_words(uint32_t ctx, kel_value* block) {
    const int32_t n = block_length(series_node(block));
    if (series_head(block) > n) set_series_head(block, n);
    const int32_t before = length(ctx);
    for (int32_t i = std::max(series_head(block), 0); i < block_length(series_node(block)); ++i) {
        const kel_value c = block_cells(series_node(block))[i];
        if (type_of(&c) == types::set_word) index_or_add_word(ctx, &c);
    }
    return length(ctx) > before;
}

registry::registration row() {
    registry::registration r;
    r.id = types::context;
    r.hash = hashtable::hash_by::zero;
    r.marker = kel::collector::cell_markers::context_cell;
    r.parent = 0;
    r.name = "context!";
    return r;
}

}  // namespace kel::_context

namespace kel::context_ops {

kel_value* word_at(uint32_t ctx, int32_t index) {
    return reinterpret_cast<kel_value*>(words_buffer(ctx)->head_ptr()) + index;
}

memory::buffer_header* words_buffer(uint32_t ctx) {
    if (_context::cell(ctx)->header & _context::flag_shared_words) [[unlikely]]
        _context::own_words(ctx);
    return memory::buffer_of(_context::words_node(ctx));
}

}  // namespace kel::context_ops
