// symbol: the symbol table, interning, the cached string forms and the
// symbol! row. Names are decoded leniently: a byte that does not start a
// well-formed UTF-8 sequence stands for the code point of the same value, so
// every name has a text form and distinct names stay distinct.
#include "datatypes/symbol.h"
#include "kernel/collector.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/string_api.h"
#include "kernel/fold.h"
#include "kernel/hashtable.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"

namespace kel::symbol {

namespace {

uint32_t index_node = 0;  // the symbol index

inline memory::buffer_header* table_buffer() { return memory::buffer_of(series_node(&symbol_table::block)); }

// One code point of a name; answers the bytes it took (at least 1).
uint32_t decode(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    const uint8_t b0 = p[0];
    const auto trail = [&](int i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF && trail(1)) {
        *cp = ((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF && trail(1) && trail(2)) {
        const bool overlong = b0 == 0xE0 && p[1] < 0xA0;
        const bool surrogate = b0 == 0xED && p[1] >= 0xA0;
        if (!overlong && !surrogate) {
            *cp = ((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
            return 3;
        }
    }
    if (b0 >= 0xF0 && b0 <= 0xF4 && trail(1) && trail(2) && trail(3)) {
        const bool overlong = b0 == 0xF0 && p[1] < 0x90;
        const bool too_high = b0 == 0xF4 && p[1] >= 0x90;
        if (!overlong && !too_high) {
            *cp = ((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
            return 4;
        }
    }
    *cp = b0;
    return 1;
}

uint32_t unit_for(uint32_t cp) { return cp <= 0xFF ? 1 : (cp <= 0xFFFF ? 2 : 4); }

inline uint32_t read_unit(const char* p, uint32_t unit, uint32_t i) {
    if (unit == 1) return static_cast<uint8_t>(p[i]);
    if (unit == 2) {
        uint16_t u;
        std::memcpy(&u, p + 2 * i, 2);
        return u;
    }
    uint32_t u;
    std::memcpy(&u, p + 4 * i, 4);
    return u;
}

inline void write_unit(char* p, uint32_t unit, uint32_t i, uint32_t cp) {
    if (unit == 1) p[i] = static_cast<char>(cp);
    else if (unit == 2) {
        const uint16_t u = static_cast<uint16_t>(cp);
        std::memcpy(p + 2 * i, &u, 2);
    } else {
        std::memcpy(p + 4 * i, &cp, 4);
    }
}

// Code points of a UTF-8 name, counted.
uint32_t count_code_points(const uint8_t* p, uint32_t length) {
    const uint8_t* end = p + length;
    uint32_t n = 0;
    for (uint32_t cp; p < end; ++n) p += decode(p, end, &cp);
    return n;
}

}  // namespace

// --- the table ----------------------------------------------------------------------

void init_table() {
    if (type_of(&symbol_table::block) == types::block) return;
    symbol_table::block = *block::make_at_tail(nullptr, static_cast<int32_t>(table_cells));
}

void init_index() {
    if (index_node) return;
    index_node =
        hashtable::make(static_cast<int32_t>(table_cells), &symbol_table::block, hashtable::kinds::words, 1);
}

bool ready() { return index_node != 0; }

const kel_value* table() { return &symbol_table::block; }
uint32_t index() { return index_node; }
uint32_t count() { return table_buffer()->used() / 16; }

uint32_t intern_part(const char* name, uint32_t length) {
    return hashtable::intern_symbol(index_node, name, length, false);
}

uint32_t intern(const char* name) { return intern_part(name, static_cast<uint32_t>(std::strlen(name))); }

void intern_canonical(const char* const* names, size_t count, uint32_t* ids) {
    for (size_t i = 0; i < count; ++i) ids[i] = resolve(intern(names[i]));
}

size_t position_of(const uint32_t* ids, size_t count, uint32_t sym) {
    const uint32_t canonical = resolve(sym);
    if (canonical == 0) return count;
    for (size_t i = 0; i < count; ++i)
        if (ids[i] == canonical) return i;
    return count;
}

uint32_t intern_caseless(const char* name) {
    return hashtable::intern_symbol(index_node, name, static_cast<uint32_t>(std::strlen(name)), true);
}

uint32_t intern_string(const kel_value* s) {
    const kel_value v = *s;
    const memory::buffer_header* h = memory::buffer_of(series_node(&v));
    const uint32_t unit = h->unit();
    const int64_t total = h->units();
    const int64_t head = series_head(&v) < 0 ? 0 : series_head(&v);
    const uint32_t n = head < total ? static_cast<uint32_t>(total - head) : 0;
    auto* out = static_cast<uint8_t*>(heap::allocate(static_cast<size_t>(n) * 4 + 1));
    uint32_t length = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t cp = read_unit(memory::buffer_of(series_node(&v))->head_ptr() + head * unit, unit, i);
        if (cp > 0x10FFFF) {
            heap::free(out);
            kel_value bad;
            set_integer(&bad, static_cast<int32_t>(cp));
            fire(error_category::script, "invalid-char", &bad);
        }
        if (cp < 0x80) {
            out[length++] = static_cast<uint8_t>(cp);
        } else if (cp < 0x800) {
            out[length++] = static_cast<uint8_t>(0xC0 | (cp >> 6));
            out[length++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out[length++] = static_cast<uint8_t>(0xE0 | (cp >> 12));
            out[length++] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            out[length++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        } else {
            out[length++] = static_cast<uint8_t>(0xF0 | (cp >> 18));
            out[length++] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            out[length++] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            out[length++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        }
    }
    const uint32_t id = intern_part(reinterpret_cast<const char*>(out), length);
    heap::free(out);
    return id;
}

int32_t alias_of(uint32_t id) { return static_cast<int32_t>(raw_cell(id)->w1); }

const char* name_bytes(uint32_t id, uint32_t* length) {
    const memory::buffer_header* h = memory::buffer_of(raw_cell(id)->w3);
    *length = h->used();
    return h->data() + h->head;
}

uint32_t cache_string(uint32_t id) {
    if (uint32_t cached = raw_cell(id)->w2) return cached;
    uint32_t length;
    const auto* p = reinterpret_cast<const uint8_t*>(name_bytes(id, &length));
    uint32_t n = 0, unit = 1;
    for (uint32_t i = 0, cp; i < length; ++n) {
        i += decode(p + i, p + length, &cp);
        if (unit_for(cp) > unit) unit = unit_for(cp);
    }
    uint32_t node;
    if (unit == 1) {
        kel_value s;
        text_out::new_buffer(&s, n);
        node = series_node(&s);
    } else {
        node = memory::new_units(n, unit);
    }
    memory::buffer_header* h = memory::buffer_of(node);
    p = reinterpret_cast<const uint8_t*>(name_bytes(id, &length));  // the allocation may have moved it
    uint32_t k = 0;
    for (uint32_t i = 0, cp; i < length; ++k) {
        i += decode(p + i, p + length, &cp);
        write_unit(h->head_ptr(), unit, k, cp);
    }
    h->tail = h->head + n * unit;
    raw_cell(id)->w2 = node;
    return node;
}

kel_value* cell_at(uint32_t id) {
    cache_string(id);
    return raw_cell(id);
}

// --- text of names ---------------------------------------------------------------------

int32_t append_name(kel_value* buffer, uint32_t id) {
    const uint32_t src = cache_string(id);
    const uint32_t node = series_node(buffer);
    const uint32_t src_unit = memory::buffer_of(src)->unit();
    const uint32_t n = memory::buffer_of(src)->units();
    if (n == 0) return 0;
    const uint32_t unit = string::ensure_unit(memory::buffer_of(node), src_unit)->unit();
    char* p = memory::claim_tail_bytes(node, n * unit);
    const char* s = memory::buffer_of(src)->head_ptr();  // read after the claim
    for (uint32_t i = 0; i < n; ++i) write_unit(p, unit, i, read_unit(s, src_unit, i));
    return static_cast<int32_t>(n);
}

void copy_name_string(uint32_t id, kel_value* out) {
    const uint32_t src = cache_string(id);
    set_unset(out);
    const uint32_t node = memory::copy_buffer(memory::buffer_of(src));
    set_series(out, types::string, 0, node);
}

namespace {

// compare-text over two UTF-8 names (see compare_names).
int32_t compare_utf8(const uint8_t* a, uint32_t la, const uint8_t* b, uint32_t lb, int32_t op) {
    const uint32_t n1 = count_code_points(a, la);
    const uint32_t n2 = count_code_points(b, lb);
    if (n1 == 0 && n2 == 0) return 0;
    if (n1 != n2 && (op == cmp::equal || op == cmp::not_equal || op == cmp::strict_equal || op == cmp::find))
        return 1;
    if (n2 == 0) return 1;
    if (n1 == 0) return -1;
    const bool fold = op != cmp::strict_equal && op != cmp::case_sort;
    const uint8_t *ea = a + la, *eb = b + lb;
    while (a < ea && b < eb) {
        uint32_t x, y;
        a += decode(a, ea, &x);
        b += decode(b, eb, &y);
        if (fold) {
            x = fold_upper(x);
            y = fold_upper(y);
        }
        if (x != y) return x < y ? -1 : 1;
    }
    return n1 < n2 ? -1 : (n1 > n2 ? 1 : 0);
}

}  // namespace

int32_t compare_names(uint32_t a, uint32_t b, int32_t op) {
    uint32_t la, lb;
    const auto* pa = reinterpret_cast<const uint8_t*>(name_bytes(a, &la));
    const auto* pb = reinterpret_cast<const uint8_t*>(name_bytes(b, &lb));
    return compare_utf8(pa, la, pb, lb, op);
}

// --- symbol! -------------------------------------------------------------------------------

int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::symbol) return cmp::not_comparable;
    memory::buffer_header* ha = memory::buffer_of(value->w3);
    memory::buffer_header* hb = memory::buffer_of(other->w3);
    return compare_utf8(reinterpret_cast<const uint8_t*>(ha->head_ptr()), ha->used(),
                        reinterpret_cast<const uint8_t*>(hb->head_ptr()), hb->used(), op);
}

registry::registration row() {
    registry::registration r;
    r.id = types::symbol;
    r.hash = hashtable::hash_by::spelling;
    r.marker = kel::collector::cell_markers::symbol;
    r.parent = 0;
    r.name = "symbol!";
    r[act::compare] = static_cast<compare_fn>(compare);
    return r;
}

}  // namespace kel::symbol
