// handles: see handles.h. The entry table and the kind table are heap blocks;
// the pending releases are a reused heap list.
#include "kernel/handles.h"

#include "kernel/collector.h"
#include "kernel/heap.h"

namespace kel::externals {
namespace {

kind_record* kinds = nullptr;
uint32_t kind_count = 0;
handle_entry* entries = nullptr;
uint32_t entry_capacity = 0;
int32_t free_head = end_of_list;
int32_t live_head = end_of_list;

struct pending_release {
    uint32_t kind;
    uintptr_t data;
};
collector::detail::heap_list<pending_release> pending;
bool releasing = false;

// Chains entries first..last (inclusive) as free, the last ending the list.
void link_free(uint32_t first, uint32_t last) {
    for (uint32_t i = first; i <= last; ++i) {
        entries[i].kind = flag_free;
        entries[i].data = 0;
        entries[i].next = i == last ? end_of_list : static_cast<int32_t>(i + 1);
    }
}

bool valid_index(int32_t index) { return index >= 0 && static_cast<uint32_t>(index) < entry_capacity; }

handle_entry* live_entry(int32_t index) {
    if (!valid_index(index)) return nullptr;
    handle_entry* e = &entries[index];
    return (e->kind & flag_free) ? nullptr : e;
}

void unlink_live(int32_t index) {
    if (live_head == index) {
        live_head = entries[index].next;
        return;
    }
    for (int32_t j = live_head; j != end_of_list; j = entries[j].next)
        if (entries[j].next == index) {
            entries[j].next = entries[index].next;
            return;
        }
}

void push_free(int32_t index) {
    entries[index].kind = flag_free;
    entries[index].data = 0;
    entries[index].next = free_head;
    free_head = index;
}

}  // namespace

void init() {
    if (entries) return;
    kinds = heap::allocate_array<kind_record>(kind_capacity);
    kind_count = 0;
    entry_capacity = initial_capacity;
    entries = heap::allocate_array<handle_entry>(entry_capacity);
    link_free(0, entry_capacity - 1);
    free_head = 0;
    live_head = end_of_list;
}

uint32_t register_kind(const char* name, release_fn release) {
    init();
    if (kind_count >= kind_capacity) return 0;
    kinds[kind_count] = kind_record{name, release};
    return ++kind_count;
}

const kind_record* kind_of_number(uint32_t number) {
    return number >= 1 && number <= kind_count ? &kinds[number - 1] : nullptr;
}

int32_t store(uintptr_t data, uint32_t kind_word) {
    init();
    const int32_t index = free_head;
    if (entries[index].next == end_of_list) {
        // The last free entry: double the table first, so the list never empties.
        const uint32_t old = entry_capacity;
        entry_capacity = old * 2;
        entries = static_cast<handle_entry*>(heap::resize(entries, sizeof(handle_entry) * entry_capacity));
        link_free(old, entry_capacity - 1);
        entries[index].next = static_cast<int32_t>(old);
    }
    handle_entry& e = entries[index];
    free_head = e.next;
    e.kind = kind_word & ~(flag_free | flag_marked);
    e.data = data;
    e.next = live_head;
    live_head = index;
    return index;
}

void call_release(uint32_t kind_word, uintptr_t data) {
    const kind_record* k = kind_of_number(kind_word & kind_mask);
    if (k && k->release) k->release(data);
}

void replace(int32_t index, uintptr_t data) {
    handle_entry* e = live_entry(index);
    if (!e) return;
    const uintptr_t old = e->data;
    const uint32_t kind = e->kind;
    e->data = data;
    if (old != data) call_release(kind, old);
}

void release(int32_t index, bool release_data) {
    handle_entry* e = live_entry(index);
    if (!e) return;  // free already, or outside the table
    if (release_data) call_release(e->kind, e->data);
    unlink_live(index);
    push_free(index);
}

bool mark(int32_t index, uintptr_t data) {
    handle_entry* e = live_entry(index);
    if (!e) return false;
    const bool was = (e->kind & flag_marked) != 0;
    e->kind |= flag_marked;
    if (data) e->data = data;
    return !was;
}

void each_of_kind(uint32_t kind, void (*callback)(uintptr_t data)) {
    for (int32_t i = live_head; i != end_of_list;) {
        const int32_t next = entries[i].next;
        if ((entries[i].kind & kind_mask) == kind) callback(entries[i].data);
        i = next;
    }
}

void sweep() {
    if (!entries) return;
    int32_t prev = end_of_list;
    for (int32_t i = live_head; i != end_of_list;) {
        handle_entry& e = entries[i];
        const int32_t next = e.next;
        if (e.kind & flag_marked) {
            e.kind &= ~flag_marked;
            prev = i;
        } else {
            pending.push({e.kind, e.data});
            if (prev == end_of_list) live_head = next;
            else entries[prev].next = next;
            push_free(i);
        }
        i = next;
    }
}

void run_pending_releases() {
    // A release that allocates may collect, and that collection's sweep
    // appends here; the loop below takes those too.
    if (releasing) return;
    releasing = true;
    for (size_t i = 0; i < pending.count; ++i) {
        const pending_release r = pending.items[i];
        call_release(r.kind, r.data);
    }
    pending.clear();
    releasing = false;
}

bool live_q(int32_t index) { return live_entry(index) != nullptr; }

uintptr_t data_of(int32_t index) {
    const handle_entry* e = live_entry(index);
    return e ? e->data : 0;
}

uint32_t kind_word_of(int32_t index) {
    const handle_entry* e = live_entry(index);
    return e ? e->kind : 0;
}

uint32_t capacity() { return entry_capacity; }

uint32_t live_count() {
    uint32_t n = 0;
    for (int32_t i = live_head; i != end_of_list; i = entries[i].next) ++n;
    return n;
}

}  // namespace kel::externals
