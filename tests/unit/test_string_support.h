// Helpers of the string tests: calling a string action through the registry
// the way the action dispatch will (arguments pushed, refinement offsets in
// spec order), building strings of a chosen unit, and UTF-8 for messages.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "tests/unit/core_builder.h"
#include "tests/unit/test_support.h"

namespace kel::test {

// One refinement given to an action: its index in spec order and its
// argument cells (none for a flag).
struct ref {
    int index;
    std::vector<kel_value> args;
};

// Runs action `a` of the first argument's type (for make and to, of the type
// a datatype! first argument names; or of `type` when given)
// with the arguments and refinements; returns the result cell.
inline kel_value call_action(int a, std::initializer_list<kel_value> args, std::initializer_list<ref> refs = {},
                             uint32_t type = 0) {
    stack::reset();
    const kel_value first = *args.begin();
    for (const kel_value& v : args) stack::push_copy(&v);
    refinements r = refinements::none();
    for (const ref& x : refs) {
        r.at[x.index] = static_cast<int32_t>(stack::top() - stack::arguments());
        for (const kel_value& v : x.args) stack::push_copy(&v);
    }
    if (!type) {
        // make and to dispatch on the type they make.
        const bool by_target = (a == act::make || a == act::to) && type_of(&first) == types::datatype;
        type = by_target ? get_datatype(&first) : type_of(&first);
    }
    action_fn fn = registry::handler(type, a);
    EXPECT_NE(fn, nullptr) << "action " << a;
    (void)fn(r);
    return *stack::arguments();
}

inline std::string utf8(const std::u32string& t) {
    std::string out;
    for (char32_t c : t) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline uint32_t unit_of(const kel_value& s) { return memory::buffer_of(series_node(&s))->unit(); }

// The narrowest unit able to hold every code point by the position rule.
inline uint32_t needed_unit(const std::u32string& t) {
    uint32_t u = 1;
    for (char32_t c : t) u = std::max<uint32_t>(u, unicode::unit_for_store(c));
    return u;
}

// A string at least `unit` wide holding the text.
inline kel_value text_at(const std::u32string& t, uint32_t unit = 1, uint32_t type = types::string) {
    return str(t, std::max(unit, needed_unit(t)), type);
}

// A Python literal of the text (a str built from code points).
inline std::string py_str(const std::u32string& t) {
    std::string out = "''.join(map(chr,[";
    for (char32_t c : t) out += std::to_string(static_cast<uint32_t>(c)) + ",";
    return out + "]))";
}

// Runs a Python program given on standard input (programs with generated
// cases outgrow a command-line argument); its output without the last line
// end. A failing program fails the test with its error text.
inline std::string python_program(const std::string& code) {
    process_result r = run_process({"/usr/bin/python3", "-"}, {}, code);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string out = r.out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

}  // namespace kel::test
