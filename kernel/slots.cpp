// slots: see slots.h. The table is a block! cell held by this module (its
// buffer lives in a series frame and moves like any other); the free map is
// a heap array of one byte per slot.
#include "kernel/slots.h"

#include "kernel/collector.h"
#include "kernel/heap.h"
#include "kernel/series_memory.h"

namespace kel::slot_table {
namespace {

kel_value table{};  // block! over the slots
uint32_t slot_capacity = 0;
int32_t free_head = -1;
uint8_t* free_map = nullptr;

kel_value* cells() {
    memory::buffer_header* h = memory::buffer_of(series_node(&table));
    return reinterpret_cast<kel_value*>(h->data() + h->head);
}

// Chains slots first..last (0-based, inclusive) free; the last ends the chain.
void chain_free(uint32_t first, uint32_t last) {
    kel_value* c = cells();
    for (uint32_t i = first; i <= last; ++i) {
        set_integer(&c[i], i == last ? -1 : static_cast<int32_t>(i + 1));
        free_map[i] = 1;
    }
}

bool valid(int32_t slot) { return slot >= 1 && static_cast<uint32_t>(slot) <= slot_capacity; }

}  // namespace

void init() {
    if (slot_capacity) return;
    const uint32_t node = memory::new_cells(initial_capacity);
    memory::buffer_header* h = memory::buffer_of(node);
    h->tail = h->head + initial_capacity * 16;
    set_series(&table, types::block, 0, node);
    free_map = static_cast<uint8_t*>(heap::allocate_zeroed(initial_capacity));
    slot_capacity = initial_capacity;
    chain_free(0, slot_capacity - 1);
    free_head = 0;
}

int32_t take(const kel_value* value) {
    init();
    const kel_value v = *value;  // growth may move the buffer the value lies in
    if (free_head == -1) {
        const uint32_t old = slot_capacity;
        const uint32_t node = series_node(&table);
        memory::buffer_header* h = memory::expand_buffer(memory::buffer_of(node), old * 2 * 16);
        h->tail = h->head + old * 2 * 16;
        free_map = static_cast<uint8_t*>(heap::resize(free_map, old * 2));
        slot_capacity = old * 2;
        chain_free(old, slot_capacity - 1);
        free_head = static_cast<int32_t>(old);
    }
    const int32_t index = free_head;
    kel_value* c = cells() + index;
    free_head = get_integer(c);
    *c = v;
    free_map[index] = 0;
    return index + 1;
}

void release(int32_t slot) {
    if (!valid(slot) || free_map[slot - 1]) return;
    set_integer(cells() + (slot - 1), free_head);
    free_map[slot - 1] = 1;
    free_head = slot - 1;
}

kel_value* cell_at(int32_t slot) { return valid(slot) ? cells() + (slot - 1) : nullptr; }

bool taken_q(int32_t slot) { return valid(slot) && !free_map[slot - 1]; }

uint32_t capacity() { return slot_capacity; }

void mark() {
    if (slot_capacity) collector::mark_block(series_node(&table));
}

}  // namespace kel::slot_table
