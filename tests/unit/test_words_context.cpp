// Contexts: making them, lookup by canonical symbol, get and set with their
// exact errors, the changed mark and the change hook, stack contexts while
// their function runs, deep binding through cycles, and the global words.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "datatypes/runtime_words.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

using namespace kel;

namespace {

struct WordsContext : ::testing::Test {
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
    }
};

uint32_t sym(const char* name) { return symbol::intern(name); }

kel_value word_in(uint32_t ctx, const char* name, uint32_t type = types::word) {
    const int32_t index = _context::index_of(ctx, sym(name), true);
    return kel_value{type, ctx, sym(name), static_cast<uint32_t>(index)};
}

kel_value global_word(const char* name, uint32_t type = types::word) {
    kel_value w;
    set_unset(&w);
    word::init_cell(sym(name), &w);
    set_type(&w, type);
    return w;
}

// A context of kind object holding the names, one slot each.
uint32_t object_context(std::initializer_list<const char*> names, uint32_t kind = _context::kind_object) {
    const uint32_t ctx = _context::allocate(static_cast<int32_t>(names.size()), false, false, 0, kind);
    for (const char* n : names) {
        const kel_value w{types::word, 0, sym(n), static_cast<uint32_t>(-1)};
        _context::index_or_add_word(ctx, &w);
    }
    return ctx;
}

std::string fired_word() {
    const fired_error& e = last_fired();
    if (e.argument_count < 1 || (!in_family(type_of(&e.args[0]), family::word) && type_of(&e.args[0]) != types::refinement))
        return "?";
    uint32_t n;
    const char* p = symbol::name_bytes(word_symbol(&e.args[0]), &n);
    return std::string(p, n);
}

}  // namespace

TEST_F(WordsContext, AllocateAndMakeFromSpec) {
    const uint32_t empty = _context::allocate(0, false, true, 0, _context::kind_function);
    EXPECT_EQ(_context::length(empty), 0);
    EXPECT_GE(memory::buffer_of(_context::cell(empty)->w2)->capacity, 16u);  // room for one slot
    EXPECT_EQ(_context::cell(empty)->header,
              types::context | (_context::kind_function << _context::kind_shift) | _context::flag_self);
    EXPECT_EQ(type_of(_context::owner(empty)), static_cast<uint32_t>(types::unset));
    EXPECT_EQ(hashtable::header_of(_context::word_table(empty))->n_buckets, 8u);

    kel_value spec = test::b({global_word("sa"), global_word("sb"), global_word("SA"),
                              global_word("sc", types::refinement), global_word("sd", types::get_word),
                              global_word("se", types::lit_word), global_word("sf", types::set_word), 1,
                              test::str(U"text"), global_word("sb")});
    const uint32_t ctx = _context::make_from_spec(&spec, false, false, _context::kind_function);
    EXPECT_EQ(_context::length(ctx), 5);
    const char* names[] = {"sa", "sb", "sc", "sd", "se"};
    for (int i = 0; i < 5; ++i) {
        const kel_value* w = context_ops::word_at(ctx, i);
        EXPECT_EQ(type_of(w), static_cast<uint32_t>(types::word));
        EXPECT_EQ(word_context(w), ctx);
        EXPECT_EQ(word_symbol(w), sym(names[i]));
        EXPECT_EQ(word_index(w), i);
        EXPECT_TRUE(unset_q(_context::values(ctx) + i));
    }
    EXPECT_EQ(memory::buffer_of(_context::cell(ctx)->w2)->used(), 5u * 16);
    EXPECT_EQ(_context::index_of(ctx, sym("SA"), true), 0);
    EXPECT_EQ(_context::index_of(ctx, sym("SA"), false), -1);
    EXPECT_EQ(_context::index_of(ctx, sym("sf"), true), -1);

    int32_t out = 99;
    EXPECT_EQ(_context::index_or_add(ctx, sym("sb"), true, &out), 1);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(_context::index_or_add(ctx, sym("sg"), true, &out), -1);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(_context::length(ctx), 6);
}

TEST_F(WordsContext, GetAndSetErrors) {
    const uint32_t heap = object_context({"ga", "gb"});
    const uint32_t fn = _context::allocate(2, true, false, 0, _context::kind_function);
    int32_t i;
    _context::index_or_add(fn, sym("fa"), true, &i);
    const kel_value v = test::int_v(5);
    kel_value unbound{types::word, 0, sym("nowhere"), static_cast<uint32_t>(-1)};
    kel_value in_fn = word_in(fn, "fa");
    kel_value unset_word = word_in(heap, "ga");
    kel_value refinement = words::ref_part;
    kel_value stray{types::word, 0, sym("stray"), 0};
    struct row {
        const char* what;
        std::function<void()> body;
        const char* error;
        const char* word;
    } rows[] = {
        {"get of an unbound word", [&] { _context::get_bound(&unbound); }, "no-value", "nowhere"},
        {"get of a function word while it is not running", [&] { _context::get_bound(&in_fn); }, "not-in-context", "fa"},
        {"get through context 0", [&] { _context::get_bound(&stray); }, "not-in-context", "stray"},
        {"set of a function word while it is not running", [&] { _context::set_bound(&in_fn, &v); }, "not-defined", "fa"},
        {"set of an unbound refinement", [&] { _context::set_bound(&refinement, &v); }, "not-defined", "part"},
        {"set through context 0", [&] { _context::set_in(&unbound, &v, 0, true); }, "not-defined", "nowhere"},
        {"get of an unset value", [&] { word::get(&unset_word); }, "no-value", "ga"},
        {"push-value-at without values", [&] { word::push_value_at(fn, 0); }, "not-defined", "fa"},
        {"set-from-arguments with unset", [&] {
             stack::reset();
             stack::push_copy(&unset_word);
             stack::push_unset();
             word::set_from_arguments();
         }, "need-value", "ga"},
    };
    for (const row& r : rows) {
        EXPECT_TRUE(fires(r.body, r.error)) << r.what;
        EXPECT_EQ(fired_word(), r.word) << r.what;
        EXPECT_EQ(last_fired().category, error_category::script) << r.what;
    }
    EXPECT_EQ(_context::length(fn), 1);  // nothing was added anywhere
    EXPECT_EQ(word_index(&unbound), -1);
}

TEST_F(WordsContext, SetResolvesAndAddsInHeapContexts) {
    const uint32_t ctx = object_context({"ha"});
    kel_value fresh{types::word, ctx, sym("hb"), static_cast<uint32_t>(-1)};
    const kel_value v = test::int_v(42);
    kel_value* slot = _context::set_in(&fresh, &v, ctx, false);
    EXPECT_EQ(word_index(&fresh), 1);  // written into the word
    EXPECT_EQ(_context::length(ctx), 2);
    EXPECT_EQ(get_integer(slot), 42);
    EXPECT_EQ(get_integer(_context::get_bound(&fresh)), 42);
    // Exact lookup first: a case variant of a present word finds its slot.
    kel_value variant{types::word, ctx, sym("HA"), static_cast<uint32_t>(-1)};
    _context::set_in(&variant, &v, ctx, false);
    EXPECT_EQ(word_index(&variant), 0);
    EXPECT_EQ(_context::length(ctx), 2);
    // put, add-if-absent, symbol-value.
    const kel_value hc = global_word("hc");
    const kel_value seven = test::int_v(7);
    EXPECT_NE(_context::add_if_absent(ctx, &hc, &seven), nullptr);
    EXPECT_EQ(_context::add_if_absent(ctx, &hc, &v), nullptr);
    EXPECT_EQ(get_integer(_context::symbol_value(sym("HC"), ctx)), 7);
    _context::put(ctx, &hc, &v);
    EXPECT_EQ(get_integer(_context::symbol_value(sym("hc"), ctx)), 42);
    EXPECT_EQ(_context::symbol_value(sym("nope-hd"), ctx), nullptr);
}

TEST_F(WordsContext, ChangedMarkOnlyInObjectContexts) {
    const uint32_t obj = object_context({"ca", "cb"});
    const uint32_t fn = object_context({"ca"}, _context::kind_function);
    kel_value a = word_in(obj, "ca"), b = word_in(obj, "cb"), f = word_in(fn, "ca");
    const kel_value v = test::int_v(1);
    _context::set_bound(&b, &v);
    _context::set_bound(&f, &v);
    EXPECT_FALSE(context_ops::word_at(obj, 0)->header & header_changed);
    EXPECT_TRUE(context_ops::word_at(obj, 1)->header & header_changed);
    EXPECT_FALSE(context_ops::word_at(fn, 0)->header & header_changed);
    stack::reset();
    stack::push_copy(&v);
    word::set_at(obj, 0);
    EXPECT_TRUE(context_ops::word_at(obj, 0)->header & header_changed);
    (void)a;
}

namespace {
struct change_seen {
    int calls = 0;
    uint32_t owner_context = 0, word = 0;
    int32_t old_value = 0, new_value = 0, in_place = 0;
};
change_seen seen;
uint32_t watched_context = 0;
void record_change(const kel_value* owner, const kel_value* word, const kel_value* old_value,
                   const kel_value* new_value) {
    ++seen.calls;
    seen.owner_context = owner->w1;
    seen.word = word_symbol(word);
    seen.old_value = get_integer(old_value);
    seen.new_value = get_integer(new_value);
    seen.in_place = get_integer(_context::values(watched_context) + word_index(word));
}
struct hook_guard {
    hook_guard() { object::call_on_change = record_change; }
    ~hook_guard() { object::call_on_change = [](const kel_value*, const kel_value*, const kel_value*, const kel_value*) {}; }
};
}  // namespace

TEST_F(WordsContext, ChangeHookRunsAfterTheValueIsInPlace) {
    hook_guard hook;
    const uint32_t obj = object_context({"oa", "ob"});
    watched_context = obj;
    kel_value* own = _context::owner(obj);
    *own = kel_value{types::object, obj, 0, 0};
    kel_value w = word_in(obj, "ob");
    const kel_value one = test::int_v(1), two = test::int_v(2);
    _context::set_bound(&w, &one);
    EXPECT_EQ(seen.calls, 0);  // no on-set record: no call
    _context::owner(obj)->w3 = 123;  // the owner has an on-set record now
    seen = {};
    kel_value* top = stack::top();
    _context::set_bound(&w, &two);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.owner_context, obj);
    EXPECT_EQ(seen.word, sym("ob"));
    EXPECT_EQ(seen.old_value, 1);
    EXPECT_EQ(seen.new_value, 2);
    EXPECT_EQ(seen.in_place, 2);
    EXPECT_EQ(stack::top(), top);
    _context::set_in(&w, &one, obj, false);  // without notification
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(get_integer(_context::get_bound(&w)), 1);
}

TEST_F(WordsContext, SelfUnboundYieldsTheOwner) {
    const uint32_t obj = object_context({"sx"});
    *_context::owner(obj) = kel_value{types::object, obj, 0, 0};
    const kel_value self_word{types::word, obj, words::self, static_cast<uint32_t>(-1)};
    EXPECT_EQ(_context::get_bound(&self_word), _context::owner(obj));
    const kel_value other{types::word, obj, sym("sx"), static_cast<uint32_t>(-1)};
    EXPECT_TRUE(fires([&] { _context::get_bound(&other); }, "no-value"));
    const kel_value shouting{types::word, obj, sym("SELF"), static_cast<uint32_t>(-1)};  // not exactly self
    EXPECT_TRUE(fires([&] { _context::get_bound(&shouting); }, "no-value"));
}

TEST_F(WordsContext, StackContextsFollowTheirRunningFrame) {
    stack::reset();
    const uint32_t fn = _context::allocate(2, true, false, 0, _context::kind_function);
    int32_t i;
    _context::index_or_add(fn, sym("pa"), true, &i);
    _context::index_or_add(fn, sym("pb"), true, &i);
    EXPECT_EQ(_context::values(fn), nullptr);
    EXPECT_EQ(_context::cell(fn)->w2, 0u);
    // A frame at the very bottom of the stack (offset 0) is a running frame.
    const kel_value ten = test::int_v(10), twenty = test::int_v(20);
    kel_value* first = stack::push_copy(&ten);
    stack::push_copy(&twenty);
    stack::contexts::hooks.set_values(fn, stack::offset_of(first));
    EXPECT_EQ(_context::values(fn), first);
    EXPECT_EQ(stack::contexts::hooks.get_values(fn), 0u);
    kel_value pb = word_in(fn, "pb");
    EXPECT_EQ(get_integer(_context::get_bound(&pb)), 20);
    const kel_value v = test::int_v(21);
    _context::set_bound(&pb, &v);
    EXPECT_EQ(get_integer(first + 1), 21);
    word::push_value_at(fn, 0);
    EXPECT_EQ(get_integer(stack::last_cell()), 10);
    // A word not in the frame is refused, not added.
    kel_value absent{types::word, fn, sym("pc"), static_cast<uint32_t>(-1)};
    EXPECT_TRUE(fires([&] { _context::set_bound(&absent, &v); }, "not-defined"));
    EXPECT_EQ(_context::length(fn), 2);
    // A call saves and restores the values around a recursive frame.
    stack::open_call_frame(nullptr, fn);
    kel_value* inner = stack::push_copy(&twenty);
    stack::push_copy(&twenty);
    stack::contexts::hooks.set_values(fn, stack::offset_of(inner));
    EXPECT_EQ(_context::values(fn), inner);
    stack::close_call_frame_rewind();
    EXPECT_EQ(_context::values(fn), first);
    // Not running again.
    stack::contexts::hooks.set_values(fn, 0xFFFFFFFFu);
    EXPECT_EQ(_context::values(fn), nullptr);
    EXPECT_TRUE(fires([&] { _context::get_bound(&pb); }, "not-in-context"));
}

TEST_F(WordsContext, DeepBindingThroughCycles) {
    const uint32_t ctx = object_context({"ba", "bb", "bc"});
    kel_value inner = test::b({global_word("bc"), global_word("ba", types::set_word)});
    kel_value path = test::block_of({global_word("bb"), global_word("zz")}, types::path);
    kel_value issue{types::issue, _context::global(), sym("ba"), static_cast<uint32_t>(-1)};
    kel_value outer = test::b({global_word("ba"), inner, path, issue, global_word("self"), global_word("BB", types::lit_word)});
    block::ks_add(&inner, &outer);  // inner holds outer: a cycle
    _context::bind_block(&outer, ctx, true);
    EXPECT_EQ(cycles::depth(), 0);
    struct row {
        const kel_value* cell;
        uint32_t ctx;
        int32_t index;
    } rows[] = {
        {block::ks_abs_at(&outer, 0), ctx, 0},
        {block::ks_abs_at(&inner, 0), ctx, 2},
        {block::ks_abs_at(&inner, 1), ctx, 0},
        {block::ks_abs_at(&path, 0), ctx, 1},
        {block::ks_abs_at(&path, 1), _context::global(), -2},  // not in ctx: unchanged
        {block::ks_abs_at(&outer, 3), _context::global(), -1},  // issues are skipped
        {block::ks_abs_at(&outer, 4), ctx, -1},                 // self, with the self flag
        {block::ks_abs_at(&outer, 5), ctx, 1},
    };
    for (const row& r : rows) {
        EXPECT_EQ(word_context(r.cell), r.ctx);
        if (r.index != -2) {
            EXPECT_EQ(word_index(r.cell), r.index);
        }
    }
    // Without the self flag, self is looked up like any word.
    kel_value again = test::b({global_word("self")});
    const kel_value before = *block::ks_abs_at(&again, 0);
    _context::bind_block(&again, ctx, false);
    EXPECT_EQ(std::memcmp(block::ks_abs_at(&again, 0), &before, 16), 0);
}

TEST_F(WordsContext, CollectSetWordsAndFreshCopy) {
    const uint32_t ctx = object_context({"ka"});
    kel_value blk = test::b({global_word("kb", types::set_word), 1, global_word("KA", types::set_word),
                             global_word("kc"), global_word("kd", types::set_word)});
    kel_value past = blk;
    set_series_head(&past, 9);
    EXPECT_FALSE(_context::collect_set_words(ctx, &past));
    EXPECT_EQ(series_head(&past), 5);  // clamped and written back
    EXPECT_TRUE(_context::collect_set_words(ctx, &blk));
    EXPECT_EQ(_context::length(ctx), 3);  // ka kb kd
    EXPECT_FALSE(_context::collect_set_words(ctx, &blk));

    kel_value obj{types::object, ctx, 0, 0};
    const kel_value v = test::int_v(3);
    kel_value kb = word_in(ctx, "kb");
    _context::set_bound(&kb, &v);
    const uint32_t copy = _context::fresh_copy(&obj, _context::kind_object);
    EXPECT_NE(copy, ctx);
    EXPECT_EQ(obj.w1, copy);
    EXPECT_EQ(_context::length(copy), 3);
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(word_context(context_ops::word_at(copy, i)), copy);
        EXPECT_EQ(word_symbol(context_ops::word_at(copy, i)), word_symbol(context_ops::word_at(ctx, i)));
        EXPECT_TRUE(unset_q(_context::values(copy) + i));
    }
    EXPECT_EQ(word_context(context_ops::word_at(ctx, 0)), ctx);  // the original keeps its words
    EXPECT_EQ(get_integer(_context::values(ctx) + 1), 3);
    EXPECT_EQ(_context::index_of(copy, sym("KD"), true), 2);
    kel_value more{types::word, copy, sym("ke"), static_cast<uint32_t>(-1)};
    _context::set_in(&more, &v, copy, false);
    EXPECT_EQ(_context::length(copy), 4);
    EXPECT_EQ(_context::length(ctx), 3);
}

TEST_F(WordsContext, CaseVariantsShareOneGlobalSlot) {
    const kel_value first = *word::from_c_string("Zebra-g1");
    const kel_value second = *word::from_c_string("zebra-G1");
    EXPECT_NE(word_symbol(&first), word_symbol(&second));
    EXPECT_EQ(word_index(&first), word_index(&second));
    EXPECT_EQ(word_context(&second), _context::global());
    kel_value w = second;
    const kel_value v = test::int_v(77);
    _context::set_bound(&w, &v);
    EXPECT_EQ(get_integer(_context::get_bound(&first)), 77);
    const int32_t length = _context::length(_context::global());
    const kel_value third = *_context::intern_global(sym("ZEBRA-G1"));
    EXPECT_EQ(word_index(&third), word_index(&first));
    EXPECT_EQ(word_symbol(&third), sym("ZEBRA-G1"));
    EXPECT_EQ(_context::length(_context::global()), length);  // no slot of its own
    // lookup-in: the context's own word, else the global one.
    const uint32_t ctx = object_context({"zebra-g1"});
    EXPECT_EQ(word_context(word::lookup_in(ctx, sym("zebra-g1"))), ctx);
    EXPECT_EQ(word_context(word::lookup_in(ctx, sym("Zebra-g1"))), _context::global());
}

TEST_F(WordsContext, StackContextsNeverGrowThroughPut) {
    stack::reset();
    const uint32_t fn = _context::allocate(1, true, false, 0, _context::kind_function);
    int32_t i;
    _context::index_or_add(fn, sym("qa"), true, &i);
    const kel_value one = test::int_v(1);
    kel_value* frame = stack::push_copy(&one);
    stack::contexts::hooks.set_values(fn, stack::offset_of(frame));
    const kel_value qa = global_word("qa"), qb = global_word("qb");
    const kel_value two = test::int_v(2);
    EXPECT_EQ(get_integer(_context::put(fn, &qa, &two)), 2);
    EXPECT_EQ(get_integer(frame), 2);
    EXPECT_TRUE(fires([&] { _context::put(fn, &qb, &two); }, "not-defined"));
    EXPECT_TRUE(fires([&] { _context::add_if_absent(fn, &qb, &two); }, "not-defined"));
    EXPECT_EQ(_context::length(fn), 1);
    EXPECT_EQ(stack::top(), frame + 1);
}
