// draw_colour: the colours of the draw dialect. A tuple r.g.b[.t] packs into
// one word (r in bits 0-7, g 8-15, b 16-23, the transparency t in 24-31, 0
// for a 3-byte tuple); the back end paints with r/255, g/255, b/255 and the
// opacity (255 - t)/255.
#pragma once

#include <cstdint>

#include "datatypes/tuple.h"
#include "kernel/value.h"

namespace kel::gui::draw {

struct rgba {
    double r = 0, g = 0, b = 0, a = 1;
};

// A tuple of 3 or 4 bytes packed; false for any other value.
inline bool pack_colour(const kel_value* v, uint32_t& packed) {
    if (type_of(v) != types::tuple) return false;
    const int n = tuple::count_of(v);
    if (n != 3 && n != 4) return false;
    const uint8_t* bytes = tuple::bytes_of(v);
    packed = bytes[0] | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
             (n == 4 ? uint32_t{bytes[3]} << 24 : 0u);
    return true;
}

inline rgba unpack_colour(uint32_t packed) {
    return {(packed & 0xFFu) / 255.0, ((packed >> 8) & 0xFFu) / 255.0, ((packed >> 16) & 0xFFu) / 255.0,
            (255u - (packed >> 24)) / 255.0};
}

}  // namespace kel::gui::draw
