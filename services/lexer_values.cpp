// lexer_values: the values of literal forms, made through one small function
// per form so that each datatype module can take its own over. The lexer
// decides what a token means; these only lay the value out in a cell of the
// shared buffer (keeping the new-line marker the cell already has).
#include <cstring>

#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "services/lexer_internal.h"

namespace kel::lexer {

namespace {

inline uint32_t new_line_of(const kel_value* c) { return c->header & header_new_line; }

}  // namespace

// block!, paren! and the path types: a buffer holding copies of the cells.
void make_block_like(kel_value* out, uint32_t type, const kel_value* first, uint32_t count) {
    const uint32_t node = memory::new_cells(count ? count : 1);
    memory::buffer_header* h = memory::buffer_of(node);
    if (count) std::memcpy(h->data() + h->head, first, static_cast<size_t>(count) * sizeof(kel_value));
    h->tail = h->head + count * static_cast<uint32_t>(sizeof(kel_value));
    const uint32_t nl = new_line_of(out);
    set_series(out, type, 0, node);
    out->header |= nl;
}

void make_map(lexer_state& s, kel_value* out, const kel_value* first, uint32_t count) {
    if (count % 2 != 0) throw_error(s, nullptr, types::map);
    for (uint32_t i = 0; i < count; i += 2)
        if (!map::valid_key_type_q(type_of(first + i))) throw_error(s, nullptr, types::map);
    // Built as make builds a map from a block, on the argument stack while
    // the table is made.
    const uint32_t nl = new_line_of(out);
    kel_value* cells = stack::push_unset();
    make_block_like(cells, types::block, first, count);
    map::make_from_block(cells, cells);
    kel_value made = *cells;
    stack::drop_cells(1);
    made.header |= nl;
    *out = made;
}

kel_value* make_text(kel_value* out, uint32_t type, uint32_t capacity, uint32_t unit) {
    const uint32_t nl = new_line_of(out);
    string::make_at_unit(out, capacity ? capacity : 1, unit);
    set_type(out, type);
    out->header |= nl;
    return out;
}

void make_binary_value(kel_value* out, const uint8_t* bytes, size_t count) {
    const uint32_t nl = new_line_of(out);
    const uint32_t node = memory::new_bytes(static_cast<uint32_t>(count ? count : 1));
    memory::buffer_header* h = memory::buffer_of(node);
    if (bytes && count) std::memcpy(h->data() + h->head, bytes, count);
    h->tail = h->head + (bytes ? static_cast<uint32_t>(count) : 0);
    set_series(out, types::binary, 0, node);
    out->header |= nl;
}

void make_pair_value(kel_value* out, int32_t x, int32_t y) {
    const uint32_t nl = new_line_of(out);
    set_pair(out, x, y);
    out->header |= nl;
}

void make_percent_value(kel_value* out, double fraction) {
    const uint32_t nl = new_line_of(out);
    set_float(out, fraction, types::percent);
    out->header |= nl;
}

void make_point_value(kel_value* out, const double* c, int count) {
    const uint32_t nl = new_line_of(out);
    if (count == 3) set_point3d(out, float_::to_single(c[0]), float_::to_single(c[1]), float_::to_single(c[2]));
    else set_point2d(out, float_::to_single(c[0]), float_::to_single(c[1]));
    out->header |= nl;
}

void make_tuple_value(lexer_state&, kel_value* out, const uint8_t* parts, int count) {
    tuple::init_cell(out, parts, count);
}

void make_date_value(lexer_state&, kel_value* out, const date_fields& f) {
    const uint32_t nl = new_line_of(out);
    date::init_cell(out, f.year, f.month, f.day, f.seconds, f.zone_hours, f.zone_minutes, f.time_given);
    if (f.week) {
        date::move_to_week(out, f.week);
        date::move_to_weekday(out, f.weekday);
    } else if (f.yearday) {
        date::move_to_yearday(out, f.yearday);
    }
    out->header |= nl;
}

bool make_money_value(kel_value* out, const money_fields& f) {
    const uint32_t nl = new_line_of(out);
    const uint32_t code = f.currency[0] ? symbol::intern_part(f.currency, 3) : 0;
    const size_t whole = std::strlen(f.integer_digits);
    const size_t fraction = std::strlen(f.fraction_digits);
    kel_value made;
    if (!money::from_digits(&made, f.negative, code, f.integer_digits, f.integer_digits + whole, f.fraction_digits,
                            f.fraction_digits + fraction))
        return false;
    *out = made;
    out->header |= nl;
    return true;
}

}  // namespace kel::lexer
