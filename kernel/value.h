// value: the 16-byte cell every Kel value lives in. Word 0 is the header (type
// id in the low byte, per-type flags above, bit 30 = molded on a new line);
// words 1-3 are the payload. No machine address is ever stored in a cell:
// series and contexts are 32-bit node ids, entry points are table numbers.
#pragma once
#include <cstdint>

namespace kel {

struct alignas(16) kel_value {
    uint32_t header, w1, w2, w3;
};
static_assert(sizeof(kel_value) == 16);
static_assert(alignof(kel_value) == 16);

}  // namespace kel
