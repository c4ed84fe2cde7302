// heap: every block of runtime memory that is not a series buffer (tables,
// collector arrays, the handle table, conversion buffers) comes through here.
// Each block carries a header linking it into one live list, so the whole heap
// can be listed (`dump`) and released at exit (`free_all`). An allocation the
// C library cannot satisfy is fatal error 94: callers never see a null.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::heap {

// Header in front of every block; 32 bytes keeps the caller's data 16-aligned.
struct block_header {
    block_header* prev;
    block_header* next;
    uint64_t size;      // bytes the caller asked for
    uint64_t reserved;
};
static_assert(sizeof(block_header) == 32);

void* allocate(size_t size);
void* allocate_zeroed(size_t size);
// p == nullptr allocates; size == 0 frees p and returns nullptr.
void* resize(void* p, size_t size);
// An address that is not a live block is ignored.
void free(void* p);
void free_all();
// Prints the live list through the low-level console output.
void dump();

size_t live_count();
// The bytes the live blocks were asked for (headers left out).
uint64_t live_bytes();
// Typed convenience for tables.
template <class T> T* allocate_array(size_t n) { return static_cast<T*>(allocate_zeroed(n * sizeof(T))); }

}  // namespace kel::heap
