// json_unescape: see json_unescape.h.
//
// The reader and the writer walk the same buffer by unit index: the write
// index never passes the read index, so no copy is needed. A decoded
// character wider than the buffer's unit makes the writer widen the whole
// buffer (possibly into a new one); unit indexes survive that, addresses do
// not, so nothing here keeps an address across a write.
#include "library/json_unescape.h"

#include "datatypes/string_api.h"
#include "evaluator/routines.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::json_unescape {

namespace {

uint32_t unit_at(uint32_t node, int32_t index) {
    memory::buffer_header* h = memory::buffer_of(node);
    return string::read_unit(string::unit_ptr(h, index), h->unit());
}

int hex_value(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// The four hex digits at `at` (all before `end`), or -1.
int32_t four_hex(uint32_t node, int32_t at, int32_t end) {
    if (end - at < 4) return -1;
    int32_t v = 0;
    for (int32_t i = 0; i < 4; ++i) {
        const int d = hex_value(unit_at(node, at + i));
        if (d < 0) return -1;
        v = (v << 4) | d;
    }
    return v;
}

routines::machine_value unescape_routine(const routines::machine_value* a, int32_t) {
    unescape(a[0].cell);
    *routines::result_slot() = *a[0].cell;
    return routines::nothing();
}

}  // namespace

void unescape(kel_value* s) {
    const kel_value str = *s;
    const uint32_t node = series_node(&str);
    const int32_t end = static_cast<int32_t>(memory::buffer_of(node)->units());
    int32_t r = series_head(&str);
    if (r < 0) r = 0;
    int32_t w = r;
    if (r >= end) return;
    while (r < end) {
        uint32_t c = unit_at(node, r++);
        if (c == '\\' && r < end) {  // a backslash as the last character stays as it is
            const uint32_t e = unit_at(node, r++);
            switch (e) {
                case '"': case '\\': case '/': c = e; break;
                case 'b': c = 8; break;
                case 'f': c = 12; break;
                case 'n': c = 10; break;
                case 'r': c = 13; break;
                case 't': c = 9; break;
                case 'u': {
                    const int32_t v = four_hex(node, r, end);
                    if (v < 0) fire(error_category::script, "invalid-data", &str);
                    r += 4;
                    c = static_cast<uint32_t>(v);
                    if (v >= 0xD800 && v <= 0xDBFF) {
                        if (end - r < 6 || unit_at(node, r) != '\\' || unit_at(node, r + 1) != 'u')
                            fire(error_category::script, "invalid-data", &str);
                        const int32_t low = four_hex(node, r + 2, end);
                        if (low < 0xDC00 || low > 0xDFFF) fire(error_category::script, "invalid-data", &str);
                        r += 6;
                        c = 0x10000u + (static_cast<uint32_t>(v - 0xD800) << 10) + static_cast<uint32_t>(low - 0xDC00);
                    }
                    break;
                }
                default:
                    // An unknown escape: the backslash is written, the
                    // character after it dropped.
                    break;
            }
        }
        (void)string::overwrite_char(memory::buffer_of(node), w++, c);
    }
    (void)string::truncate_units(memory::buffer_of(node), w);
}

void install() {
    routines::entry e;
    e.name = "unescape";
    e.spec = R"k("Resolve the JSON escapes of a string in place" str [string!] "(modified)")k";
    e.fn = unescape_routine;
    routines::define(routine_numbers::json_unescape, e);
}

}  // namespace kel::json_unescape
