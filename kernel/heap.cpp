// heap: a thin wrapper over malloc that keeps every live block in one doubly
// linked list. Invariant: `first` and `last` are both null or both non-null,
// and walking `next` from `first` reaches `last` and visits every live block.
#include "kernel/heap.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/fatal.h"
#include "kernel/print.h"

namespace kel::heap {
namespace {

struct live_list {
    block_header* first = nullptr;
    block_header* last = nullptr;
    size_t count = 0;
    uint64_t bytes = 0;  // sizes asked for by the live blocks
} live;

void link_last(block_header* h) {
    h->prev = live.last;
    h->next = nullptr;
    if (live.last) live.last->next = h; else live.first = h;
    live.last = h;
    ++live.count;
    live.bytes += h->size;
}

void unlink(block_header* h) {
    if (h->prev) h->prev->next = h->next; else live.first = h->next;
    if (h->next) h->next->prev = h->prev; else live.last = h->prev;
    --live.count;
    live.bytes -= h->size;
}

block_header* find(void* p) {
    for (block_header* h = live.first; h; h = h->next)
        if (h + 1 == p) return h;
    return nullptr;
}

[[noreturn]] __attribute__((noinline)) void out_of_memory(const void* where) {
    fatal::report_error(fatal::out_of_memory, where);
}

}  // namespace

__attribute__((noinline)) void* allocate(size_t size) {
    if (size > SIZE_MAX - sizeof(block_header)) out_of_memory(__builtin_return_address(0));
    auto* h = static_cast<block_header*>(std::malloc(size + sizeof(block_header)));
    if (!h) out_of_memory(__builtin_return_address(0));
    h->size = size;
    h->reserved = 0;
    link_last(h);
    return h + 1;
}

void* allocate_zeroed(size_t size) {
    void* p = allocate(size);
    std::memset(p, 0, size);
    return p;
}

__attribute__((noinline)) void* resize(void* p, size_t size) {
    if (!p) return allocate(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    block_header* h = find(p);
    if (!h) return nullptr;
    if (size > SIZE_MAX - sizeof(block_header)) out_of_memory(__builtin_return_address(0));
    block_header* prev = h->prev;
    block_header* next = h->next;
    const uint64_t old_size = h->size;
    auto* moved = static_cast<block_header*>(std::realloc(h, size + sizeof(block_header)));
    if (!moved) out_of_memory(__builtin_return_address(0));
    moved->size = size;
    live.bytes = live.bytes - old_size + size;
    // The neighbours still point at the old place; re-point them.
    if (prev) prev->next = moved; else live.first = moved;
    if (next) next->prev = moved; else live.last = moved;
    return moved + 1;
}

void free(void* p) {
    if (!p) return;
    block_header* h = find(p);
    if (!h) return;
    unlink(h);
    std::free(h);
}

void free_all() {
    block_header* h = live.first;
    while (h) {
        block_header* next = h->next;
        std::free(h);
        h = next;
    }
    live = live_list{};
}

size_t live_count() { return live.count; }
uint64_t live_bytes() { return live.bytes; }

void dump() {
    using std_output::print_line_text;
    print_line_text("-- Heap-allocations --");
    print_line_text("Asked   Real");
    uint64_t sum = 0;
    for (block_header* h = live.first; h; h = h->next) {
        uint64_t real = h->size + sizeof(block_header);
        sum += real;
        print_line_text(std::to_string(h->size) + "\t" + std::to_string(real));
    }
    print_line_text("-- Sum: " + std::to_string(sum) + " --");
}

}  // namespace kel::heap
