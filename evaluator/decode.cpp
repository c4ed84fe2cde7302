// decode: the side table of decoded blocks (see decode.h for the rules). The
// interpreter fills and reads the terms; this module owns the table, its
// indexing from the buffer header and its upkeep across collections.
#include "evaluator/decode.h"

#include <cstdlib>

#include "kernel/collector.h"

namespace kel::decode {

bool enabled = true;
std::vector<block_decode> table(1);
void (*release_pure)(int32_t number) = nullptr;

namespace {
std::vector<uint32_t> free_entries;

void drop_pure(block_decode& d) {
    if (d.pure > 0 && release_pure) release_pure(d.pure);
    d.pure = 0;
}
}

block_decode* make_entry(uint32_t node, memory::buffer_header* h) {
    if (!enabled || h->used() / 16 > max_cells) return nullptr;
    uint32_t index = memory::decode_index_of(h);
    const uint32_t cycle = memory::root.collector_cycle;
    if (index != 0 && index < table.size() && table[index].node == node) {
        block_decode& d = table[index];
        if (d.stamp != memory::stamp_of(h) || d.cycle != cycle) [[unlikely]] {
            drop_pure(d);
            // Every term becomes stale at once; the vector only grows.
            if (++d.generation == 0) {
                d.terms.assign(d.terms.size(), term{});
                d.generation = 1;
            }
            if (d.terms.size() < h->used() / 16) d.terms.resize(h->used() / 16);
            d.stamp = memory::stamp_of(h);
            d.cycle = cycle;
        }
        return &d;
    }
    if (!free_entries.empty()) {
        index = free_entries.back();
        free_entries.pop_back();
    } else {
        index = static_cast<uint32_t>(table.size());
        table.emplace_back();
    }
    block_decode& d = table[index];
    d.node = node;
    d.stamp = memory::stamp_of(h);
    d.cycle = cycle;
    d.generation = 1;
    d.pure = 0;
    d.terms.assign(h->used() / 16, term{});
    memory::set_decode_index(h, index);
    return &d;
}

void sweep() {
    for (uint32_t i = 1; i < table.size(); ++i) {
        block_decode& d = table[i];
        if (!d.node) continue;
        if (memory::node_live_q(d.node) && memory::decode_index_of(memory::buffer_of(d.node)) == i) continue;
        d.node = 0;
        drop_pure(d);
        std::vector<term>().swap(d.terms);
        free_entries.push_back(i);
    }
}

void setup() {
    const char* off = std::getenv("KEL_NO_DECODE");
    enabled = !(off && *off && *off != '0');
    collector::set_sweep_hook(sweep);
}

size_t live_entries() {
    size_t n = 0;
    for (uint32_t i = 1; i < table.size(); ++i) n += table[i].node != 0;
    return n;
}

}  // namespace kel::decode
