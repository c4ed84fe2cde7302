// A byte buffer whose last byte sits just below an inaccessible page, so a
// read one byte past the end faults at once (no sanitizer needed).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace kel::test {

class guarded_bytes {
public:
    guarded_bytes(const void* data, size_t size) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t body = (size + page - 1) / page * page;
        if (body == 0) body = page;
        map_size_ = body + page;
        base_ = static_cast<uint8_t*>(mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + body, page, PROT_NONE);
        data_ = base_ + body - size;
        if (size) std::memcpy(data_, data, size);
    }
    ~guarded_bytes() { munmap(base_, map_size_); }
    guarded_bytes(const guarded_bytes&) = delete;
    guarded_bytes& operator=(const guarded_bytes&) = delete;
    const uint8_t* data() const { return data_; }
    uint8_t* data() { return data_; }

private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t map_size_ = 0;
};

}  // namespace kel::test
