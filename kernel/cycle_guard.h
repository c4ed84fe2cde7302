// cycle_guard: the one runtime-wide stack of the series and contexts that a
// recursive walk (mold, form, compare, deep copy, bind, ownership) is inside.
// Before walking into a nested value a walker asks whether its node is already
// on the stack; mold and form then write a placeholder instead of recursing.
// The stack holds at most 999 entries: the push that would make 1,000 empties
// it and raises internal `too-deep`, so molding works again afterwards. The
// collector marks every node on it.
//
// Beside the guard live the small companions of the mold and conversion code:
// indentation, the /dup replicator and the checked integer argument.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/value.h"

namespace kel::cycles {

constexpr int capacity = 1000;

void init();
void push(uint32_t node);
void pop();
void pop_n(int n);
void reset();
bool find_q(uint32_t node);
int depth();
// The node a walker records for a value: an object's context, else the series.
uint32_t node_of(const kel_value* value);
// When the value's node is on the stack: appends the placeholder of its type
// ("[...]", "(...)", "#[...]", "make object! [...]", "..."), lowers *part by
// its length and answers true; else answers false and writes nothing.
bool detect_q(const kel_value* value, kel_value* buffer, int32_t* part, bool mold);
// The entries from the bottom (for the collector's marking).
const uint32_t* entries(int* count);

// A walk into a node that must not meet it again on the way down: raises
// internal `no-cycle` (emptying the stack) when the node is being walked
// already, else keeps it on the stack until the guard's end.
struct walk_guard {
    explicit walk_guard(uint32_t node);
    ~walk_guard() { pop(); }
    walk_guard(const walk_guard&) = delete;
    walk_guard& operator=(const walk_guard&) = delete;
};

}  // namespace kel::cycles

namespace kel::mold {
// Appends four spaces per level; returns the budget less 4 x level.
int32_t indent(kel_value* buffer, int32_t level, int32_t part);
}  // namespace kel::mold

namespace kel::memory {
// The first `length` bytes at `address` are repeated until length x count
// bytes are filled, by doubling; returns the address past the result.
char* replicate(char* address, size_t length, size_t count);
}  // namespace kel::memory

namespace kel::cell {
// integer! its value; float! truncated toward zero (outside the int32 range or
// NaN: script `out-of-range` with the value); anything else its word 2.
int32_t get_int_checked(const kel_value* value);
}  // namespace kel::cell
