// gc_helpers: small helpers shared by the collector's unit tests.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "datatypes/block.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "tests/unit/core_builder.h"

namespace kel::gc_test {

// Overwrites the stack below the caller, so that words left there by calls
// that have returned can neither keep nor pin anything in the next collection.
__attribute__((noinline)) inline void scrub_stack() {
    volatile uint64_t area[16 * 1024];
    for (size_t i = 0; i < 16 * 1024; ++i) area[i] = 0;
    asm volatile("" : : "r"(area) : "memory");
}

// A string! buffer (unit 1) holding the bytes; answers its node.
inline uint32_t new_string(const std::string& bytes) {
    const uint32_t node = memory::new_units(static_cast<uint32_t>(bytes.size()), 1);
    if (!bytes.empty()) {
        char* p = memory::claim_tail_bytes(node, static_cast<uint32_t>(bytes.size()));
        std::memcpy(p, bytes.data(), bytes.size());
    }
    return node;
}

inline std::string bytes_of(uint32_t node) {
    memory::buffer_header* h = memory::buffer_of(node);
    return std::string(h->data() + h->head, h->used());
}

inline kel_value string_cell(uint32_t node) {
    kel_value c;
    set_series(&c, types::string, 0, node);
    return c;
}

inline kel_value block_cell(uint32_t node) {
    kel_value c;
    set_series(&c, types::block, 0, node);
    return c;
}

// A new block kept alive by the root block; the copy names it.
inline kel_value rooted_block(int32_t room) { return *block::make_at_tail(nullptr, room); }

// Collector settings restored at the end of a test.
struct checks_guard {
    uint32_t stress = collector::stress_interval();
    bool verify = collector::verify_q();
    bool active = collector::active_q();
    ~checks_guard() {
        collector::set_stress(stress);
        collector::set_verify(verify);
        collector::set_active(active);
    }
};

// Stress compaction (every unpinned buffer moves) without collections
// triggered by allocation.
constexpr uint32_t moves_only = 0x7FFFFFFFu;

// A hook that runs `probe` inside the next collections: hooks run after
// every other exact root and before the stack scan, so what is marked then
// was marked exactly.
inline std::function<void()>& probe() {
    static std::function<void()> p;
    return p;
}
inline void probe_hook() {
    if (probe()) probe()();
}
struct probe_guard {
    explicit probe_guard(std::function<void()> f) {
        static bool added = false;
        if (!added) added = collector::add_hook(probe_hook);
        probe() = std::move(f);
    }
    ~probe_guard() { probe() = nullptr; }
};

}  // namespace kel::gc_test
