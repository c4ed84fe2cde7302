// platform memory: pages straight from the kernel with mmap. Reservation and
// commit are separate so the node arena can reserve once and commit frame by
// frame.
#include <sys/mman.h>

#include "platform/platform.h"

namespace kel::platform {

void* allocate_pages(size_t size, bool executable) {
    int prot = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    void* p = mmap(nullptr, size, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* reserve_pages(size_t size) {
    void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool commit_pages(void* address, size_t size) {
    return mprotect(address, size, PROT_READ | PROT_WRITE) == 0;
}

bool decommit_pages(void* address, size_t size) {
    // Drop the contents and the access; the range stays reserved.
    if (madvise(address, size, MADV_DONTNEED) != 0) return false;
    return mprotect(address, size, PROT_NONE) == 0;
}

bool free_pages(void* address, size_t size) { return munmap(address, size) == 0; }

}  // namespace kel::platform
