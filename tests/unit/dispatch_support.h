// dispatch_support: calling generic action entries from unit tests (arguments
// pushed in a native mark, refinement slots set as the interpreter would),
// swapping a handler slot for the length of a test, and word cells for
// naming marks.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "kernel/actions.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"

namespace kel::test {

inline kel_value word_v(uint32_t symbol, uint32_t context = 0) {
    kel_value w;
    init_cell(&w, types::word);
    w.w1 = context;
    w.w2 = symbol;
    w.w3 = 0;
    return w;
}

// One call of an entry: call(name).arg(x).ref(slot, y).flag(slot).run(entry).
struct entry_call {
    kel_value* base;
    refinements refs = refinements::none();

    explicit entry_call(const kel_value* name = nullptr) {
        stack::open_native_frame(name);
        base = stack::arguments();
    }
    int32_t offset() const { return static_cast<int32_t>(stack::top() - base); }
    entry_call& arg(const kel_value& v) {
        stack::push_copy(&v);
        return *this;
    }
    entry_call& flag(int slot) {
        refs.at[slot] = offset();
        return *this;
    }
    entry_call& ref(int slot, const kel_value& v) {
        refs.at[slot] = offset();
        stack::push_copy(&v);
        return *this;
    }
    // Runs the entry; answers the base cell and closes the mark.
    kel_value run(action_fn entry, signal_code expect = signal_code::none) {
        const signal_code c = entry(refs);
        EXPECT_EQ(c, expect);
        const kel_value r = *base;
        stack::close_frame_discard();
        return r;
    }
};

// Puts `fn` into a slot of the action table until the end of the scope.
struct slot_swap {
    registry::slot* s;
    registry::slot saved;
    slot_swap(uint32_t type, int action)
        : s(&registry::action_table[type * act::row_stride + static_cast<uint32_t>(action) - 1]), saved(*s) {}
    slot_swap(uint32_t type, int action, action_fn fn) : slot_swap(type, action) { s->stack = fn; }
    slot_swap(uint32_t type, int action, path_fn fn) : slot_swap(type, action) { s->path = fn; }
    slot_swap(uint32_t type, int action, compare_fn fn) : slot_swap(type, action) { s->compare = fn; }
    ~slot_swap() { *s = saved; }
};

// Every test starts and ends with empty stacks.
struct dispatch_test : ::testing::Test {
    void SetUp() override {
        boot();
        stack::reset();
    }
    void TearDown() override { stack::reset(); }
};

// The molded text of a string! value (ASCII).
inline std::string ascii(const kel_value& s) {
    std::string out;
    for (char32_t c : text(s)) out += static_cast<char>(c);
    return out;
}

}  // namespace kel::test
