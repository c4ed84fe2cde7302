// core_builder: see core_builder.h.
#include "tests/unit/core_builder.h"

#include <cstring>

#include "datatypes/block.h"
#include "kernel/stack.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"

namespace kel::test {

// Plays the boot's part too: once the runtime is up, collections may happen.
void boot() {
    runtime::init();
    collector::set_active(true);
}

kel_value int_v(int32_t i) { kel_value v; set_integer(&v, i); return v; }
kel_value none_v() { kel_value v; set_none(&v); return v; }
kel_value unset_v() { kel_value v; set_unset(&v); return v; }
kel_value logic_v(bool x) { kel_value v; set_logic(&v, x); return v; }
kel_value char_v(uint32_t c) { kel_value v; set_char(&v, c); return v; }
kel_value type_v(uint32_t type) { kel_value v; set_datatype(&v, type); return v; }
kel_value pair_v(int32_t x, int32_t y) { kel_value v; set_pair(&v, x, y); return v; }

kel_value block_of(const std::vector<kel_value>& cells, uint32_t type) {
    boot();
    kel_value* cell = block::make_at_tail(nullptr, static_cast<int32_t>(cells.size()));
    set_type(cell, type);
    for (const kel_value& c : cells) block::ks_add(cell, &c);
    return *cell;
}

kel_value b(std::initializer_list<item> items) {
    std::vector<kel_value> cells;
    for (const item& i : items) cells.push_back(i.v);
    return block_of(cells);
}

kel_value str(const std::u32string& t, uint32_t unit, uint32_t type) {
    boot();
    kel_value* holder = block::make_at_tail(nullptr, 1);  // keeps the cell in the root block
    uint32_t node = memory::new_units(static_cast<uint32_t>(t.size()), unit);
    set_series(holder, type, 0, node);
    char* p = memory::claim_tail_bytes(node, static_cast<uint32_t>(t.size()) * unit);
    for (size_t i = 0; i < t.size(); ++i) {
        uint32_t c = t[i];
        if (unit == 1) p[i] = static_cast<char>(c);
        else if (unit == 2) { uint16_t u = static_cast<uint16_t>(c); std::memcpy(p + 2 * i, &u, 2); }
        else std::memcpy(p + 4 * i, &c, 4);
    }
    return *holder;
}

kel_value bin(const std::vector<uint8_t>& bytes) {
    std::u32string t;
    for (uint8_t x : bytes) t.push_back(x);
    return str(t, 1, types::binary);
}

std::vector<int32_t> ints(const kel_value& blk) {
    std::vector<int32_t> out;
    kel_value c = blk;
    int32_t n = block::ks_length_q(&c);
    kel_value* p = block::ks_head(&c);
    for (int32_t i = 0; i < n; ++i)
        out.push_back(type_of(&p[i]) == types::integer ? get_integer(&p[i]) : INT32_MIN);
    return out;
}

std::u32string text(const kel_value& s) {
    std::u32string out;
    memory::buffer_header* h = memory::buffer_of(series_node(&s));
    uint32_t unit = h->unit();
    int64_t n = static_cast<int64_t>(h->units()) - series_head(&s);
    const char* p = h->data() + h->head + static_cast<int64_t>(series_head(&s)) * unit;
    for (int64_t i = 0; i < n; ++i) {
        uint32_t c = 0;
        std::memcpy(&c, p + i * unit, unit);
        out.push_back(c);
    }
    return out;
}

namespace {
std::string utf8_of(const kel_value& buffer) {
    std::string out;
    for (char32_t c : text(buffer)) {
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0x800) { out += static_cast<char>(0xC0 | (c >> 6)); out += static_cast<char>(0x80 | (c & 0x3F)); }
        else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
}  // namespace

std::string mold(const kel_value& v, bool all, bool flat, bool only) {
    boot();
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    mold_fn fn = registry::mold_handler(type_of(&v));
    if (!fn) return "<no mold for " + std::string(registry::type_name(type_of(&v))) + ">";
    fn(&v, buffer, only, all, flat, nullptr, 0x7FFFFFFF, 0);
    return utf8_of(*buffer);
}

std::string form(const kel_value& v) {
    boot();
    kel_value* buffer = block::make_at_tail(nullptr, 1);
    text_out::new_buffer(buffer, 16);
    form_fn fn = registry::form_handler(type_of(&v));
    if (!fn) return "<no form>";
    fn(&v, buffer, nullptr, 0x7FFFFFFF);
    return utf8_of(*buffer);
}

}  // namespace kel::test
