// bitset!: a model (membership of a finite range of bits plus the flag for
// every bit beyond it) checked by the membership of random code points after
// each operation of random sequences; the storage invariant past the tail;
// and tables of the spec dialect, molds, set operations and errors.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

using namespace kel;
using test::b;
using test::char_v;
using test::int_v;

namespace {

constexpr uint32_t not_symbol = 0x7101;
constexpr uint32_t dash_symbol = 0x7102;
const kel_value not_word{types::word, 0, not_symbol, 0};
const kel_value dash{types::word, 0, dash_symbol, 0};

// The dialect words are the process's own: later tests in the same process
// (a library boot among them) must find the real ones again.
struct Bitset : ::testing::Test {
    bitset::dialect_words saved;
    void SetUp() override {
        test::boot();
        stack::reset();
        cycles::reset();
        saved = bitset::dialect;
        bitset::dialect.not_word = not_symbol;
        bitset::dialect.range_word = dash_symbol;
    }
    void TearDown() override { bitset::dialect = saved; }
};

kel_value make(const kel_value& spec, int mode = bitset::error_mode::make) {
    kel_value* holder = block::make_at_tail(nullptr, 1);  // kept in the root block
    bitset::make_from(holder, &spec, mode);
    return *holder;
}

std::vector<uint8_t> bytes_of(const kel_value& bs) {
    return std::vector<uint8_t>(bitset::bits(&bs), bitset::tail(&bs));
}

bool member(const kel_value& bs, int64_t bit) {
    kel_value i = int_v(static_cast<int32_t>(bit));
    return bitset::pick(&bs, &i);
}

// Every byte from the tail to the capacity holds the flag's byte.
bool invariant_holds(const kel_value& bs) {
    memory::buffer_header* h = memory::buffer_of(series_node(&bs));
    const uint8_t fill = (h->flags & memory::flag_complemented) ? 0xFF : 0x00;
    for (uint32_t i = h->tail; i < h->capacity; ++i)
        if (static_cast<uint8_t>(h->data()[i]) != fill) return false;
    return true;
}

kel_value set_op(int32_t op, const kel_value& x, const kel_value& y) {
    stack::reset();
    stack::push_copy(&x);
    stack::push_copy(&y);
    kel_value r = *bitset::set_operation(op);
    kel_value* holder = block::make_at_tail(nullptr, 1);
    *holder = r;
    stack::reset();
    return r;
}

// The model: bits below `limit` one by one, and one flag for all above.
constexpr int limit = 400;
struct model {
    std::vector<bool> bits = std::vector<bool>(limit, false);
    bool beyond = false;
    bool has(int64_t i) const { return i < 0 ? false : (i < limit ? bits[static_cast<size_t>(i)] : beyond); }
};

model combine(int32_t op, const model& x, const model& y) {
    auto f = [op](bool a, bool c) {
        switch (op) {
            case 5: case 9: return a || c;
            case 6: case 10: return a && c;
            case 7: case 12: return a != c;
            default: return a && !c;
        }
    };
    model m;
    for (int i = 0; i < limit; ++i) m.bits[static_cast<size_t>(i)] = f(x.bits[static_cast<size_t>(i)], y.bits[static_cast<size_t>(i)]);
    m.beyond = f(x.beyond, y.beyond);
    return m;
}

struct generated_spec {
    kel_value spec;
    std::vector<int> named;  // the bits it names
};

// A random spec block: integers, chars, ranges of either, strings of unit 1, 2 or 4.
generated_spec random_spec(std::mt19937& rng) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    generated_spec g;
    std::vector<kel_value> cells;
    for (int n = pick(5); n > 0; --n) {
        switch (pick(4)) {
            case 0: {
                const int x = pick(300);
                cells.push_back(int_v(x));
                g.named.push_back(x);
                break;
            }
            case 1: {
                const int x = pick(300);
                cells.push_back(char_v(static_cast<uint32_t>(x)));
                g.named.push_back(x);
                break;
            }
            case 2: {
                const int lo = pick(300), hi = lo + pick(40);
                const bool chars = pick(2) == 0;
                cells.push_back(chars ? char_v(static_cast<uint32_t>(lo)) : int_v(lo));
                cells.push_back(dash);
                cells.push_back(chars ? char_v(static_cast<uint32_t>(hi)) : int_v(hi));
                for (int i = lo; i <= hi; ++i) g.named.push_back(i);
                break;
            }
            default: {
                const uint32_t unit = 1u << pick(3);
                std::u32string text;
                for (int k = pick(4); k > 0; --k) {
                    const int x = pick(unit == 1 ? 256 : 300);  // what the unit can hold
                    text.push_back(static_cast<char32_t>(x));
                    g.named.push_back(x);
                }
                cells.push_back(test::str(text, unit));
                break;
            }
        }
    }
    g.spec = test::block_of(cells);
    return g;
}

kel_value negated(const kel_value& spec) {
    std::vector<kel_value> cells{not_word};
    kel_value s = spec;
    for (int32_t i = 0; i < block::ks_length_q(&s); ++i) cells.push_back(*block::ks_abs_at(&s, i));
    return test::block_of(cells);
}

}  // namespace

TEST_F(Bitset, RandomOperationsAgreeWithTheModel) {
    std::mt19937 rng(314);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const int32_t ops[] = {5, 6, 7, 9, 10, 11, 12};
    for (int run = 0; run < 60; ++run) {
        kel_value x = make(b({})), y = make(b({}));
        model mx, my;
        for (int step = 0; step < 25; ++step) {
            const int action = pick(9);
            generated_spec g = random_spec(rng);
            switch (action) {
                case 0: {  // make, plain or after `not`
                    const bool neg = pick(2) == 0;
                    x = make(neg ? negated(g.spec) : g.spec);
                    mx = model{};
                    mx.beyond = neg;
                    for (int i = 0; i < limit; ++i) mx.bits[static_cast<size_t>(i)] = neg;
                    for (int i : g.named) mx.bits[static_cast<size_t>(i)] = !neg;
                    break;
                }
                case 1:
                    bitset::append(&x, &g.spec);
                    for (int i : g.named) mx.bits[static_cast<size_t>(i)] = true;
                    break;
                case 2:
                    bitset::remove(&x, &g.spec);
                    for (int i : g.named) mx.bits[static_cast<size_t>(i)] = false;
                    break;
                case 3: {
                    const bool on = pick(2) == 0;
                    kel_value value = on ? test::logic_v(true) : int_v(0);
                    bitset::poke(&x, &g.spec, &value);
                    for (int i : g.named) mx.bits[static_cast<size_t>(i)] = on;
                    break;
                }
                case 4: {
                    kel_value* out = block::make_at_tail(nullptr, 1);
                    bitset::complement(&x, out);
                    x = *out;
                    for (int i = 0; i < limit; ++i) mx.bits[static_cast<size_t>(i)] = !mx.bits[static_cast<size_t>(i)];
                    mx.beyond = !mx.beyond;
                    break;
                }
                case 5: {
                    const int32_t op = ops[pick(7)];
                    const bool swap = pick(2) == 0;
                    x = swap ? set_op(op, y, x) : set_op(op, x, y);
                    mx = swap ? combine(op, my, mx) : combine(op, mx, my);
                    break;
                }
                case 6: {
                    const bool neg = pick(2) == 0;
                    y = make(neg ? negated(g.spec) : g.spec);
                    my = model{};
                    my.beyond = neg;
                    for (int i = 0; i < limit; ++i) my.bits[static_cast<size_t>(i)] = neg;
                    for (int i : g.named) my.bits[static_cast<size_t>(i)] = !neg;
                    break;
                }
                case 7:
                    // clear: every stored bit takes the flag's value.
                    bitset::clear(&x);
                    for (int i = 0; i < limit; ++i)
                        if (i < bitset::byte_length(&x) * 8) mx.bits[static_cast<size_t>(i)] = mx.beyond;
                    break;
                default: {
                    kel_value* out = block::make_at_tail(nullptr, 1);
                    bitset::copy(&x, out);
                    EXPECT_NE(series_node(out), series_node(&x));
                    EXPECT_EQ(bitset::compare(out, &x, cmp::equal), 0);
                    y = *out;
                    my = mx;
                    break;
                }
            }
            ASSERT_TRUE(invariant_holds(x)) << "run " << run << " step " << step << " action " << action;
            for (int probe = 0; probe < 60; ++probe) {
                const int64_t bit = probe < 40 ? pick(limit) : pick(1 << 21);
                ASSERT_EQ(member(x, bit), mx.has(bit))
                    << "run " << run << " step " << step << " action " << action << " bit " << bit;
            }
            ASSERT_EQ(member(x, 0x10FFFF), mx.beyond);
        }
    }
}

TEST_F(Bitset, SizesBytesAndMolds) {
    struct row {
        kel_value spec;
        std::vector<uint8_t> bytes;
        const char* mold;
    };
    kel_value f10;
    set_float(&f10, 10.9);
    const row rows[] = {
        {int_v(10), {0, 0}, "make bitset! #{0000}"},
        {f10, {0, 0}, "make bitset! #{0000}"},
        {int_v(0), {}, "make bitset! #{}"},
        {char_v('A'), {0, 0, 0, 0, 0, 0, 0, 0, 0x40}, "make bitset! #{000000000000000040}"},
        {test::block_of({not_word, char_v('A')}), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBF},
         "make bitset! [not #{000000000000000040}]"},
        {test::block_of({char_v('a'), dash, char_v('c')}), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x70},
         "make bitset! #{00000000000000000000000070}"},
        {test::block_of({int_v(0), int_v(9)}), {0x80, 0x40}, "make bitset! #{8040}"},
        {test::bin({0x40, 0x01}), {0x40, 0x01}, "make bitset! #{4001}"},
        {test::block_of({not_word, test::bin({0x40})}), {0xBF}, "make bitset! [not #{40}]"},
        {test::block_of({not_word}), {}, "make bitset! [not #{}]"},
    };
    for (const row& r : rows) {
        kel_value bs = make(r.spec);
        EXPECT_EQ(bytes_of(bs), r.bytes) << r.mold;
        EXPECT_EQ(test::mold(bs), r.mold);
        EXPECT_EQ(test::form(bs), r.mold);
        EXPECT_TRUE(invariant_holds(bs)) << r.mold;
    }
    // The complemented A: not a member itself, every code point beyond its bytes is.
    kel_value not_a = make(test::block_of({not_word, char_v('A')}));
    EXPECT_FALSE(member(not_a, 'A'));
    EXPECT_TRUE(member(not_a, 'B'));
    EXPECT_TRUE(member(not_a, 1000));
    EXPECT_FALSE(member(not_a, -1));  // no negative number is a member
    kel_value minus = int_v(-1);
    EXPECT_FALSE(bitset::pick(&not_a, &minus));
    // Strings of every unit width name their code points.
    for (uint32_t unit : {1u, 2u, 4u}) {
        std::u32string text = unit == 1 ? U"az\xE9" : (unit == 2 ? U"a\u20AC" : U"a\U0001F600");
        kel_value bs = make(test::str(text, unit));
        for (char32_t c : text) EXPECT_TRUE(member(bs, c)) << unit;
        EXPECT_FALSE(member(bs, 'b'));
        kel_value s = test::str(text, unit);
        EXPECT_TRUE(bitset::pick(&bs, &s));
    }
}

TEST_F(Bitset, SetOperationsAndComplements) {
    kel_value one = make(int_v(8)), three = make(int_v(24));
    kel_value bit1 = int_v(1), bit20 = int_v(20);
    bitset::append(&one, &bit1);
    bitset::append(&three, &bit20);
    kel_value unioned = set_op(9, one, three);
    EXPECT_EQ(bitset::byte_length(&unioned), 3);
    kel_value anded = set_op(6, one, three);
    EXPECT_EQ(bitset::byte_length(&anded), 1);  // and~ keeps the common bytes
    kel_value inter = set_op(10, one, three);
    EXPECT_EQ(bytes_of(inter), (std::vector<uint8_t>{0, 0, 0}));  // intersect keeps the length
    EXPECT_EQ(bytes_of(set_op(11, three, one)), (std::vector<uint8_t>{0, 0, 0x08}));
    EXPECT_EQ(bytes_of(set_op(12, one, three)), (std::vector<uint8_t>{0x40, 0, 0x08}));
    // unique answers the first argument itself.
    stack::reset();
    stack::push_copy(&one);
    EXPECT_EQ(series_node(bitset::set_operation(8)), series_node(&one));

    // Complemented operands combine exactly: the union of "all but a" and
    // "all but b" holds every code point, their intersection neither a nor b.
    kel_value not_a = make(test::block_of({not_word, test::str(U"a")}));
    kel_value not_b = make(test::block_of({not_word, test::str(U"b")}));
    kel_value u = set_op(9, not_a, not_b);
    for (int c : {97, 98, 99, 0, 5000}) EXPECT_TRUE(member(u, c)) << c;
    kel_value i = set_op(10, not_a, not_b);
    EXPECT_FALSE(member(i, 'a'));
    EXPECT_FALSE(member(i, 'b'));
    EXPECT_TRUE(member(i, 'c'));
    EXPECT_TRUE(member(i, 5000));
    // and~ with a complemented shorter operand keeps the longer one's bytes.
    kel_value plain_long = make(int_v(40));
    kel_value bit30 = int_v(30);
    bitset::append(&plain_long, &bit30);
    kel_value and_result = set_op(6, not_a, plain_long);
    EXPECT_TRUE(member(and_result, 30));
    // and~ of two plain sets keeps only the common bytes.
    kel_value anded_plain = set_op(6, plain_long, one);
    EXPECT_EQ(bitset::byte_length(&anded_plain), 1);

    // Complementing twice gives the original bytes and flag.
    kel_value* c1 = block::make_at_tail(nullptr, 1);
    bitset::complement(&not_a, c1);
    EXPECT_FALSE(bitset::complemented_q(c1));
    EXPECT_TRUE(member(*c1, 'a'));
    kel_value* c2 = block::make_at_tail(nullptr, 1);
    bitset::complement(c1, c2);
    EXPECT_EQ(bytes_of(*c2), bytes_of(not_a));
    EXPECT_TRUE(bitset::complemented_q(c2));
    EXPECT_TRUE(invariant_holds(*c2));

    // The second operand must be a bitset.
    stack::reset();
    stack::push_copy(&one);
    kel_value n = int_v(3);
    stack::push_copy(&n);
    EXPECT_TRUE(fires([] { bitset::set_operation(9); }, "invalid-type"));
    EXPECT_EQ(get_datatype(&last_fired().args[0]), static_cast<uint32_t>(types::integer));
}

TEST_F(Bitset, ChangesKeepMembershipExact) {
    // Clearing a complemented bitset leaves its bytes 0xFF and its length.
    kel_value not_a = make(test::block_of({not_word, char_v('A')}));
    bitset::clear(&not_a);
    EXPECT_EQ(bytes_of(not_a), std::vector<uint8_t>(9, 0xFF));
    // remove/part on a complemented set removes the named members.
    kel_value not_b = make(test::block_of({not_word, char_v('b')}));
    kel_value far = int_v(5000);
    bitset::remove(&not_b, &far);
    EXPECT_FALSE(member(not_b, 5000));
    EXPECT_TRUE(member(not_b, 4999));
    EXPECT_TRUE(member(not_b, 5001));
    EXPECT_TRUE(invariant_holds(not_b));
    EXPECT_TRUE(fires([&] { bitset::remove(&not_b, nullptr); }, "missing-arg"));
    // A range reaching past the tail of a complemented set still sets the
    // stored bits it covers.
    kel_value not_97 = make(test::block_of({not_word, int_v(97)}));
    kel_value range = test::block_of({int_v(90), dash, int_v(200)});
    bitset::append(&not_97, &range);
    EXPECT_TRUE(member(not_97, 97));
    // ... and a range past the tail of a plain set still clears its stored bits.
    kel_value low = make(test::block_of({int_v(0), dash, int_v(20)}));
    kel_value clear_range = test::block_of({int_v(10), dash, int_v(100)});
    bitset::remove(&low, &clear_range);
    EXPECT_TRUE(member(low, 9));
    EXPECT_FALSE(member(low, 15));
    EXPECT_FALSE(member(low, 20));
    // A string tested against a complemented set: every code point counts.
    kel_value text = test::str(U"\u20ACb", 2);
    EXPECT_FALSE(bitset::pick(&not_b, &text));
    // poke: none, false, 0 and 0.0 clear; anything else sets.
    kel_value bs = make(int_v(8));
    kel_value zero_f;
    set_float(&zero_f, 0.0);
    struct row {
        kel_value value;
        bool set;
    };
    const row rows[] = {{test::logic_v(true), true}, {test::none_v(), false}, {int_v(2), true},
                        {test::logic_v(false), false}, {char_v('x'), true},   {zero_f, false},
                        {int_v(1), true},              {int_v(0), false}};
    kel_value three = int_v(3);
    for (const row& r : rows) {
        bitset::poke(&bs, &three, &r.value);
        EXPECT_EQ(member(bs, 3), r.set);
    }
    // Growth by single bits upwards keeps everything.
    kel_value grow = make(b({}));
    for (int i = 0; i < 3000; i += 7) {
        kel_value bit = int_v(i);
        bitset::append(&grow, &bit);
    }
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(member(grow, i), i % 7 == 0) << i;
    EXPECT_TRUE(invariant_holds(grow));
}

TEST_F(Bitset, CompareAndPartBudget) {
    kel_value a = make(char_v('A')), a2 = make(char_v('A')), c = make(char_v('C'));
    EXPECT_EQ(bitset::compare(&a, &a2, cmp::equal), 0);
    EXPECT_EQ(bitset::compare(&a, &a2, cmp::same), 1);
    EXPECT_EQ(bitset::compare(&a, &a, cmp::same), 0);
    EXPECT_EQ(bitset::compare(&a, &c, cmp::lesser), 1);  // 0x40 > 0x10 in the last byte
    EXPECT_EQ(bitset::compare(&c, &a, cmp::lesser), -1);
    kel_value shorter = make(int_v(8));
    EXPECT_EQ(bitset::compare(&shorter, &a, cmp::equal), -1);
    kel_value one = int_v(1);
    EXPECT_EQ(bitset::compare(&a, &one, cmp::equal), cmp::not_comparable);
    // The empty set and the set of everything are not equal.
    kel_value nothing = make(b({}));
    kel_value everything = make(test::block_of({not_word}));
    EXPECT_EQ(bitset::compare(&nothing, &everything, cmp::equal), -1);
    EXPECT_EQ(bitset::compare(&everything, &nothing, cmp::equal), 1);

    // A part limit: the hex digits stop after the byte that spends the budget.
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    kel_value limit = int_v(17);
    const int32_t left = bitset::form(&a, buffer, &limit, 17);
    std::string text;
    for (char32_t ch : test::text(*buffer)) text += static_cast<char>(ch);
    EXPECT_EQ(text, "make bitset! #{0000");  // 13 + 2, then 2 per byte until below 0
    EXPECT_EQ(left, -2);
}

TEST_F(Bitset, Errors) {
    struct row {
        kel_value spec;
        int mode;
        const char* id;
    };
    kel_value nan;
    set_float(&nan, std::nan(""));
    const row rows[] = {
        {int_v(-1), bitset::error_mode::make, "out-of-range"},
        {int_v(10), bitset::error_mode::to, "bad-to-arg"},
        {test::none_v(), bitset::error_mode::make, "bad-make-arg"},
        {test::none_v(), bitset::error_mode::to, "bad-to-arg"},
        {nan, bitset::error_mode::make, "out-of-range"},
        {test::block_of({int_v(-3)}), bitset::error_mode::make, "out-of-range"},
        {test::block_of({char_v('a'), dash, int_v(99)}), bitset::error_mode::make, "invalid-arg"},
        {test::block_of({char_v('a'), dash}), bitset::error_mode::make, "past-end"},
        {test::block_of({int_v(9), dash, int_v(3)}), bitset::error_mode::make, "past-end"},
        {test::block_of({test::none_v()}), bitset::error_mode::make, "bad-make-arg"},
    };
    for (const row& r : rows) {
        kel_value out;
        EXPECT_TRUE(fires([&] { bitset::make_from(&out, &r.spec, r.mode); }, r.id)) << r.id;
    }
    // A binary in a spec block names its set bits, as a binary spec does.
    EXPECT_EQ(bytes_of(make(test::block_of({test::bin({1, 0})}))), (std::vector<uint8_t>{0x01, 0x00}));
    kel_value bs = make(int_v(8));
    kel_value none = test::none_v();
    EXPECT_TRUE(fires([&] { bitset::append(&bs, &none); }, "invalid-arg"));
    kel_value minus = int_v(-4);
    EXPECT_TRUE(fires([&] { bitset::append(&bs, &minus); }, "out-of-range"));
}

TEST_F(Bitset, RowAndStackHandlers) {
    EXPECT_STREQ(registry::type_name(types::bitset), "bitset!");
    EXPECT_EQ(registry::slot_at(types::bitset, act::insert).any, registry::slot_at(types::bitset, act::append).any);
    EXPECT_EQ(registry::slot_at(types::bitset, act::negate).any,
              registry::slot_at(types::bitset, act::complement).any);
    for (int a : {act::add, act::at, act::sort, act::take, act::select})
        EXPECT_FALSE(registry::supported(types::bitset, a)) << a;

    // make bitset! [#"a" - #"c"] through the stack entry, then find, length?, and the path step.
    stack::reset();
    kel_value type = test::type_v(types::bitset);
    kel_value spec = test::block_of({char_v('a'), dash, char_v('c')});
    stack::push_copy(&type);
    stack::push_copy(&spec);
    ASSERT_EQ(registry::handler(types::bitset, act::make)(refinements::none()), signal_code::none);
    kel_value bs = *stack::arguments();
    ASSERT_EQ(type_of(&bs), types::bitset);
    block::ks_add(block::root(), &bs);
    struct row {
        kel_value probe;
        bool found;
    };
    const row rows[] = {{char_v('b'), true}, {char_v('d'), false}, {int_v(97), true}, {test::str(U"abc"), true}};
    for (const row& r : rows) {
        stack::reset();
        stack::push_copy(&bs);
        stack::push_copy(&r.probe);
        ASSERT_EQ(registry::handler(types::bitset, act::find)(refinements::none()), signal_code::none);
        EXPECT_EQ(type_of(stack::arguments()), r.found ? types::logic : types::none);
    }
    stack::reset();
    stack::push_copy(&bs);
    ASSERT_EQ(registry::handler(types::bitset, act::length_q)(refinements::none()), signal_code::none);
    EXPECT_EQ(get_integer(stack::arguments()), 104);

    kel_value out;
    kel_value elem = char_v('c');
    path_step_args get{&bs, &elem, nullptr, nullptr, nullptr, nullptr, 1, true, false, &out};
    ASSERT_EQ(registry::path_handler(types::bitset)(get), signal_code::none);
    EXPECT_TRUE(get_logic(&out));
    kel_value off = test::logic_v(false);
    path_step_args put = get;
    put.value_to_set = &off;
    ASSERT_EQ(registry::path_handler(types::bitset)(put), signal_code::none);
    EXPECT_FALSE(member(bs, 'c'));
    kel_value wrong = test::none_v();
    path_step_args bad = get;
    bad.element = &wrong;
    EXPECT_TRUE(fires([&] { (void)registry::path_handler(types::bitset)(bad); }, "invalid-type"));
    // remove without /part through the entry.
    stack::reset();
    stack::push_copy(&bs);
    EXPECT_TRUE(fires([] { (void)registry::handler(types::bitset, act::remove)(refinements::none()); }, "missing-arg"));
}
