// kelbin_decode: the Kelbin record reader for both layouts (see kelbin.h and
// kelbin_format.h for the bytes).
//
// A block may come from anywhere, so every field is read through checks
// against the end of its area, and every count that sizes an allocation is
// first checked against the bytes left (each child record takes at least
// four bytes in the standard layout and one in the compact one): a fault
// raises `kb-invalid-record` with the 1-based position of the record or
// field, before anything is allocated for it.
//
// The collector stays on. Values are built in argument-stack cells and then
// appended to their parent; containers are appended before their children
// are read, so every container under construction is reachable from the
// receiving block and a path met inside can reach it (cycles). Positions are
// held as (node, index), re-read after every allocation.
#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include <unistd.h>

#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/lz.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "services/kelbin.h"
#include "services/kelbin_format.h"

namespace kel::kelbin {

namespace {

// Where a decoded value sits: cell `index` of the block node `node`; node 0
// for a value held only by its context (a word's owner).
struct place {
    uint32_t node = 0;
    int32_t index = -1;
};

struct reader {
    const uint8_t* base = nullptr;  // first byte of the block, for positions
    const uint8_t* native_spec_at = nullptr;  // where the spec record of the native being read starts
    const uint8_t* p = nullptr;
    const uint8_t* end = nullptr;  // end of the record area
    bool compact = false;
    bool pool = false;          // the boot pool: its private records are allowed
    bool library_next = false;  // the next block read is library code (pool prefix 0xC5)
    // A function whose spec is being read: the spec's block, once made, is
    // the function's at once, so that a path met inside the spec reaches it.
    struct {
        bool pending = false;
        place where;
        uint32_t ctx = 0;
    } spec_of;
    std::vector<kel_value> deep_owners;  // pool objects with on-deep-change*, to bind their fields at the end
    std::vector<kel_value> runtime_natives;  // the global natives and actions by number, once looked up
    std::vector<kel_value> runtime_actions;
    uint32_t target = 0;  // the receiving block's node: the start of every path
    uint32_t symbol_count = 0;
    const uint8_t* offsets = nullptr;
    const uint8_t* strings = nullptr;
    uint32_t strings_size = 0;
    std::vector<uint32_t> symbol_ids;  // 0 until interned
    std::vector<int32_t> global_index;  // the pool's global words: index in the global context, -1 until found
    std::vector<uint32_t> path;

    uint32_t min_record() const { return compact ? 1u : 4u; }
    uint64_t left() const { return static_cast<uint64_t>(end - p); }

    [[noreturn]] void bad(const uint8_t* at) const {
        kel_value position;
        set_integer(&position, static_cast<int32_t>(at - base + 1));
        fire(error_category::script, "kb-invalid-record", &position);
    }
    void need(uint64_t n) const {
        if (left() < n) bad(p);
    }
    uint8_t u8() {
        need(1);
        return *p++;
    }
    uint32_t u32() {
        need(4);
        const uint32_t v = get_u32(p);
        p += 4;
        return v;
    }
    // A count or size word of the standard layout: negative is invalid.
    uint32_t count32() {
        const uint8_t* at = p;
        const uint32_t v = u32();
        if (v > 0x7FFFFFFFu) bad(at);
        return v;
    }
    uint32_t varint() {
        const uint8_t* at = p;
        uint32_t v = 0;
        for (int i = 0; i < 5; ++i) {
            if (p >= end) bad(at);
            const uint8_t b = *p++;
            if (i == 4 && (b & 0xF0u)) bad(at);  // over 32 bits
            v |= static_cast<uint32_t>(b & 0x7Fu) << (7 * i);
            if (!(b & 0x80u)) return v;
        }
        bad(at);
    }
    int32_t zig() { return unzigzag(varint()); }
    uint32_t count_field() { return compact ? varint() : count32(); }
    // A count of child records checked against the bytes left.
    uint32_t children_field() {
        const uint8_t* at = p;
        const uint32_t n = count_field();
        if (n > 0x7FFFFFFFu || uint64_t(n) * min_record() > left()) bad(at);
        return n;
    }
    uint32_t symbol(uint32_t index, const uint8_t* at) {
        if (index >= symbol_count) bad(at);
        if (!symbol_ids[index]) {
            const uint32_t offset = get_u32(offsets + 4 * static_cast<size_t>(index));
            if (offset >= strings_size) bad(at);
            const char* name = reinterpret_cast<const char*>(strings + offset);
            const size_t length = std::strlen(name);  // the area ends in NUL
            symbol_ids[index] = symbol::intern_part(name, static_cast<uint32_t>(length));
        }
        return symbol_ids[index];
    }
    uint32_t symbol_field() {
        const uint8_t* at = p;
        return symbol(compact ? varint() : u32(), at);
    }
};

reader* rd = nullptr;

kel_value block_value(uint32_t node) {
    kel_value b;
    set_series(&b, types::block, 0, node);
    return b;
}
memory::buffer_header* buf(uint32_t node) { return memory::buffer_of(node); }
kel_value* cells_of(uint32_t node) { return reinterpret_cast<kel_value*>(buf(node)->head_ptr()); }
int32_t cell_count(uint32_t node) { return static_cast<int32_t>(buf(node)->used() / 16); }

// Appends a copy of the value to the block node; answers its place.
place append(uint32_t node, const kel_value* v) {
    const kel_value b = block_value(node);
    const int32_t index = cell_count(node);
    block::ks_add_grow(&b, v);
    return {node, index};
}
void store(const place& at, const kel_value* v) {
    if (!at.node) return;
    cells_of(at.node)[at.index] = *v;
    block::modified_node(at.node);
}

struct depth_guard {
    explicit depth_guard(uint32_t node) { cycles::push(node); }
    ~depth_guard() { cycles::pop(); }
};

// A block on the argument stack that holds values read for a moment (a
// function's spec and body, a native's spec, an op's wrapped value).
// Their destructors give the cells back only on a normal exit: an error has
// already put the argument stack where its receiver wants it.
struct holder {
    int32_t depth;
    int unwinding;
    uint32_t node;
    holder() : depth(stack::depth()), unwinding(std::uncaught_exceptions()) {
        node = series_node(block::push_only_star(2));
    }
    ~holder() {
        if (std::uncaught_exceptions() == unwinding) stack::regs.top = stack::bottom() + depth;
    }
    kel_value at(int32_t i) const { return cells_of(node)[i]; }
};

struct stack_cell {
    int32_t depth;
    int unwinding;
    kel_value* cell;
    stack_cell() : depth(stack::depth()), unwinding(std::uncaught_exceptions()), cell(stack::push_unset()) {}
    ~stack_cell() {
        if (std::uncaught_exceptions() == unwinding) stack::regs.top = stack::bottom() + depth;
    }
};

void read_value(uint32_t parent);

// --- paths ---------------------------------------------------------------------------

bool child(const kel_value* v, uint32_t k, kel_value* out);

// Global words take no part in paths: the global context is the runtime's,
// and reaching through it would let a block alias or rebind live values.
bool decoded_context_q(uint32_t ctx) { return memory::node_live_q(ctx) && ctx != _context::global(); }

bool function_child(const kel_value* f, uint32_t k, kel_value* out) {
    if (k == 0) {
        *out = block_value(f->w2);
        return memory::node_live_q(f->w2);
    }
    if (k == 1 && type_of(f) != types::op) {
        *out = *function::more_cell(f, function::more::body);
        return true;
    }
    return false;
}

bool values_child(uint32_t ctx, uint32_t k, kel_value* out) {
    if (!memory::node_live_q(ctx) || _context::stack_q(ctx)) return false;
    const uint32_t values = _context::cell(ctx)->w2;
    if (k >= static_cast<uint32_t>(cell_count(values))) return false;
    *out = cells_of(values)[k];
    return true;
}

// A decoded native or action is the runtime's own, spec and all: its spec is
// shared with no decoded value, so no path passes through it (the encoders
// never write one that does), and a series part found at one is only a
// native's spec record, which the runtime's value replaces at once.
bool runtime_spec_q(const kel_value* v) {
    const uint32_t t = type_of(v);
    if (t == types::op) {
        const uint32_t wrapped = native::wrapped_type(v);
        return wrapped == types::native || wrapped == types::action;
    }
    return t == types::native || t == types::action;
}

bool child(const kel_value* v, uint32_t k, kel_value* out) {
    const uint32_t t = type_of(v);
    if (in_family(t, family::block_like) || t == types::map) {
        const uint32_t node = v->w2;
        if (!memory::node_live_q(node) || k >= static_cast<uint32_t>(cell_count(node))) return false;
        *out = cells_of(node)[k];
        return true;
    }
    if (t == types::function) return function_child(v, k, out);
    if (t == types::op) {
        if (native::wrapped_type(v) == types::function) return function_child(v, k, out);
        return false;
    }
    if (t == types::error) return k < 6 && values_child(v->w1, k + 3, out);
    if (t == types::object) return values_child(v->w1, k, out);
    if (in_family(t, family::word) || t == types::refinement) {
        const uint32_t ctx = v->w1;
        if (!decoded_context_q(ctx)) return false;
        const kel_value owner = *_context::owner(ctx);
        if (type_of(&owner) == types::function) return function_child(&owner, k, out);
        return values_child(ctx, k, out);
    }
    return false;
}

// Reads a path and answers the value it leads to.
kel_value read_path() {
    const uint8_t* at = rd->p;
    if (!rd->compact) {
        const uint32_t type = rd->u32();
        if (type != std_reference_type) rd->bad(at);
    }
    const uint8_t* count_at = rd->p;
    const uint32_t n = rd->count_field();
    if (n == 0 || n > max_path || uint64_t(n) * rd->min_record() > rd->left()) rd->bad(count_at);
    kel_value cur = block_value(rd->target);
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t* index_at = rd->p;
        const uint32_t k = rd->compact ? rd->varint() : rd->u32();
        kel_value next;
        if (!child(&cur, k, &next)) rd->bad(index_at);
        cur = next;
    }
    return cur;
}

// The context a referenced value carries, or 0.
uint32_t context_of_found(const kel_value* v) {
    const uint32_t t = type_of(v);
    if (in_family(t, family::word) || t == types::refinement || t == types::object || t == types::error ||
        t == types::function || (t == types::op && native::wrapped_type(v) == types::function))
        return decoded_context_q(v->w1) ? v->w1 : 0;
    return 0;
}

// --- building values -------------------------------------------------------------------

// Text of unit 4 (and char! vectors of 32 bits) holds code points: a unit
// above U+10FFFF is no character, and the char! read from it would be none
// the runtime can make or handle.
void check_code_points(const uint8_t* p, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i)
        if (get_u32(p + 4 * i) > 0x10FFFFu) rd->bad(p + 4 * i);
}

// A packed date word names a real day: month 1-12 and a day within it. No
// other path makes one that does not, and date arithmetic and molding
// assume it.
bool real_day_q(uint32_t packed) {
    static constexpr int32_t month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int32_t month = date::month_of(packed), day = date::day_of(packed);
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap_day = month == 2 && date::leap_year_q(date::year_of(packed));
    return day <= month_days[month - 1] + (leap_day ? 1 : 0);
}

uint32_t valid_unit(uint32_t unit, const uint8_t* at) {
    if (unit != 1 && unit != 2 && unit != 4) rd->bad(at);
    return unit;
}

int32_t head_field(bool present) {
    if (!present) return 0;
    const uint8_t* at = rd->p;
    const uint32_t head = rd->compact ? rd->varint() : rd->u32();
    if (head > 0x7FFFFFFFu) rd->bad(at);
    return static_cast<int32_t>(head);
}

// A series reference: the found value's series part under this record's
// type (block-like, string-like and binary) and head.
void series_reference(uint32_t parent, uint32_t t, int32_t head, bool nl, const uint8_t* at) {
    const kel_value found = read_path();
    const uint32_t ft = type_of(&found);
    if (runtime_spec_q(&found) && (t != types::block || at != rd->native_spec_at)) rd->bad(at);
    const bool series_part = in_family(ft, family::series) || ft == types::function || ft == types::native ||
                             ft == types::action || ft == types::op || ft == types::routine ||
                             ft == types::map || ft == types::bitset;
    if (!series_part) rd->bad(at);
    kel_value v = found;
    // Text and bytes never share a buffer here: a string may widen its
    // buffer's unit, which a binary over the same buffer would misread.
    const bool text_t = in_family(t, family::string_like), bytes_t = t == types::binary;
    if (in_family(t, family::block_like) || text_t || bytes_t) {
        const bool cells_f = in_family(ft, family::block_like) || ft == types::function || ft == types::native ||
                             ft == types::action || ft == types::op || ft == types::routine;
        const bool fits = text_t ? in_family(ft, family::string_like) : bytes_t ? ft == types::binary : cells_f;
        if (!fits) rd->bad(at);
        uint32_t extra = 0;
        if ((t == types::hash && ft == types::hash) || (in_family(t, family::string_like) && in_family(ft, family::string_like)))
            extra = found.w3;
        set_series(&v, t, head, found.w2, extra);
    } else {
        if (ft != t) rd->bad(at);
        if (t != types::map && t != types::bitset) set_series_head(&v, head);
    }
    set_new_line(&v, nl);
    append(parent, &v);
}

void read_string(uint32_t parent, uint32_t t, uint32_t header, bool flag, bool nl, bool ref, const uint8_t* at) {
    const uint8_t* unit_at = at;
    uint32_t unit = 1;
    if (!rd->compact) {
        unit = (header >> unit_shift) & 0xFFu;
        if (t == types::binary && unit == 0) unit = 1;
        valid_unit(unit, unit_at);
        if (t == types::binary && unit != 1) rd->bad(unit_at);
    }
    const int32_t head = head_field(!rd->compact || flag);
    if (ref) return series_reference(parent, t, head, nl, at);
    const uint8_t* length_at = rd->p;
    uint32_t length;
    if (rd->compact) {
        const uint32_t v = rd->varint();
        if (t == types::binary) length = v;
        else {
            if ((v & 3u) == 3u) rd->bad(length_at);
            unit = 1u << (v & 3u);
            length = v >> 2;
        }
    } else {
        length = rd->count32();
    }
    const uint64_t size = uint64_t(length) * unit;
    if (size > rd->left() || size > memory::max_capacity(unit)) rd->bad(length_at);
    if (t != types::binary && unit == 4) check_code_points(rd->p, length);
    stack_cell s;
    if (t == types::binary) binary::init_cell(s.cell, length);
    else string::make_at_unit(s.cell, length, unit);
    memory::buffer_header* h = buf(series_node(s.cell));
    std::memcpy(h->tail_ptr(), rd->p, size);
    h->tail += static_cast<uint32_t>(size);
    rd->p += size;
    if (!rd->compact) rd->p += std::min<uint64_t>((4 - size % 4) % 4, rd->left());
    set_type(s.cell, t);
    set_series_head(s.cell, head);
    set_new_line(s.cell, nl);
    append(parent, s.cell);
}

void read_vector(uint32_t parent, uint32_t header, bool flag, bool nl, bool ref, const uint8_t* at) {
    uint32_t unit = rd->compact ? 0 : (header >> unit_shift) & 0xFFu;
    const int32_t head = head_field(!rd->compact || flag);
    if (ref) return series_reference(parent, types::vector, head, nl, at);
    const uint8_t* element_at;
    const uint8_t* length_at;
    uint32_t element, length;
    if (rd->compact) {
        element_at = rd->p;
        const uint8_t b = rd->u8();
        element = b >> 2;
        unit = 1u << (b & 3u);
        length_at = rd->p;
        length = rd->varint();
    } else {
        length_at = rd->p;
        length = rd->count32();
        element_at = rd->p;
        element = rd->u32();
    }
    bool ok = false;
    if (element == types::char_ || element == types::integer) ok = unit == 1 || unit == 2 || unit == 4;
    else if (element == types::float_) ok = unit == 4 || unit == 8;
    else if (element == types::percent) ok = unit == 8;
    if (!ok) rd->bad(rd->compact ? element_at : unit == 0 || unit > 8 ? at : element_at);
    const uint64_t size = uint64_t(length) * unit;
    if (size > rd->left() || size > 0xFFFFFF00ull) rd->bad(length_at);
    if (element == types::char_ && unit == 4) check_code_points(rd->p, length);
    stack_cell s;
    vector::init_cell(s.cell, length, element, unit);
    memory::buffer_header* h = buf(series_node(s.cell));
    std::memcpy(h->tail_ptr(), rd->p, size);
    h->tail += static_cast<uint32_t>(size);
    rd->p += size;
    if (!rd->compact) rd->p += std::min<uint64_t>((4 - size % 4) % 4, rd->left());
    set_series_head(s.cell, head);
    set_new_line(s.cell, nl);
    append(parent, s.cell);
}

void read_bitset(uint32_t parent, uint32_t header, bool flag, bool nl, bool ref, const uint8_t* at) {
    const bool complemented = rd->compact ? flag : (header & std_complemented) != 0;
    if (ref) return series_reference(parent, types::bitset, 0, nl, at);
    const uint8_t* length_at = rd->p;
    const uint32_t length = rd->count_field();
    if (length > rd->left() || length > 0xFFFFFF00u) rd->bad(length_at);
    stack_cell s;
    const uint32_t node = memory::new_filled_bytes(length, complemented ? 0xFF : 0x00);
    memory::buffer_header* h = buf(node);
    std::memcpy(h->head_ptr(), rd->p, length);
    h->tail = h->head + length;
    if (complemented) h->flags |= memory::flag_complemented;
    set_series(s.cell, types::bitset, 0, node);
    rd->p += length;
    if (!rd->compact) rd->p += std::min<uint64_t>((4 - length % 4) % 4, rd->left());
    set_new_line(s.cell, nl);
    append(parent, s.cell);
}

void read_image(uint32_t parent, bool flag, bool nl, bool ref, const uint8_t* at) {
    const int32_t head = head_field(!rd->compact || flag);
    if (ref) return series_reference(parent, types::image, head, nl, at);
    const uint8_t* size_at = rd->p;
    uint32_t w, h;
    if (rd->compact) {
        w = rd->varint();
        h = rd->varint();
    } else {
        const uint32_t size = rd->u32();
        w = size & 0xFFFFu;
        h = size >> 16;
    }
    if (w > image::max_side || h > image::max_side || uint64_t(w) * h * 4 > rd->left()) rd->bad(size_at);
    stack_cell s;
    image::make_record(s.cell, static_cast<int32_t>(w), static_cast<int32_t>(h));
    const uint64_t size = uint64_t(w) * h * 4;
    if (size) {
        image::pixel_lock lock = image::lock_pixels(s.cell, true);
        for (uint32_t y = 0; y < h; ++y)
            std::memcpy(reinterpret_cast<char*>(lock.pixels) + static_cast<size_t>(y) * static_cast<size_t>(lock.stride),
                        rd->p + static_cast<size_t>(y) * w * 4, static_cast<size_t>(w) * 4);
        image::unlock_pixels(lock);
    }
    rd->p += size;
    set_series_head(s.cell, head);
    set_new_line(s.cell, nl);
    append(parent, s.cell);
}

void read_block(uint32_t parent, uint32_t t, bool flag, bool nl, bool ref, const uint8_t* at) {
    const bool library = rd->library_next;
    rd->library_next = false;
    const int32_t head = head_field(!rd->compact || flag);
    if (ref) return series_reference(parent, t, head, nl, at);
    const uint32_t count = rd->children_field();
    place where;
    uint32_t node;
    {
        stack_cell s;
        block::init_cell(s.cell, static_cast<int32_t>(count));
        set_type(s.cell, t);
        set_series_head(s.cell, head);
        set_new_line(s.cell, nl);
        node = series_node(s.cell);
        if (library) buf(node)->flags |= memory::flag_library;
        where = append(parent, s.cell);
    }
    if (rd->spec_of.pending) {
        rd->spec_of.pending = false;
        if (rd->spec_of.where.node) cells_of(rd->spec_of.where.node)[rd->spec_of.where.index].w2 = node;
        _context::owner(rd->spec_of.ctx)->w2 = node;
    }
    depth_guard guard(node);
    for (uint32_t i = 0; i < count; ++i) read_value(node);
    if (t == types::hash) {
        stack_cell s;
        *s.cell = cells_of(where.node)[where.index];
        s.cell->w3 = 0;
        hash::index_new(s.cell);
        store(where, s.cell);
    }
}

void read_map(uint32_t parent, bool nl, bool ref, const uint8_t* at) {
    if (ref) return series_reference(parent, types::map, 0, nl, at);
    const uint8_t* count_at = rd->p;
    const uint32_t count = rd->children_field();
    if (count % 2) rd->bad(count_at);
    uint32_t node, table;
    {
        stack_cell s;
        map::init_cell(s.cell, nullptr, count / 2);
        set_new_line(s.cell, nl);
        node = series_node(s.cell);
        table = s.cell->w3;
        append(parent, s.cell);
    }
    depth_guard guard(node);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* item_at = rd->p;
        read_value(node);
        // A key no map can hold is this block's fault, not a path's.
        if (i % 2 == 0 && !map::valid_key_type_q(type_of(&cells_of(node)[cell_count(node) - 1]))) rd->bad(item_at);
    }
    hashtable::put_all(table, 0, 2);
}

// --- contexts, objects, functions ------------------------------------------------------

struct context_header {
    uint32_t kind;
    bool stack, self, values;
    uint32_t count;
};

context_header read_context_header() {
    const uint8_t* at = rd->p;
    context_header c{};
    if (rd->compact) {
        const uint8_t f = rd->u8();
        c.kind = f & 3u;
        c.stack = (f & cctx_stack) != 0;
        c.self = (f & cctx_self) != 0;
        c.values = (f & cctx_values) != 0;
    } else {
        const uint32_t h = rd->u32();
        if ((h & 0xFFu) != types::context) rd->bad(at);
        c.kind = (h >> ctx_kind_shift) & 3u;
        c.self = (h & ctx_self) != 0;
        c.stack = (h & ctx_stack) != 0;
        c.values = (h & ctx_values) != 0;
    }
    if (c.kind == 3 || c.kind == _context::kind_global || (c.stack && c.values)) rd->bad(at);
    c.count = rd->children_field();
    return c;
}

// A new context with the record's words (symbol indexes follow the header).
uint32_t read_context_words(const context_header& c, const uint8_t* at) {
    const uint32_t ctx = _context::allocate(static_cast<int32_t>(c.count), c.stack, c.self, 0, c.kind);
    stack_cell keep;  // the context, rooted while its words are added
    *keep.cell = *_context::cell(ctx);
    set_type(keep.cell, types::object);
    keep.cell->w1 = ctx;
    keep.cell->w2 = 0;
    keep.cell->w3 = 0;
    for (uint32_t i = 0; i < c.count; ++i) {
        const uint32_t sym = rd->symbol_field();
        int32_t index = -1;
        (void)_context::index_or_add(ctx, sym, false, &index);
        if (index != static_cast<int32_t>(i)) rd->bad(at);
    }
    return ctx;
}

// Fills the values block up to the word count with unset! (within its room).
void pad_values(uint32_t ctx) {
    if (_context::stack_q(ctx)) return;
    memory::buffer_header* h = buf(_context::cell(ctx)->w2);
    const uint32_t want = 16u * static_cast<uint32_t>(_context::length(ctx));
    while (h->used() < want && h->tail + 16 <= h->capacity) {
        set_unset(reinterpret_cast<kel_value*>(h->tail_ptr()));
        h->tail += 16;
    }
}

struct values_padder {
    uint32_t ctx;
    ~values_padder() { pad_values(ctx); }
};

void read_context_values(uint32_t ctx, const context_header& c) {
    values_padder pad{ctx};
    if (!c.values) return;
    const uint32_t values = _context::cell(ctx)->w2;
    buf(values)->tail = buf(values)->head;
    depth_guard guard(ctx);
    for (uint32_t i = 0; i < c.count; ++i) read_value(values);
}

// Object body: class id, on-set words, context; the object is stored at
// `where` (and in its context's owner slot) before its values are read.
// `bind` (when not null) is a word whose context becomes the object's.
void read_object_body(bool hooks, bool nl, place where, const place* word, const uint8_t* at) {
    // The class id: only the boot pool keeps it (the boot's fixed ids).
    const uint32_t class_id = rd->compact ? static_cast<uint32_t>(rd->zig()) : rd->u32();
    uint32_t on_set[2] = {0, 0};
    const uint8_t* hooks_at = rd->p;
    if (hooks) {
        for (auto& w : on_set) w = rd->compact ? static_cast<uint32_t>(rd->zig()) : rd->u32();
    }
    const context_header c = read_context_header();
    if (c.kind != _context::kind_object || c.stack) rd->bad(at);
    const uint32_t ctx = read_context_words(c, at);
    stack_cell s;
    object::set_cell(s.cell, ctx, rd->pool ? class_id : 0xFFFFFFFFu, 0);
    if (hooks) {
        const int32_t i0 = static_cast<int32_t>(on_set[0] >> 16), i1 = static_cast<int32_t>(on_set[1] >> 16);
        const auto valid = [&](int32_t i) { return i == static_cast<int32_t>(object::no_handler) || i < static_cast<int32_t>(c.count); };
        if (!valid(i0) || !valid(i1)) rd->bad(hooks_at);
        s.cell->w3 = object::make_hook_record(0, 0, i0, static_cast<int32_t>(on_set[0] & 0xFFFFu), i1,
                                              static_cast<int32_t>(on_set[1] & 0xFFFFu));
    }
    set_new_line(s.cell, nl);
    object::copy_to_self(s.cell);
    if (rd->pool && hooks && (on_set[1] >> 16) != object::no_handler) rd->deep_owners.push_back(*s.cell);
    if (where.node) {
        if (where.index < 0) where = append(where.node, s.cell);
        else store(where, s.cell);
    }
    if (word) {
        cells_of(word->node)[word->index].w1 = ctx;
        block::modified_node(word->node);
    }
    read_context_values(ctx, c);
}

void read_function_body(bool nl, place where, const place* word, const uint8_t* at) {
    const uint8_t* lengths_at = rd->p;
    const uint32_t spec_length = rd->count_field();
    const uint32_t body_length = rd->count_field();
    if (uint64_t(spec_length) * rd->min_record() > rd->left() || uint64_t(body_length) * rd->min_record() > rd->left())
        rd->bad(lengths_at);
    const context_header c = read_context_header();
    if (c.kind != _context::kind_function || !c.stack) rd->bad(at);
    const uint32_t ctx = read_context_words(c, at);
    stack_cell f;
    kel_value* spec = block::push_only_star(1);
    kel_value* more = block::push_only_star(function::more::cells);
    kel_value unset;
    set_unset(&unset);
    for (int32_t i = 0; i < function::more::cells; ++i) block::ks_add(more, &unset);
    set_none(cells_of(series_node(more)));  // the body, until it is read
    kel_value fn;
    fn.header = types::function;
    fn.w1 = ctx;
    fn.w2 = series_node(spec);
    fn.w3 = series_node(more);
    set_new_line(&fn, nl);
    *f.cell = fn;
    *_context::owner(ctx) = fn;
    if (where.node) {
        if (where.index < 0) where = append(where.node, &fn);
        else store(where, &fn);
    }
    if (word) {
        cells_of(word->node)[word->index].w1 = ctx;
        block::modified_node(word->node);
    }
    depth_guard guard(ctx);
    holder h;
    const uint8_t* spec_at = rd->p;
    rd->spec_of.pending = true;
    rd->spec_of.where = where;
    rd->spec_of.ctx = ctx;
    read_value(h.node);
    rd->spec_of.pending = false;
    const kel_value s = h.at(0);
    if (type_of(&s) != types::block) rd->bad(spec_at);
    fn.w2 = series_node(&s);
    // A pool's specs were checked when the build booted; their flags follow
    // the body.
    const uint32_t flags = rd->pool ? 0 : function::check_spec(&s);
    fn.header = (fn.header & header_new_line) | (flags & ~header_type_mask & ~header_new_line) | types::function;
    *_context::owner(ctx) = fn;
    store(where, &fn);
    // The body is read straight into cell 0 of the auxiliary block, so that
    // a path met inside it (a word of an object first written in the body,
    // named again further on) reaches the body through the function.
    const uint8_t* body_at = rd->p;
    struct more_padder {
        uint32_t node;
        ~more_padder() {  // on any exit: the five cells again, unset where none was read
            memory::buffer_header* mh = memory::buffer_of(node);
            while (mh->used() < 16u * function::more::cells && mh->tail + 16 <= mh->capacity) {
                set_unset(reinterpret_cast<kel_value*>(mh->tail_ptr()));
                mh->tail += 16;
            }
        }
    };
    {
        more_padder pad{fn.w3};
        buf(fn.w3)->tail = buf(fn.w3)->head;
        read_value(fn.w3);
    }
    const kel_value b = *function::more_cell(&fn, function::more::body);
    if (type_of(&b) != types::block || cell_count(fn.w3) != function::more::cells) rd->bad(body_at);
    if (rd->pool) {
        const uint8_t* flags_at = rd->p;
        const uint32_t pool_flags = rd->varint();
        if (pool_flags > (0xFFFFFFFFu >> 8)) rd->bad(flags_at);
        const uint32_t header = (pool_flags << 8) & ~header_type_mask & ~header_new_line;
        fn.header = (fn.header & header_new_line) | header | types::function;
        *_context::owner(ctx) = fn;
        if (where.node) store(where, &fn);
    }
}

// The owner record after a bound word: an object or a function, whose
// context the word takes.
void read_owner(const place& word) {
    const uint8_t* at = rd->p;
    uint32_t t;
    bool hooks;
    if (rd->compact) {
        const uint8_t b = rd->u8();
        t = b & 0x3Fu;
        hooks = (b & c_flag) != 0;
    } else {
        const uint32_t h = rd->u32();
        t = h & 0xFFu;
        hooks = (h & std_on_set) != 0;
    }
    if (t == types::object) read_object_body(hooks, false, place{}, &word, at);
    else if (t == types::function) read_function_body(false, place{}, &word, at);
    else rd->bad(at);
}

void read_word(uint32_t parent, uint32_t t, uint32_t header, bool flag, bool nl, bool ref, const uint8_t* at) {
    const uint8_t* symbol_at = rd->p;
    const uint32_t symbol_index = rd->compact ? rd->varint() : rd->u32();
    const uint32_t sym = rd->symbol(symbol_index, symbol_at);
    const bool global = rd->compact ? !flag : (header & std_global) != 0;
    kel_value w;
    init_cell(&w, t);
    w.w2 = sym;
    set_new_line(&w, nl);
    if (global) {
        if (ref) rd->bad(at);  // a global word is never a reference: no path follows it
        if (!rd->compact) (void)rd->u32();  // the index it had: bound again by symbol
        const uint32_t g = _context::global();
        // The pool names each global word many times: its index is looked
        // up once (the global context only grows while a pool is read).
        int32_t index = rd->pool ? rd->global_index[symbol_index] : -1;
        if (index < 0) {
            kel_value probe;
            init_cell(&probe, types::word);
            probe.w1 = g;
            probe.w2 = sym;
            probe.w3 = static_cast<uint32_t>(-1);
            index = _context::index_or_add_word(g, &probe);
            if (rd->pool) rd->global_index[symbol_index] = index;
        }
        w.w1 = g;
        w.w3 = static_cast<uint32_t>(index);
        append(parent, &w);
        return;
    }
    const uint8_t* index_at = rd->p;
    const int32_t index = rd->compact ? rd->zig() : static_cast<int32_t>(rd->u32());
    w.w3 = static_cast<uint32_t>(index);
    if (ref) {
        const kel_value found = read_path();
        const uint32_t ctx = context_of_found(&found);
        if (!ctx) rd->bad(at);
        if (index < -1 || index >= _context::length(ctx)) rd->bad(index_at);
        w.w1 = ctx;
        append(parent, &w);
        return;
    }
    const place where = append(parent, &w);
    read_owner(where);
    const uint32_t ctx = cells_of(where.node)[where.index].w1;
    if (index < -1 || index >= _context::length(ctx)) rd->bad(index_at);
}

void read_context_reference(uint32_t parent, uint32_t t, bool nl, const uint8_t* at) {
    const kel_value found = read_path();
    const uint32_t ctx = context_of_found(&found);
    if (!ctx) rd->bad(at);
    kel_value owner = *_context::owner(ctx);
    const uint32_t ot = type_of(&owner);
    if (t == types::object ? !(ot == types::object || ot == types::error) : ot != types::function) rd->bad(at);
    set_new_line(&owner, nl);
    append(parent, &owner);
}

// Natives, actions and ops: the inner record (a native's spec, an op's
// wrapped value) is read straight into the parent, where the value will
// stand, so that paths met inside reach it; the cell is then replaced by the
// value made from it.
void read_native(uint32_t parent, uint32_t t, bool nl) {
    const uint8_t* index_at = rd->p;
    const uint32_t index = rd->compact ? rd->varint() : rd->u32();
    const uint32_t limit = t == types::native ? static_cast<uint32_t>(native::maker.native_count)
                                              : static_cast<uint32_t>(act::count);
    bool filled = index >= 1 && index <= limit && native::maker.make_value;
    if (filled && t == types::native && native_filled) filled = native_filled(static_cast<int32_t>(index));
    if (filled && t == types::action) filled = actions::entry(static_cast<int>(index)) != nullptr;
    if (!filled) rd->bad(index_at);
    const place where{parent, cell_count(parent)};
    const uint8_t* spec_at = rd->p;
    rd->native_spec_at = spec_at;
    {
        // The spec record is checked only once read, so a chain of native
        // records nests: it counts against the depth limit like a block.
        depth_guard guard(parent);
        read_value(parent);
    }
    const kel_value spec = cells_of(parent)[where.index];
    if (type_of(&spec) != types::block) rd->bad(spec_at);
    stack_cell s;
    if (rd->pool) {
        const std::vector<kel_value>& known = t == types::native ? rd->runtime_natives : rd->runtime_actions;
        if (index >= known.size() || type_of(&known[index]) != t) rd->bad(index_at);
        *s.cell = known[index];
        set_new_line(s.cell, nl);
        store(where, s.cell);
        return;
    }
    // The value the runtime already holds for that number, when a global
    // word has it, so that the decoded native is the same native.
    const uint32_t g = _context::global();
    const kel_value* values = _context::values(g);
    for (int32_t i = 0, n = _context::length(g); values && i < n; ++i) {
        if (type_of(values + i) == t && values[i].w1 == index) {
            *s.cell = values[i];
            break;
        }
    }
    if (type_of(s.cell) != t) native::maker.make_value(t, &spec, static_cast<int32_t>(index), s.cell);
    set_new_line(s.cell, nl);
    store(where, s.cell);
}

void read_op(uint32_t parent, uint32_t header, bool nl, const uint8_t* at) {
    const place where{parent, cell_count(parent)};
    const uint8_t* inner_at = rd->p;
    {
        depth_guard guard(parent);  // op records may nest as native records do
        read_value(parent);
    }
    const kel_value w = cells_of(parent)[where.index];
    const uint32_t wt = type_of(&w);
    if (wt != types::native && wt != types::action && wt != types::function) rd->bad(inner_at);
    if (!rd->compact && ((header >> op_shift) & 0xFFu) != wt) rd->bad(at);
    stack_cell s;
    native::make_op(&w, s.cell);
    set_new_line(s.cell, nl);
    store(where, s.cell);
}

void read_error(uint32_t parent, bool nl) {
    const uint8_t* code_at = rd->p;
    const uint32_t code = rd->compact ? rd->varint() : rd->u32();
    if (!catalogued_error_code_q(code)) rd->bad(code_at);
    uint32_t ctx;
    {
        stack_cell s;
        kel_value c;
        set_integer(&c, static_cast<int32_t>(code));
        (void)error::make(s.cell, &c);
        set_new_line(s.cell, nl);
        ctx = s.cell->w1;
        append(parent, s.cell);
    }
    // The six fields are read straight into the error's values (cells 3-8),
    // so a path met inside a field reaches the fields before it. `files`
    // (cell 9) is kept aside while the tail is short.
    stack_cell files;
    *files.cell = _context::values(ctx)[error::field::files];
    struct fields_guard {
        uint32_t values;
        ~fields_guard() {  // on any exit: all ten fields again, none for those not read
            memory::buffer_header* h = buf(values);
            while (h->used() < 16u * error::field::count && h->tail + 16 <= h->capacity) {
                set_none(reinterpret_cast<kel_value*>(h->tail_ptr()));
                h->tail += 16;
            }
        }
    } guard_fields{_context::cell(ctx)->w2};
    memory::buffer_header* h = buf(guard_fields.values);
    h->tail = h->head + 16u * error::field::arg1;
    depth_guard guard(ctx);
    for (int32_t i = 0; i < 6; ++i) read_value(guard_fields.values);
    h = buf(guard_fields.values);
    if (h->tail + 16 <= h->capacity) {
        *reinterpret_cast<kel_value*>(h->tail_ptr()) = *files.cell;
        h->tail += 16;
    }
}

// --- the record reader -------------------------------------------------------------------

void read_typed(uint32_t parent, uint32_t t, uint32_t header, bool flag, bool nl, bool ref, const uint8_t* at) {
    const bool compact = rd->compact;
    kel_value v;
    switch (t) {
        case types::unset:
        case types::none:
            init_cell(&v, t);
            break;
        case types::datatype: {
            const uint8_t* f = rd->p;
            const uint32_t id = compact ? rd->varint() : rd->u32();
            if (id < 1 || id > static_cast<uint32_t>(types::count)) rd->bad(f);
            set_datatype(&v, id);
            break;
        }
        case types::logic:
            set_logic(&v, rd->u32() != 0);  // standard only: compact logic is a lead byte
            break;
        case types::char_: {
            const uint8_t* f = rd->p;
            const uint32_t cp = compact ? rd->varint() : rd->u32();
            if (cp > 0x10FFFF) rd->bad(f);
            set_char(&v, cp);
            break;
        }
        case types::integer:
            set_integer(&v, compact ? rd->zig() : static_cast<int32_t>(rd->u32()));
            break;
        case types::float_:
        case types::time:
        case types::percent: {
            double d;
            if (compact && flag) {
                const int32_t n = rd->zig();
                d = t == types::percent ? n / 100.0 : static_cast<double>(n);
            } else {
                uint32_t lo, hi;
                if (compact) {
                    lo = rd->u32();
                    hi = rd->u32();
                } else {
                    hi = rd->u32();
                    lo = rd->u32();
                }
                const uint64_t bits = uint64_t(hi) << 32 | lo;
                std::memcpy(&d, &bits, 8);
            }
            set_float(&v, d, t);
            break;
        }
        case types::date: {
            const uint8_t* f = rd->p;
            init_cell(&v, t);
            v.w1 = rd->u32();
            if (!real_day_q(v.w1) || (compact && flag != date::has_time(v.w1))) rd->bad(f);
            if (compact) {
                v.w2 = rd->u32();
                v.w3 = rd->u32();
            } else {
                v.w3 = rd->u32();
                v.w2 = rd->u32();
            }
            break;
        }
        case types::pair:
            if (compact) {
                const int32_t x = rd->zig();
                set_pair(&v, x, rd->zig());
            } else {
                const uint32_t x = rd->u32();
                set_pair(&v, static_cast<int32_t>(x), static_cast<int32_t>(rd->u32()));
            }
            break;
        case types::point2d:
        case types::point3d:
            init_cell(&v, t);
            v.w1 = rd->u32();
            v.w2 = rd->u32();
            if (t == types::point3d) v.w3 = rd->u32();
            break;
        case types::typeset: {
            init_cell(&v, t);
            if (compact) {
                const uint8_t* f = rd->p;
                const uint8_t c = rd->u8();
                if (c > 12) rd->bad(f);
                rd->need(c);
                std::memcpy(reinterpret_cast<uint8_t*>(&v) + 4, rd->p, c);
                rd->p += c;
            } else {
                v.w1 = rd->u32();
                v.w2 = rd->u32();
                v.w3 = rd->u32();
            }
            break;
        }
        case types::tuple: {
            init_cell(&v, t);
            uint32_t count = 3;
            const uint8_t* f = compact ? rd->p : at;
            if (compact) {
                if (flag) count = rd->u8();
            } else {
                count = (header >> unit_shift) & 0xFu;
                if ((header >> unit_shift) & 0xF0u) rd->bad(at);
            }
            if (count < 1 || count > 12) rd->bad(f);
            if (compact) {
                rd->need(count);
                std::memcpy(reinterpret_cast<uint8_t*>(&v) + 4, rd->p, count);
                rd->p += count;
            } else {
                v.w1 = rd->u32();
                v.w2 = rd->u32();
                v.w3 = rd->u32();
                auto* b = reinterpret_cast<uint8_t*>(&v) + 4;
                for (uint32_t i = count; i < 12; ++i) b[i] = 0;
            }
            v.header = types::tuple | count << tuple::count_shift;
            break;
        }
        case types::money: {
            init_cell(&v, t);
            const bool negative = compact ? flag : (header & std_money_negative) != 0;
            rd->need(12);
            std::memcpy(reinterpret_cast<uint8_t*>(&v) + 4, rd->p, 12);
            rd->p += 12;
            if (negative) v.header |= 0x4000u;
            break;
        }
        case types::issue:
            init_cell(&v, t);
            v.w1 = _context::global();
            v.w2 = rd->symbol_field();
            v.w3 = static_cast<uint32_t>(-1);
            break;
        case types::string: case types::file: case types::url: case types::tag: case types::email:
        case types::ref: case types::binary:
            return read_string(parent, t, header, flag, nl, ref, at);
        case types::vector:
            return read_vector(parent, header, flag, nl, ref, at);
        case types::bitset:
            return read_bitset(parent, header, flag, nl, ref, at);
        case types::image:
            return read_image(parent, flag, nl, ref, at);
        case types::block: case types::paren: case types::path: case types::lit_path: case types::set_path:
        case types::get_path: case types::hash:
            return read_block(parent, t, flag, nl, ref, at);
        case types::map:
            return read_map(parent, nl, ref, at);
        case types::word: case types::set_word: case types::lit_word: case types::get_word:
        case types::refinement:
            return read_word(parent, t, header, flag, nl, ref, at);
        case types::object:
            if (ref) return read_context_reference(parent, t, nl, at);
            return read_object_body(compact ? flag : (header & std_on_set) != 0, nl, place{parent, -1}, nullptr, at);
        case types::context: {
            // A context on its own: an object of class -1 owns it. In the
            // standard layout its header word is the record's own.
            if (!compact) rd->p = at;
            const context_header c = read_context_header();
            if (c.kind != _context::kind_object || c.stack) rd->bad(at);
            const uint32_t ctx = read_context_words(c, at);
            stack_cell s;
            object::set_cell(s.cell, ctx, 0xFFFFFFFFu, 0);
            object::copy_to_self(s.cell);
            set_new_line(s.cell, nl);
            append(parent, s.cell);
            read_context_values(ctx, c);
            return;
        }
        case types::function:
            if (ref) return read_context_reference(parent, t, nl, at);
            return read_function_body(nl, place{parent, -1}, nullptr, at);
        case types::native:
        case types::action:
            return read_native(parent, t, nl);
        case types::op:
            return read_op(parent, header, nl, at);
        case types::error:
            return read_error(parent, nl);
        case types::routine:
            if (rd->pool) {
                const uint8_t* f = rd->p;
                const uint32_t number = rd->varint();
                if (!make_routine || number > 0x7FFFFFFFu || !make_routine(static_cast<int32_t>(number), &v))
                    rd->bad(f);
                break;
            }
            [[fallthrough]];
        case types::triple: case types::handle: case types::port: case types::event: {
            kel_value type;
            set_datatype(&type, t);
            fire(error_category::access, "no-codec", &type);
        }
        default:
            rd->bad(at);
    }
    set_new_line(&v, nl);
    append(parent, &v);
}

// Which types may carry the reference flag.
bool referable_q(uint32_t t) {
    return in_family(t, family::series) || t == types::map || t == types::bitset || t == types::object ||
           t == types::function || in_family(t, family::word) || t == types::refinement;
}

void read_standard(uint32_t parent) {
    for (;;) {
        const uint8_t* at = rd->p;
        const uint32_t header = rd->u32();
        uint32_t t = header & 0xFFu;
        if (t == 0) {  // a padding word
            if (rd->p >= rd->end) rd->bad(at);
            continue;
        }
        if (t == std_reference_type) rd->bad(at);
        const bool nl = (header & std_new_line) != 0;
        const bool ref = t != types::op && (header & std_reference) != 0;
        if (ref && !referable_q(t)) rd->bad(at);
        return read_typed(parent, t, header, false, nl, ref, at);
    }
}

void read_compact(uint32_t parent) {
    const uint8_t* at = rd->p;
    bool nl = false, ref = false;
    uint8_t b = rd->u8();
    bool library = false;
    for (;;) {
        if (b == c_new_line && !nl) nl = true;
        else if (b == c_reference && !ref) ref = true;
        else if (b == c_library && rd->pool && !library) library = true;
        else break;
        b = rd->u8();
    }
    const uint8_t* lead_at = rd->p - 1;
    if (b == c_assign) rd->bad(lead_at);  // an assignment: only at the top of the boot pool
    if (library && !(b < 0x40 && in_family(b & 0x3Fu, family::block_like))) rd->bad(lead_at);
    rd->library_next = library;
    if (b == c_global_object && rd->pool) {
        if (ref) rd->bad(lead_at);
        kel_value v;
        const uint32_t g = _context::global();
        object::set_cell(&v, g, 0xFFFFFFFFu, 0);
        *_context::owner(g) = v;
        set_new_line(&v, nl);
        append(parent, &v);
        return;
    }
    if (b >= 0x80) {
        if (ref || b == c_new_line || b == c_reference) rd->bad(lead_at);
        kel_value v;
        if (b < 0xC0) set_integer(&v, b & 0x3F);
        else if (b == c_true || b == c_false) set_logic(&v, b == c_true);
        else if (b == c_path_value) {
            v = read_path();
            append(parent, &v);
            return;
        } else rd->bad(lead_at);
        set_new_line(&v, nl);
        append(parent, &v);
        return;
    }
    uint32_t t = b & 0x3Fu;
    const bool flag = (b & c_flag) != 0;
    if (t == c_long_type) t = rd->varint();
    if (t == 0 || t > 255) rd->bad(lead_at);
    if (ref && !referable_q(t)) rd->bad(at);
    if (t == types::logic) rd->bad(lead_at);
    return read_typed(parent, t, 0, flag, nl, ref, ref ? at : lead_at);
}

void read_value(uint32_t parent) {
    if (rd->compact) read_compact(parent);
    else read_standard(parent);
}

[[noreturn]] void invalid_data(const kel_value* what) {
    kel_value none;
    set_none(&none);
    fire(error_category::script, "invalid-data", what ? what : &none);
}

struct reader_scope {
    reader* saved;
    explicit reader_scope(reader* r) : saved(rd) { rd = r; }
    ~reader_scope() { rd = saved; }
};

struct lz_output {
    uint8_t* p = nullptr;
    ~lz_output() {
        if (p) lz::free_output(p);
    }
};

// The runtime's native and action values by table number, from the global
// words that hold them: a native in the pool is the runtime's own.
void gather_runtime_natives(reader& r) {
    const uint32_t g = _context::global();
    const kel_value* values = _context::values(g);
    r.runtime_natives.assign(static_cast<size_t>(native::maker.native_count) + 1, kel_value{});
    r.runtime_actions.assign(static_cast<size_t>(act::count) + 1, kel_value{});
    for (int32_t i = 0, n = _context::length(g); values && i < n; ++i) {
        const kel_value v = values[i];
        std::vector<kel_value>* into =
            type_of(&v) == types::native ? &r.runtime_natives : type_of(&v) == types::action ? &r.runtime_actions : nullptr;
        if (into && v.w1 < into->size() && (*into)[v.w1].header == 0) (*into)[v.w1] = v;
    }
}

// A top-level record of the pool: an assignment (0xC4, a global word, its
// value) sets the word and leaves nothing behind; any other record is the
// next literal.
void read_pool_record(uint32_t target) {
    if (*rd->p != c_assign) return read_value(target);
    const uint8_t* at = rd->p++;
    const int32_t mark = cell_count(target);
    read_value(target);
    kel_value w = cells_of(target)[mark];
    if (type_of(&w) != types::word || word_context(&w) != _context::global()) rd->bad(at);
    read_value(target);
    if (cell_count(target) != mark + 2) rd->bad(at);
    const kel_value value = cells_of(target)[mark + 1];
    _context::set_bound(&w, &value);
    buf(target)->tail -= 32;
}

void decode_block(const uint8_t* bytes, size_t length, const kel_value* target, const kel_value* what,
                  bool pool = false) {
    reader r;
    reader_scope scope(&r);
    r.pool = pool;
    if (pool) gather_runtime_natives(r);
    r.base = bytes;
    r.target = series_node(target);
    const uint8_t flags = bytes[7];
    r.compact = (flags & flag_compact) != 0;
    r.p = bytes + prefix_size;
    r.end = bytes + length;
    if (!r.compact && length - prefix_size < 8) invalid_data(what);
    uint32_t payload;
    const uint8_t* payload_at;
    if (r.compact) {
        (void)r.varint();  // root count: not used
        payload_at = r.p;
        payload = r.varint();
    } else {
        (void)r.u32();
        payload_at = r.p;
        payload = r.count32();
    }
    if (flags & flag_symbols) {
        const uint8_t* at = r.p;
        r.symbol_count = r.count_field();
        const uint8_t* size_at = r.p;
        r.strings_size = r.count_field();
        if (uint64_t(r.symbol_count) * 4 > r.left()) r.bad(at);
        r.offsets = r.p;
        r.p += size_t(r.symbol_count) * 4;
        if (r.strings_size > r.left()) r.bad(size_at);
        r.strings = r.p;
        if (r.strings_size && r.strings[r.strings_size - 1] != 0) r.bad(size_at);
        if (!r.strings_size && r.symbol_count) r.bad(size_at);
        r.p += r.strings_size;
        r.symbol_ids.assign(r.symbol_count, 0);
        if (pool) r.global_index.assign(r.symbol_count, -1);
    }
    if (payload > r.left()) r.bad(payload_at);
    r.end = r.p + payload;
    const int depth = cycles::depth();
    try {
        if (pool) {
            while (r.p < r.end) read_pool_record(r.target);
            // The owner table is the runtime's, not the pool's: an object
            // with on-deep-change* owns its fields' series again, inner
            // objects first, as making them bound them.
            for (auto o = r.deep_owners.rbegin(); o != r.deep_owners.rend() && object::owners.bind_object; ++o) {
                stack_cell held;
                *held.cell = *o;
                object::owners.bind_object(held.cell, held.cell, none::value);
            }
        }
        else
            while (r.p < r.end) read_value(r.target);
    } catch (...) {
        cycles::pop_n(cycles::depth() - depth);
        throw;
    }
}

}  // namespace

bool (*native_filled)(int32_t number) = nullptr;
bool (*make_routine)(int32_t number, kel_value* out) = nullptr;

bool catalogued_error_code_q(int64_t code) {
    if (code < 0) return false;
    const int64_t category = code / 100, id = code % 100;
    return category < error::category_count && id >= 2 && id < error::category_size(static_cast<int32_t>(category));
}

void decode(const uint8_t* bytes, size_t length, const kel_value* target, const kel_value* what) {
    if (length < prefix_size || std::memcmp(bytes, magic, 6) != 0) invalid_data(what);
    if (!(bytes[7] & flag_compressed)) return decode_block(bytes, length, target, what);
    size_t size = 0;
    lz_output inflated;
    inflated.p = lz::decompress(bytes + prefix_size, length - prefix_size, &size);
    if (!inflated.p) invalid_data(what);
    std::vector<uint8_t> whole(bytes, bytes + prefix_size);
    whole.insert(whole.end(), inflated.p, inflated.p + size);
    decode_block(whole.data(), whole.size(), target, what);
}

void boot_decode(const uint8_t* bytes, size_t length, const kel_value* target) {
    if (length < prefix_size || std::memcmp(bytes, magic, 6) != 0 || !(bytes[7] & flag_compact) ||
        (bytes[7] & flag_compressed)) {
        static const char message[] = "Error: Not a Kelbin file!\n";
        ssize_t ignored = ::write(2, message, sizeof message - 1);
        (void)ignored;
        ::_exit(1);
    }
    const bool active = collector::active_q();
    collector::set_active(false);
    struct restore {
        bool active;
        ~restore() { collector::set_active(active); }
    } restore_collector{active};
    decode_block(bytes, length, target, nullptr, true);
}

}  // namespace kel::kelbin
