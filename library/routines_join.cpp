// routines_join: see routines_join.h.
#include "library/routines_join.h"

#include <algorithm>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "evaluator/routines.h"
#include "kernel/stack.h"

namespace kel::join_routines {

namespace {

using memory::buffer_header;
using routines::machine_value;

// The block is all string! values, each at a position within its text, and
// the first has no new-line mark (which `copy` would keep and `reduce`
// clears): then the joined text is the first string's copy with the others'
// texts appended, which is what `rejoin` makes of it. The block itself is
// answered for anything else.
machine_value rejoin(const machine_value* a, int32_t) {
    const kel_value block = *a[0].cell;
    const auto pass = [&] { return routines::answer_cell(&block); };
    if (type_of(&block) != types::block) return pass();
    const int32_t head = series_head(&block);
    const int32_t count = block::ks_length_q(&block);
    if (head < 0 || count <= 0) return pass();
    const kel_value* cells = block::ks_abs_at(&block, head);
    if (cells[0].header & header_new_line) return pass();
    int64_t total = 0;
    uint32_t unit = 1;
    for (int32_t i = 0; i < count; ++i) {
        const kel_value* c = cells + i;
        if (type_of(c) != types::string) return pass();
        buffer_header* h = string::buffer(c);
        const int64_t units = h->units();
        if (series_head(c) < 0 || series_head(c) > units) return pass();
        total += units - series_head(c);
        unit = std::max(unit, h->unit());
    }
    // Too long for a buffer: the Kel code raises what `append` raises.
    if (total > static_cast<int64_t>(memory::max_capacity(unit) / unit)) return pass();

    const int32_t depth = stack::depth();
    kel_value* first = stack::push_copy(&cells[0]);  // kept reachable across the allocations
    kel_value* out = stack::push_unset();
    const int64_t first_units = string::buffer(first)->units() - series_head(first);
    string::copy_units(first, series_head(first), static_cast<int32_t>(first_units), out);
    buffer_header* h = string::ensure_unit(string::buffer(out), unit);
    const uint64_t need = static_cast<uint64_t>(total) * unit;
    if (need > h->capacity - h->head) h = memory::expand_buffer(h, static_cast<uint32_t>(need));
    // Nothing allocates from here on, so the cells read are the block's own.
    const kel_value* from = block::ks_abs_at(&block, head);
    char* to = string::unit_ptr(h, first_units);
    for (int32_t i = 1; i < count; ++i) {
        buffer_header* sh = string::buffer(from + i);
        const int64_t start = series_head(from + i);
        const int64_t n = static_cast<int64_t>(sh->units()) - start;
        const uint32_t su = sh->unit();
        const char* src = string::unit_ptr(sh, start);
        if (su == unit) {
            std::memcpy(to, src, static_cast<size_t>(n) * unit);
        } else {
            for (int64_t k = 0; k < n; ++k) string::write_unit(to + k * unit, unit, string::read_unit(src + k * su, su));
        }
        to += n * unit;
    }
    h->tail = h->head + static_cast<uint32_t>(need);
    const kel_value result = *out;
    stack::regs.top = stack::bottom() + depth;
    return routines::answer_cell(&result);
}

}  // namespace

void install() {
    static const routines::binding rows[] = {
        {"text/rejoin", "block [any-type!]", rejoin},
    };
    routines::define_run(routine_numbers::join, rows, 1, "join");
}

}  // namespace kel::join_routines
