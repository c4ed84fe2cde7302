// cycle_guard: a fixed array of node ids with a top index; pushes and pops are
// one store each, `find_q` is a linear search (walks are rarely deep).
#include "kernel/cycle_guard.h"

#include <cmath>
#include <cstring>

#include "kernel/heap.h"
#include "kernel/native_api.h"

namespace kel::cycles {

namespace {
uint32_t* base = nullptr;
int current = 0;
}  // namespace

void init() {
    if (!base) base = heap::allocate_array<uint32_t>(capacity);
    current = 0;
}

void push(uint32_t node) {
    base[current++] = node;
    if (current == capacity) {
        current = 0;
        fire(error_category::internal, "too-deep");
    }
}

void pop() {
    if (current > 0) --current;
}

walk_guard::walk_guard(uint32_t node) {
    if (find_q(node)) {
        reset();
        fire(error_category::internal, "no-cycle");
    }
    push(node);
}

void pop_n(int n) { current = n >= current ? 0 : current - n; }

void reset() { current = 0; }

bool find_q(uint32_t node) {
    for (int i = 0; i < current; ++i)
        if (base[i] == node) return true;
    return false;
}

int depth() { return current; }

uint32_t node_of(const kel_value* value) {
    return type_of(value) == types::object ? value->w1 : series_node(value);
}

bool detect_q(const kel_value* value, kel_value* buffer, int32_t* part, bool mold) {
    if (!find_q(node_of(value))) return false;
    const char* text = "...";
    if (mold) {
        switch (type_of(value)) {
            case types::block:
            case types::hash: text = "[...]"; break;
            case types::paren: text = "(...)"; break;
            case types::map: text = "#[...]"; break;
            case types::object: text = "make object! [...]"; break;
            default: break;
        }
    }
    size_t n = std::strlen(text);
    text_out::append(buffer, text, n);
    *part -= static_cast<int32_t>(n);
    return true;
}

const uint32_t* entries(int* count) {
    *count = current;
    return base;
}

}  // namespace kel::cycles

namespace kel::mold {
int32_t indent(kel_value* buffer, int32_t level, int32_t part) {
    for (int32_t i = 0; i < level; ++i) text_out::append(buffer, "    ", 4);
    return part - 4 * (level > 0 ? level : 0);
}
}  // namespace kel::mold

namespace kel::memory {
char* replicate(char* address, size_t length, size_t count) {
    const size_t total = length * count;
    size_t done = length;
    if (count == 0 || length == 0) return address;  // nothing to double from
    while (total - done >= done) {
        std::memcpy(address + done, address, done);
        done *= 2;
    }
    if (done < total) std::memcpy(address + done, address, total - done);
    return address + total;
}
}  // namespace kel::memory

namespace kel::cell {
int32_t get_int_checked(const kel_value* value) {
    switch (type_of(value)) {
        case types::integer: return get_integer(value);
        case types::float_: {
            const double d = get_float(value);
            if (!int32_range_q(d)) fire(error_category::script, "out-of-range", value);
            return truncate_int32(d);
        }
        default: return static_cast<int32_t>(value->w2);
    }
}
}  // namespace kel::cell
