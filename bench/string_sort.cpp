// Benchmark: sort 200,000 strings held in a block, the way the block sort
// compares string values (the string! compare handler with the sort order,
// folded through the case tables), once with the quick sort and once with the
// stable merge sort; also sorts the characters of one long string. Reports
// the time of each phase. bench/string_sort.py does the same work in Python
// with the same generated strings. Not run by the tests:
//   build/bench_string_sort [count]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "kernel/stack.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"
#include "kernel/sort.h"

using namespace kel;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The generator both programs share: a 32-bit linear congruential sequence.
uint32_t seed = 12345;
uint32_t next_random() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFFFF;
}

// Words of 3 to 14 letters, mixed case, with an accented letter now and then
// (so some strings are stored in 2-byte units).
std::u32string make_word() {
    static const char32_t letters[] = U"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ\u00E9\u00C9\u0107";
    const uint32_t count = sizeof letters / sizeof letters[0] - 1;
    std::u32string w;
    for (uint32_t i = 0, n = 3 + next_random() % 12; i < n; ++i) w += letters[next_random() % count];
    return w;
}

int32_t compare_strings(const void* x, const void* y, uintptr_t, uintptr_t) {
    return string::compare(static_cast<const kel_value*>(x), static_cast<const kel_value*>(y), cmp::sort);
}

// A new block (rooted in the root block) of new strings holding the words.
// Cells of the root block move when it grows, so the block is kept by value.
kel_value make_block(const std::vector<std::u32string>& words) {
    const kel_value blk = *block::make_at_tail(nullptr, static_cast<int32_t>(words.size()));
    for (const std::u32string& w : words) {
        kel_value* cell = stack::push_unset();  // rooted while it is built
        string::init_cell(cell, static_cast<uint32_t>(w.size()));
        memory::buffer_header* h = string::buffer(cell);
        for (char32_t c : w) h = string::add_char(h, c);
        block::ks_add(&blk, cell);
        stack::drop_cells(1);
    }
    return blk;
}

bool ordered(const kel_value* blk) {
    kel_value b = *blk;
    const int32_t n = block::ks_length_q(&b);
    for (int32_t i = 1; i < n; ++i)
        if (string::compare(block::ks_abs_at(&b, i - 1), block::ks_abs_at(&b, i), cmp::sort) > 0) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 200000;
    runtime::init();
    std::vector<std::u32string> words;
    for (long i = 0; i < count; ++i) words.push_back(make_word());

    const kel_value quick_block = make_block(words);
    const kel_value merge_block = make_block(words);

    auto t0 = std::chrono::steady_clock::now();
    sort::quick(block::ks_abs_at(&quick_block, 0), static_cast<size_t>(count), 16, 0, 0, compare_strings);
    const double quick_s = seconds_since(t0);

    auto t1 = std::chrono::steady_clock::now();
    if (sort::merge(block::ks_abs_at(&merge_block, 0), static_cast<size_t>(count), 16, 0, 0, compare_strings) !=
        sort::merge_result::done)
        return 1;
    const double merge_s = seconds_since(t1);

    // The characters of one long string, through the string! sort action.
    kel_value* text = stack::push_unset();
    string::init_cell(text, static_cast<uint32_t>(count) * 10);
    memory::buffer_header* h = string::buffer(text);
    for (const std::u32string& w : words)
        for (char32_t c : w) h = string::add_char(h, c);
    const int32_t chars = string::ks_length_q(text);
    auto t2 = std::chrono::steady_clock::now();
    string::sort(text, false, nullptr, nullptr, nullptr, false, false, false);
    const double chars_s = seconds_since(t2);

    if (!ordered(&quick_block) || !ordered(&merge_block)) {
        std::fprintf(stderr, "wrong result\n");
        return 1;
    }
    std::printf("kel    sort %ld strings: quick %.3f s  stable merge %.3f s;  sort %d characters: %.3f s\n", count,
                quick_s, merge_s, chars, chars_s);
    return 0;
}
