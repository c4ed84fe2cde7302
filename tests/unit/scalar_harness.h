// scalar_harness: calling the scalar datatypes' action handlers the way the
// action dispatcher will: arguments pushed in a fresh native frame, the
// handler taken from the registry row of the first argument's type (a
// datatype! first argument of make/to names the type), the result read from
// the frame's base cell, a raised error caught and reported by its id.
// Results are compared as text: "integer! 5", "float! 3.5", "!overflow".
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::test {

kel_value flt(double d);
kel_value pct(double fraction);
kel_value tm(double seconds);
kel_value trip(int32_t a, int32_t b, int32_t c);
// A word! cell whose spelling the harness's spelling hook knows; installing
// the hook is what `with_words` does for the duration of a scope.
kel_value word(const char* spelling, uint32_t type = types::word);
// The hook in place before the scope comes back after it.
struct with_words {
    with_words();
    ~with_words();
    bool (*saved)(const kel_value* word, const char** text, size_t* length);
};

struct outcome {
    kel_value value;
    std::string error;  // the fired error id, "" when none fired
    bool unsupported = false;
    int32_t as_int() const { return get_integer(&value); }
    double as_float() const { return get_float(&value); }
    bool as_logic() const { return get_logic(&value); }
};

outcome call_action(int action, std::vector<kel_value> args, const refinements& refs = refinements::none());
// Refinements given as (slot, offset) pairs.
refinements refs_of(std::initializer_list<std::pair<int, int>> slots);
// round value [/to scale] [/flag]; flag: "even", "down", "half-down",
// "floor", "ceiling", "half-ceiling" or "".
outcome round(const kel_value& v, const kel_value* scale, const std::string& flag = "");
// random value [/seed] [/secure].
outcome random(const kel_value& v, bool seed = false, bool secure = false);

// "type! molded" for a value, "!id" for an error, "unsupported".
std::string show(const outcome& o);
std::string show(const kel_value& v);

// Runs body; answers "" or "!id" of the error it raised.
std::string capture(const std::function<void()>& body);

// The name of word argument i (0-based) of the last fired error, or "".
std::string last_fired_word(int i);
// The molded cell argument i of the last fired error, or "".
std::string last_fired_arg(int i);

// The compare handler of a's type.
int32_t compare(const kel_value& a, const kel_value& b, int32_t op);

// python3 -c code with `input` on its standard input; its output lines.
std::vector<std::string> python_lines(const std::string& code, const std::string& input);

// The float64 of a Python float.hex() text, or of "nan"/"inf"/"-inf".
double from_hex_text(const std::string& s);
std::string hex_text(double d);  // Python's float.hex() form

}  // namespace kel::test
