// lexer_values: the values of literal forms, made through one small function
// per form so that each datatype module can take its own over. The lexer
// decides what a token means; these only lay the value out in a cell of the
// shared buffer (keeping the new-line marker the cell already has).
//
// Forms whose datatype has no value builder installed (tuple!, date!,
// money!, map!) are scanned and checked as far as the lexer's own rules go,
// and then raise internal `not-done` here when a value would be built.
#include <cstring>

#include "datatypes/float.h"
#include "datatypes/string_api.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "services/lexer_internal.h"

namespace kel::lexer {

namespace {

inline uint32_t new_line_of(const kel_value* c) { return c->header & header_new_line; }

[[noreturn]] void not_done() { fire(error_category::internal, "not-done"); }

bool map_key_type_q(uint32_t t) {
    switch (t) {
        case types::string: case types::file: case types::url: case types::char_: case types::integer:
        case types::float_: case types::word: case types::set_word: case types::lit_word: case types::get_word:
        case types::refinement: case types::issue: case types::pair: case types::percent: case types::tuple:
        case types::binary: case types::time: case types::tag: case types::email: case types::date:
        case types::money: case types::ref: case types::point2d: case types::point3d:
            return true;
        default:
            return false;
    }
}

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
        if (!map_key_type_q(type_of(first + i))) throw_error(s, nullptr, types::map);
    (void)out;
    not_done();  // map! values come with the map! datatype
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

void make_tuple_value(lexer_state& s, kel_value* out, const uint8_t*, int) {
    --s.tail;  // the cell is given back before the error
    (void)out;
    not_done();
}

void make_date_value(lexer_state& s, kel_value* out, const date_fields&) {
    --s.tail;
    (void)out;
    not_done();
}

void make_money_value(lexer_state& s, kel_value* out, const money_fields&) {
    --s.tail;
    (void)out;
    not_done();
}

}  // namespace kel::lexer
