// core_builder: a small C++ value builder and a mold-to-std::string helper for
// unit tests that build values cell by cell. `boot()` brings the runtime's
// start-up steps up once (not the script library: see runtime_env.h).
// Blocks are built in the root block (so they stay reachable) from a nested
// initializer list: b({1, 2, b({3}), none()}).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "kernel/value.h"

namespace kel::test {

void boot();

kel_value int_v(int32_t i);
kel_value none_v();
kel_value unset_v();
kel_value logic_v(bool b);
kel_value char_v(uint32_t c);
kel_value type_v(uint32_t type);
kel_value pair_v(int32_t x, int32_t y);

struct item {
    kel_value v;
    item(int i) : v(int_v(i)) {}
    item(const kel_value& x) : v(x) {}
};
// A new block! (in the root block) holding the items.
kel_value b(std::initializer_list<item> items);
kel_value block_of(const std::vector<kel_value>& cells, uint32_t type = 5);
// A string-like series (unit 1, 2 or 4) holding the code points.
kel_value str(const std::u32string& text, uint32_t unit = 1, uint32_t type = 7);
// A binary! holding the bytes.
kel_value bin(const std::vector<uint8_t>& bytes);
// The integers of a block of integers (others as INT32_MIN), from its head.
std::vector<int32_t> ints(const kel_value& block);
// The code points of a string-like series from its head.
std::u32string text(const kel_value& s);

// Molds through the action table (mold slot of the value's type), UTF-8.
std::string mold(const kel_value& v, bool all = false, bool flat = false, bool only = false);
std::string form(const kel_value& v);

}  // namespace kel::test
