// series_cursor: the cursor rules every series value obeys, whatever its
// unit: length from the head, tail test, skip, and the pick index. They sit
// at the kernel level because the generic dispatch's block fast paths use
// them on every navigation; datatypes/series builds its navigation actions on
// them, so the rules are written once. No allocation, no errors.
#pragma once
#include <algorithm>
#include <cstdint>

#include "kernel/series_memory.h"
#include "kernel/value.h"

namespace kel::cursor {

inline memory::buffer_header* buffer(const kel_value* s) { return memory::buffer_of(series_node(s)); }
inline int64_t units(const kel_value* s) { return buffer(s)->units(); }

inline bool tail_q(const kel_value* s) {
    memory::buffer_header* h = buffer(s);
    return (static_cast<int64_t>(series_head(s)) << h->shift()) + h->head >= h->tail;
}

// Moves the head by n when the new position stays within the buffer; answers
// true when head + n (old head) is at or past the tail.
inline bool skip(kel_value* s, int32_t n) {
    memory::buffer_header* h = buffer(s);
    const int64_t pos = static_cast<int64_t>(series_head(s)) + n;
    const int64_t at = (pos << h->shift()) + h->head;
    if (pos >= 0 && at <= h->tail) set_series_head(s, static_cast<int32_t>(pos));
    return at >= h->tail;
}

// Units from the head (a negative head counts as 0); a head past the tail is
// moved to the tail and 0 answered. With from_start: units in the buffer.
inline int32_t length_q(kel_value* s, bool from_start = false) {
    const int64_t n = units(s);
    if (from_start) return static_cast<int32_t>(n);
    const int64_t start = std::max<int64_t>(series_head(s), 0);
    if (start > n) {
        set_series_head(s, static_cast<int32_t>(n));
        return 0;
    }
    return static_cast<int32_t>(n - start);
}

inline void head(kel_value* s) { set_series_head(s, 0); }
inline void tail(kel_value* s) { set_series_head(s, static_cast<int32_t>(units(s))); }
inline bool head_q(const kel_value* s) { return series_head(s) == 0; }
inline int32_t index_q(const kel_value* s) {
    return static_cast<int32_t>(static_cast<uint32_t>(series_head(s)) + 1u);
}
inline void back(kel_value* s) {
    if (series_head(s) > 0) set_series_head(s, series_head(s) - 1);
}

// The buffer position of pick index n (1-based from the head; negative:
// before the head), or -1 when outside the buffer or for 0.
inline int64_t pick_position(const kel_value* s, int32_t n) {
    if (n == 0) return -1;
    const int64_t p = static_cast<int64_t>(series_head(s)) + n - (n > 0 ? 1 : 0);
    if (p < 0 || p >= units(s)) return -1;
    return p;
}

}  // namespace kel::cursor
