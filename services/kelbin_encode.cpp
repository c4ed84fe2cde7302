// kelbin_encode: the two Kelbin encoders (standard and compact layouts) and
// their module state: the record counter, the path stack, the path buffer,
// the reference table and the symbol lists (see kelbin.h, kelbin_format.h).
//
// The walk copies every cell it reads into a C++ local before anything can
// allocate, and re-reads buffers from their nodes for every access: the only
// allocation during a walk is the reference table's growth, which may run the
// collector and move buffers. Records, symbol names and paths accumulate in
// heap vectors the collector never sees; the binary is made once at the end.
// The reference table is a record table (kernel/hashtable.h) keyed by series
// or context node, kept alive by a collector hook.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "services/kelbin.h"
#include "services/kelbin_format.h"

namespace kel::kelbin {

namespace {

constexpr uint32_t path_stack_start = 1024;
constexpr uint32_t path_buffer_start = 16384;

struct encoder_state {
    int32_t counter = 0;
    std::vector<uint32_t> path_stack;   // child indexes from the root to the open container
    std::vector<uint32_t> path_buffer;  // recorded paths: count, then the indexes
    uint32_t table = 0;                 // reference table: node -> position in path_buffer
    std::vector<uint32_t> symbols;      // symbol ids in index order
    std::unordered_map<uint32_t, uint32_t> symbol_index;
    std::vector<uint8_t> offsets;
    std::vector<uint8_t> strings;
    std::vector<uint8_t> out;  // the record area
    bool compact = false;
    bool pool = false;  // writing the boot pool: its private records are allowed
    bool hooked = false;
};
encoder_state st;

void mark_table_hook() {
    if (st.table && collector::mark_table) collector::mark_table(st.table);
}

// The path stack grows by half when full; an array grown past its start size
// is given back on reset, as is a path buffer grown past 64 KB.
void push_path(uint32_t index) {
    if (st.path_stack.size() == st.path_stack.capacity())
        st.path_stack.reserve(st.path_stack.capacity() + st.path_stack.capacity() / 2);
    st.path_stack.push_back(index);
}

void reset() {
    st.counter = 0;
    if (st.path_stack.capacity() > path_stack_start) std::vector<uint32_t>().swap(st.path_stack);
    st.path_stack.clear();
    st.path_stack.reserve(path_stack_start);
    if (st.path_buffer.capacity() > path_buffer_start) std::vector<uint32_t>().swap(st.path_buffer);
    st.path_buffer.clear();
    st.path_buffer.reserve(path_buffer_start);
    if (st.table) hashtable::clear(st.table);
    st.symbols.clear();
    st.symbol_index.clear();
    st.offsets.clear();
    st.strings.clear();
    st.out.clear();
    st.pool = false;
}

// Resets the state however the encoding ends: normally, or by an error
// thrown from anywhere below (the cycle guard is put back as it was).
struct reset_guard {
    int depth;
    reset_guard() : depth(cycles::depth()) {}
    ~reset_guard() {
        if (cycles::depth() > depth) cycles::pop_n(cycles::depth() - depth);
        reset();
    }
};

[[noreturn]] void refuse(const kel_value* v) {
    const kel_value copy = *v;
    reset();
    fire(error_category::access, "no-codec", &copy);
}

// --- output ---------------------------------------------------------------------

inline void u32(uint32_t v) { put_u32(st.out, v); }
inline void varint(uint32_t v) { put_varint(st.out, v); }
inline void byte(uint8_t b) { st.out.push_back(b); }
void bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    st.out.insert(st.out.end(), b, b + n);
}
void pad4() {
    while (st.out.size() % 4) st.out.push_back(0);
}
// The compact type byte, with the new-line and reference prefixes before it.
void type_byte(uint32_t type, bool flag, bool nl, bool ref) {
    if (nl) byte(c_new_line);
    if (ref) byte(c_reference);
    byte(static_cast<uint8_t>(type | (flag ? c_flag : 0)));
}
void std_header(uint32_t header, bool nl, bool ref) {
    u32(header | (nl ? std_new_line : 0) | (ref ? std_reference : 0));
}

uint32_t symbol_of(uint32_t id) {
    auto it = st.symbol_index.find(id);
    if (it != st.symbol_index.end()) return it->second;
    const auto index = static_cast<uint32_t>(st.symbols.size());
    st.symbols.push_back(id);
    st.symbol_index.emplace(id, index);
    put_u32(st.offsets, static_cast<uint32_t>(st.strings.size()));
    uint32_t length = 0;
    const char* name = symbol::name_bytes(id, &length);
    st.strings.insert(st.strings.end(), name, name + length);
    st.strings.push_back(0);
    if (!st.compact)
        while (st.strings.size() % 8) st.strings.push_back(0);
    return index;
}

// Writes the recorded path at `position` of the path buffer.
void write_path(uint32_t position) {
    const uint32_t n = st.path_buffer[position];
    if (st.compact) {
        varint(n);
        for (uint32_t i = 1; i <= n; ++i) varint(st.path_buffer[position + i]);
    } else {
        u32(std_reference_type);
        u32(n);
        for (uint32_t i = 1; i <= n; ++i) u32(st.path_buffer[position + i]);
    }
}

// --- the reference table ---------------------------------------------------------

// -1 when the key is new: it is then entered with the current path extended
// by the counter, and the counter starts again at 0 (the caller pops it).
int64_t enter(uint32_t key) {
    if (!st.table) {
        st.table = hashtable::make(1024, nullptr, hashtable::kinds::records, 1);
        if (!st.hooked) st.hooked = collector::add_hook(mark_table_hook);
    }
    if (const kel_value* rec = hashtable::get_key(st.table, key)) return rec->w1;
    push_path(static_cast<uint32_t>(st.counter));
    st.counter = 0;
    const auto position = static_cast<uint32_t>(st.path_buffer.size());
    st.path_buffer.push_back(static_cast<uint32_t>(st.path_stack.size()));
    st.path_buffer.insert(st.path_buffer.end(), st.path_stack.begin(), st.path_stack.end());
    kel_value* rec = hashtable::put_key(st.table, key);
    rec->w1 = position;
    return -1;
}
void leave() {
    st.counter = static_cast<int32_t>(st.path_stack.back());
    st.path_stack.pop_back();
}

// Depth of the walk: the cycle guard's limit raises internal `too-deep`.
struct depth_guard {
    explicit depth_guard(uint32_t node) { cycles::push(node); }
    ~depth_guard() { cycles::pop(); }
};

void write_value(const kel_value* cell);

// --- scalars ------------------------------------------------------------------------

void write_float(const kel_value* v, uint32_t t, bool nl) {
    const double d = get_float(v);
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    if (st.compact) {
        bool short_form = false;
        int32_t n = 0;
        // -0.0 stays raw in every short form: the integer would drop its sign.
        const bool negative_zero = d == 0.0 && std::signbit(d);
        if (t == types::percent) {
            if (std::fabs(d) <= percent_limit && !negative_zero) {
                const double hundred = std::round(d * 100.0);
                if (hundred / 100.0 == d) {
                    short_form = true;
                    n = static_cast<int32_t>(hundred);
                }
            }
        } else if (std::fabs(d) <= whole_float_limit && std::trunc(d) == d && !negative_zero) {
            short_form = true;
            n = static_cast<int32_t>(d);
        }
        type_byte(t, short_form, nl, false);
        if (short_form) varint(zigzag(n));
        else {
            u32(static_cast<uint32_t>(bits));
            u32(static_cast<uint32_t>(bits >> 32));
        }
        return;
    }
    if (st.out.size() % 8) u32(0);  // a padding word: the header starts 8-aligned
    std_header(t, nl, false);
    u32(static_cast<uint32_t>(bits >> 32));
    u32(static_cast<uint32_t>(bits));
}

void write_scalar(const kel_value* v, uint32_t t, bool nl) {
    const auto* cb = reinterpret_cast<const uint8_t*>(v);
    switch (t) {
        case types::unset:
        case types::none:
            if (st.compact) type_byte(t, false, nl, false);
            else std_header(t, nl, false);
            return;
        case types::logic:
            if (st.compact) {
                if (nl) byte(c_new_line);
                byte(get_logic(v) ? c_true : c_false);
            } else {
                std_header(t, nl, false);
                u32(get_logic(v) ? 1 : 0);
            }
            return;
        case types::datatype:
        case types::char_:
            if (st.compact) {
                type_byte(t, false, nl, false);
                varint(t == types::datatype ? v->w1 : v->w2);
            } else {
                std_header(t, nl, false);
                u32(t == types::datatype ? v->w1 : v->w2);
            }
            return;
        case types::integer: {
            const int32_t i = get_integer(v);
            if (st.compact) {
                if (nl) byte(c_new_line);
                if (i >= 0 && i <= 63) byte(static_cast<uint8_t>(c_small_int | i));
                else {
                    byte(types::integer);
                    varint(zigzag(i));
                }
            } else {
                std_header(t, nl, false);
                u32(static_cast<uint32_t>(i));
            }
            return;
        }
        case types::float_:
        case types::percent:
        case types::time:
            write_float(v, t, nl);
            return;
        case types::date: {
            const bool timed = (v->w1 & 0x10000u) != 0;
            if (st.compact) {
                type_byte(t, timed, nl, false);
                u32(v->w1);
                u32(v->w2);
                u32(v->w3);
            } else {
                std_header(t, nl, false);
                u32(v->w1);
                u32(v->w3);
                u32(v->w2);
            }
            return;
        }
        case types::pair:
            if (st.compact) {
                type_byte(t, false, nl, false);
                varint(zigzag(pair_x(v)));
                varint(zigzag(pair_y(v)));
            } else {
                std_header(t, nl, false);
                u32(v->w2);
                u32(v->w3);
            }
            return;
        case types::point2d:
        case types::point3d:
            if (st.compact) type_byte(t, false, nl, false);
            else std_header(t, nl, false);
            u32(v->w1);
            u32(v->w2);
            if (t == types::point3d) u32(v->w3);
            return;
        case types::typeset:
            if (st.compact) {
                type_byte(t, false, nl, false);
                int c = 12;
                while (c > 0 && cb[4 + c - 1] == 0) --c;
                byte(static_cast<uint8_t>(c));
                bytes(cb + 4, static_cast<size_t>(c));
            } else {
                std_header(t, nl, false);
                u32(v->w1);
                u32(v->w2);
                u32(v->w3);
            }
            return;
        case types::tuple: {
            const uint32_t count = (v->header >> tuple::count_shift) & tuple::count_mask;
            if (st.compact) {
                type_byte(t, count != 3, nl, false);
                if (count != 3) byte(static_cast<uint8_t>(count));
                bytes(cb + 4, count);
            } else {
                std_header(t | (count << unit_shift), nl, false);
                u32(v->w1);
                u32(v->w2);
                u32(v->w3);
            }
            return;
        }
        case types::money: {
            const bool negative = (v->header & 0x4000u) != 0;
            if (st.compact) {
                type_byte(t, negative, nl, false);
                bytes(cb + 4, 12);
            } else {
                std_header(t | (negative ? std_money_negative : 0), nl, false);
                u32(v->w1);
                u32(v->w2);
                u32(v->w3);
            }
            return;
        }
        case types::issue: {
            // Names are NUL-terminated in both layouts, and an issue is the
            // one word-like value whose text may hold a NUL: it would come
            // back cut short, so it is refused like a value with no record.
            uint32_t length = 0;
            const char* name = symbol::name_bytes(v->w2, &length);
            if (std::memchr(name, 0, length)) refuse(v);
            if (st.compact) {
                type_byte(t, false, nl, false);
                varint(symbol_of(v->w2));
            } else {
                std_header(t, nl, false);
                u32(symbol_of(v->w2));
            }
            return;
        }
        default:
            return;
    }
}

bool scalar_q(uint32_t t) {
    switch (t) {
        case types::unset: case types::none: case types::logic: case types::datatype: case types::char_:
        case types::integer: case types::float_: case types::percent: case types::time: case types::date:
        case types::pair: case types::point2d: case types::point3d: case types::typeset: case types::tuple:
        case types::money: case types::issue:
            return true;
        default:
            return false;
    }
}

bool refused_q(uint32_t t) {
    return t == types::routine || t == types::triple || t == types::handle || t == types::port || t == types::event;
}

// --- series --------------------------------------------------------------------------

uint32_t log2_unit(uint32_t unit) { return unit == 1 ? 0 : unit == 2 ? 1 : unit == 4 ? 2 : 3; }

// Head fields of a series record: the header (or type byte) and the head.
void series_head_fields(uint32_t header, int32_t head, bool nl, int64_t ref) {
    if (st.compact) {
        type_byte(header & 0xFFu, head != 0, nl, ref >= 0);
        if (head != 0) varint(static_cast<uint32_t>(head));
    } else {
        std_header(header, nl, ref >= 0);
        u32(static_cast<uint32_t>(head));
    }
}

void write_cells(uint32_t node, uint32_t from_count) {
    for (uint32_t i = 0; i < from_count; ++i) {
        memory::buffer_header* h = memory::buffer_of(node);
        const kel_value c = reinterpret_cast<const kel_value*>(h->data() + h->head)[i];
        write_value(&c);
    }
}

void write_block(const kel_value* v, uint32_t t, bool nl, int64_t ref) {
    const uint32_t node = series_node(v);
    if (st.pool && ref < 0 && (memory::buffer_of(node)->flags & memory::flag_library)) byte(c_library);
    series_head_fields(t, series_head(v), nl, ref);
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    const uint32_t count = memory::buffer_of(node)->used() / 16;
    if (st.compact) varint(count);
    else u32(count);
    depth_guard guard(node);
    write_cells(node, count);
}

void write_string(const kel_value* v, uint32_t t, bool nl, int64_t ref) {
    memory::buffer_header* h = memory::buffer_of(series_node(v));
    const uint32_t unit = h->unit();
    if (st.compact) {
        type_byte(t, series_head(v) != 0, nl, ref >= 0);
        if (series_head(v) != 0) varint(static_cast<uint32_t>(series_head(v)));
    } else {
        std_header(t | (unit << unit_shift), nl, ref >= 0);
        u32(static_cast<uint32_t>(series_head(v)));
    }
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    const uint32_t length = h->units();
    if (st.compact) {
        // The compact length shares its varint with the unit's two bits.
        if (t != types::binary && length > (0xFFFFFFFFu >> 2)) fire(error_category::script, "too-long");
        if (t == types::binary) varint(length);
        else varint(length << 2 | log2_unit(unit));
    } else {
        u32(length);
    }
    bytes(h->head_ptr(), h->used());
    if (!st.compact) pad4();
}

void write_vector(const kel_value* v, bool nl, int64_t ref) {
    memory::buffer_header* h = memory::buffer_of(series_node(v));
    const uint32_t unit = h->unit();
    const uint32_t element = v->w3;
    if (st.compact) {
        type_byte(types::vector, series_head(v) != 0, nl, ref >= 0);
        if (series_head(v) != 0) varint(static_cast<uint32_t>(series_head(v)));
    } else {
        std_header(types::vector | (unit << unit_shift), nl, ref >= 0);
        u32(static_cast<uint32_t>(series_head(v)));
    }
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    if (st.compact) {
        byte(static_cast<uint8_t>(element << 2 | log2_unit(unit)));
        varint(h->units());
    } else {
        u32(h->units());
        u32(element);
    }
    bytes(h->head_ptr(), h->used());
    if (!st.compact) pad4();
}

void write_bitset(const kel_value* v, bool nl, int64_t ref) {
    memory::buffer_header* h = memory::buffer_of(series_node(v));
    const bool complemented = (h->flags & memory::flag_complemented) != 0;
    if (st.compact) type_byte(types::bitset, complemented, nl, ref >= 0);
    else std_header(types::bitset | (complemented ? std_complemented : 0), nl, ref >= 0);
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    if (st.compact) varint(h->used());
    else u32(h->used());
    bytes(h->head_ptr(), h->used());
    if (!st.compact) pad4();
}

void write_image(const kel_value* v, bool nl, int64_t ref) {
    series_head_fields(types::image, series_head(v), nl, ref);
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    image::pixel_lock lock = image::lock_pixels(v, false);
    const auto w = static_cast<uint32_t>(lock.width), hgt = static_cast<uint32_t>(lock.height);
    if (st.compact) {
        varint(w);
        varint(hgt);
    } else {
        u32(w | hgt << 16);
    }
    // The 4-byte channel form (image/get-channel-data mode 2): the pixel words.
    for (uint32_t y = 0; y < hgt && lock.pixels; ++y)
        bytes(reinterpret_cast<const char*>(lock.pixels) + static_cast<size_t>(y) * static_cast<size_t>(lock.stride),
              static_cast<size_t>(w) * 4);
    image::unlock_pixels(lock);
}

void write_map(const kel_value* v, bool nl, int64_t ref) {
    if (st.compact) type_byte(types::map, false, nl, ref >= 0);
    else std_header(types::map, nl, ref >= 0);
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    const uint32_t node = series_node(v);
    const uint32_t cells = memory::buffer_of(node)->used() / 16;
    uint32_t live = 0;
    for (uint32_t i = 0; i + 1 < cells; i += 2) {
        memory::buffer_header* h = memory::buffer_of(node);
        if (reinterpret_cast<const kel_value*>(h->head_ptr())[i + 1].header != 0) ++live;
    }
    if (st.compact) varint(live * 2);
    else u32(live * 2);
    depth_guard guard(node);
    for (uint32_t i = 0; i + 1 < cells; i += 2) {
        memory::buffer_header* h = memory::buffer_of(node);
        const kel_value* pair = reinterpret_cast<const kel_value*>(h->head_ptr()) + i;
        if (pair[1].header == 0) continue;
        const kel_value key = pair[0], value = pair[1];
        write_value(&key);
        write_value(&value);
    }
}

// --- contexts, objects, functions --------------------------------------------------------

void write_context(uint32_t ctx) {
    const kel_value c = *_context::cell(ctx);
    const uint32_t kind = _context::kind_of(&c);
    const bool stack = (c.header & header_context_stack) != 0;
    const bool self = (c.header & _context::flag_self) != 0;
    const int32_t n = _context::length(ctx);
    bool values = false;
    if (!stack) {
        const kel_value* vals = _context::values(ctx);
        for (int32_t i = 0; vals && i < n && !values; ++i) values = !unset_q(vals + i);
    }
    if (st.compact) {
        byte(static_cast<uint8_t>(kind | (stack ? cctx_stack : 0) | (self ? cctx_self : 0) | (values ? cctx_values : 0)));
        varint(static_cast<uint32_t>(n));
    } else {
        u32(types::context | kind << ctx_kind_shift | (self ? ctx_self : 0) | (stack ? ctx_stack : 0) |
            (values ? ctx_values : 0));
        u32(static_cast<uint32_t>(n));
    }
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t sym = word_symbol(context_ops::word_at(ctx, i));
        const uint32_t index = symbol_of(sym);
        if (st.compact) varint(index);
        else u32(index);
    }
    if (!values) return;
    depth_guard guard(ctx);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value value = _context::values(ctx)[i];
        write_value(&value);
    }
}

// The body of an object record after its header: class id, on-set words, context.
void write_object_body(const kel_value* o) {
    const uint32_t record = object::on_set_of(o);
    uint32_t hooks[2] = {0, 0};
    if (record) {
        memory::buffer_header* h = memory::buffer_of(record);
        const auto* cells = reinterpret_cast<const kel_value*>(h->head_ptr());
        hooks[0] = cells[0].w2;
        hooks[1] = cells[1].w2;
    }
    if (st.compact) {
        varint(zigzag(static_cast<int32_t>(object::class_of(o))));
        if (record) {
            varint(zigzag(static_cast<int32_t>(hooks[0])));
            varint(zigzag(static_cast<int32_t>(hooks[1])));
        }
    } else {
        u32(object::class_of(o));
        if (record) {
            u32(hooks[0]);
            u32(hooks[1]);
        }
    }
    write_context(object::context_of(o));
}

void write_function_body(const kel_value* f) {
    const uint32_t spec_node = f->w2;
    const memory::buffer_header* sh = memory::buffer_of(spec_node);
    const kel_value body = *function::more_cell(f, function::more::body);
    const bool has_body = in_family(type_of(&body), family::block_like);
    const uint32_t spec_length = sh->used() / 16;
    const uint32_t body_length = has_body ? static_cast<uint32_t>(std::max<int64_t>(
                                                  int64_t(memory::buffer_of(series_node(&body))->used() / 16) -
                                                      series_head(&body), 0))
                                          : 0;
    if (st.compact) {
        varint(spec_length);
        varint(body_length);
    } else {
        u32(spec_length);
        u32(body_length);
    }
    write_context(f->w1);
    const int32_t saved = st.counter;
    kel_value spec;
    set_series(&spec, types::block, 0, spec_node);
    st.counter = 0;
    write_value(&spec);
    st.counter = 1;
    write_value(&body);
    st.counter = saved;
    // The pool keeps the flags the spec gave, so its reader need not check
    // the spec again.
    if (st.pool) varint((f->header & ~header_type_mask & ~header_new_line) >> 8);
}

void write_object(const kel_value* v, uint32_t t, bool nl, int64_t ref) {
    const bool hooks = object::on_set_of(v) != 0;
    if (st.compact) type_byte(t, hooks && ref < 0, nl, ref >= 0);
    else std_header(t | (hooks && ref < 0 ? std_on_set : 0), nl, ref >= 0);
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    write_object_body(v);
}

void write_function(const kel_value* v, bool nl, int64_t ref) {
    if (st.compact) type_byte(types::function, false, nl, ref >= 0);
    else std_header(types::function, nl, ref >= 0);
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    depth_guard guard(v->w1);
    write_function_body(v);
}

// A word's context counts as global when it is the global context, none, or
// one whose owner is not an object or function (unset!, none!, a block).
bool global_context_q(uint32_t ctx) {
    if (ctx == 0 || ctx == _context::global()) return true;
    const uint32_t owner = type_of(_context::owner(ctx));
    return owner == types::unset || owner == types::none || in_family(owner, family::block_like);
}

void write_word(const kel_value* v, uint32_t t, bool nl, bool global, int64_t ref) {
    const uint32_t sym = symbol_of(word_symbol(v));
    if (global) {
        if (st.compact) {
            type_byte(t, false, nl, false);
            varint(sym);
        } else {
            std_header(t | std_global, nl, false);
            u32(sym);
            u32(v->w3);
        }
        return;
    }
    if (st.compact) {
        type_byte(t, true, nl, ref >= 0);
        varint(sym);
        varint(zigzag(word_index(v)));
    } else {
        std_header(t, nl, ref >= 0);
        u32(sym);
        u32(v->w3);
    }
    if (ref >= 0) return write_path(static_cast<uint32_t>(ref));
    // The owner follows; its values are the word's children.
    const kel_value owner = *_context::owner(word_context(v));
    const uint32_t ot = type_of(&owner);
    depth_guard guard(word_context(v));
    if (ot == types::function) {
        if (st.compact) type_byte(types::function, false, false, false);
        else u32(types::function);
        write_function_body(&owner);
    } else if (ot == types::object || ot == types::error) {
        const bool hooks = object::on_set_of(&owner) != 0;
        if (st.compact) type_byte(types::object, hooks, false, false);
        else u32(types::object | (hooks ? std_on_set : 0));
        write_object_body(&owner);
    } else {
        refuse(&owner);
    }
}

void write_native(const kel_value* v, uint32_t t, bool nl) {
    if (st.compact) {
        type_byte(t, false, nl, false);
        varint(v->w1);
    } else {
        std_header(t, nl, false);
        u32(v->w1);
    }
    if (st.pool) {  // the runtime's own value is taken at start-up: an empty spec
        type_byte(types::block, false, false, false);
        varint(0);
        return;
    }
    kel_value spec;
    set_series(&spec, types::block, 0, v->w2);
    write_value(&spec);
    --st.counter;
}

void write_error(const kel_value* v, bool nl) {
    const uint32_t ctx = object::context_of(v);
    const int64_t seen = enter(ctx);
    if (seen >= 0) {  // written before: a full record again, under a path of its own
        push_path(static_cast<uint32_t>(st.counter));
        st.counter = 0;
    }
    const kel_value* vals = _context::values(ctx);
    const kel_value code = vals[0];
    // The record keeps only the code: an error whose code names no catalogue
    // entry (a script set it to none or to any number) could not be made
    // again, so it is refused here rather than written undecodable.
    if (type_of(&code) != types::integer || !catalogued_error_code_q(get_integer(&code))) refuse(v);
    const auto c = static_cast<uint32_t>(get_integer(&code));
    if (st.compact) {
        type_byte(types::error, false, nl, false);
        varint(c);
    } else {
        std_header(types::error, nl, false);
        u32(c);
    }
    depth_guard guard(ctx);
    for (int32_t i = 3; i <= 8; ++i) {
        const kel_value field = _context::values(ctx)[i];
        write_value(&field);
    }
    leave();
}

// The boot pool's own forms: a routine by its table number, a handle (an
// operating-system object of this process) as none, the global context's
// object by a byte of its own.
bool write_pool_value(const kel_value* v, uint32_t t, bool nl) {
    if (t == types::routine) {
        const kel_value number = *function::more_cell(v, function::more::code);
        type_byte(t, false, nl, false);
        varint(static_cast<uint32_t>(get_integer(&number)));
        return true;
    }
    if (t == types::handle) {
        type_byte(types::none, false, nl, false);
        return true;
    }
    if (t == types::object && v->w1 == _context::global()) {
        if (nl) byte(c_new_line);
        byte(c_global_object);
        return true;
    }
    return false;
}

void write_value(const kel_value* cell) {
    const kel_value v = *cell;
    const uint32_t t = type_of(&v);
    const bool nl = new_line_q(&v);
    if (scalar_q(t)) {
        write_scalar(&v, t, nl);
        ++st.counter;
        return;
    }
    if (st.pool && write_pool_value(&v, t, nl)) {
        ++st.counter;
        return;
    }
    if (refused_q(t)) refuse(&v);
    switch (t) {
        case types::native:
        case types::action:
            write_native(&v, t, nl);
            ++st.counter;
            return;
        case types::op: {
            const uint32_t wrapped = native::wrapped_type(&v);
            if (wrapped == types::routine) refuse(&v);
            if (st.compact) type_byte(types::op, false, nl, false);
            else std_header(types::op | wrapped << op_shift, nl, false);
            kel_value inner = v;
            inner.header = wrapped;
            write_value(&inner);
            // The wrapped record is not a sibling: the op's own count follows.
            return;
        }
        case types::error:
            write_error(&v, nl);
            ++st.counter;
            return;
        default:
            break;
    }
    const bool word = in_family(t, family::word) || t == types::refinement;
    const bool context_keyed = word || t == types::object || t == types::function;
    if (!context_keyed && !in_family(t, family::series) && t != types::map && t != types::bitset &&
        t != types::image) {
        refuse(&v);  // a type no record exists for
    }
    const bool global = word && global_context_q(word_context(&v));
    int64_t ref = -1;
    bool pushed = false;
    if (!global) {
        ref = enter(context_keyed ? v.w1 : v.w2);
        pushed = ref < 0;
    }
    if (word) write_word(&v, t, nl, global, ref);
    else if (t == types::object) write_object(&v, t, nl, ref);
    else if (t == types::function) write_function(&v, nl, ref);
    else if (t == types::map) write_map(&v, nl, ref);
    else if (t == types::bitset) write_bitset(&v, nl, ref);
    else if (t == types::image) write_image(&v, nl, ref);
    else if (t == types::vector) write_vector(&v, nl, ref);
    else if (in_family(t, family::block_like)) write_block(&v, t, nl, ref);
    else write_string(&v, t, nl, ref);
    if (pushed) leave();
    ++st.counter;
}

// The prefix and header of a compact block: version, flags, root count,
// payload size and the symbol table.
std::vector<uint8_t> compact_head(uint8_t block_version, uint32_t roots) {
    const bool symbols = !st.symbols.empty();
    std::vector<uint8_t> head;
    head.insert(head.end(), magic, magic + 6);
    head.push_back(block_version);
    head.push_back(static_cast<uint8_t>(flag_compact | (symbols ? flag_symbols : 0)));
    put_varint(head, roots);
    put_varint(head, static_cast<uint32_t>(st.out.size()));
    if (symbols) {
        put_varint(head, static_cast<uint32_t>(st.symbols.size()));
        put_varint(head, static_cast<uint32_t>(st.strings.size()));
        head.insert(head.end(), st.offsets.begin(), st.offsets.end());
        head.insert(head.end(), st.strings.begin(), st.strings.end());
    }
    return head;
}

void make_binary(const std::vector<uint8_t>& head, kel_value* out) {
    const uint64_t total = uint64_t(head.size()) + st.out.size();
    if (total > memory::max_capacity(1)) fire(error_category::internal, "no-memory");
    binary::init_cell(out, static_cast<uint32_t>(total));
    binary::append_bytes(out, head.data(), head.size());
    binary::append_bytes(out, st.out.data(), st.out.size());
}

}  // namespace

void encode_pool(const kel_value* words, const kel_value* values, kel_value* out) {
    reset_guard guard;
    reset();
    st.compact = true;
    st.pool = true;
    write_value(words);
    write_value(values);
    const kel_value w = *words, v = *values;
    const int32_t n = static_cast<int32_t>(memory::buffer_of(series_node(&v))->used() / 16);
    for (int32_t i = 0; i < n; ++i) {
        const kel_value* cells = reinterpret_cast<const kel_value*>(memory::buffer_of(series_node(&v))->head_ptr());
        if (unset_q(cells + i)) continue;
        const kel_value word = reinterpret_cast<const kel_value*>(memory::buffer_of(series_node(&w))->head_ptr())[i];
        byte(c_assign);
        type_byte(types::word, false, false, false);
        varint(symbol_of(word_symbol(&word)));
        byte(c_path_value);
        varint(2);
        varint(1);
        varint(static_cast<uint32_t>(i));
    }
    make_binary(compact_head(pool_version, 2), out);
}

void encode(const kel_value* value, bool compact, kel_value* out) {
    reset_guard guard;
    reset();
    st.compact = compact;
    write_value(value);

    const bool symbols = !st.symbols.empty();
    std::vector<uint8_t> head;
    head.insert(head.end(), magic, magic + 6);
    head.push_back(version);
    if (compact) {
        head.push_back(static_cast<uint8_t>(flag_compact | (symbols ? flag_symbols : 0)));
        put_varint(head, 1);
        put_varint(head, static_cast<uint32_t>(st.out.size()));
        if (symbols) {
            put_varint(head, static_cast<uint32_t>(st.symbols.size()));
            put_varint(head, static_cast<uint32_t>(st.strings.size()));
        }
    } else {
        head.push_back(symbols ? flag_symbols : 0);
        put_u32(head, 1);
        put_u32(head, static_cast<uint32_t>(st.out.size()));
        if (symbols) {
            put_u32(head, static_cast<uint32_t>(st.symbols.size()));
            put_u32(head, static_cast<uint32_t>(st.strings.size()));
        }
    }
    if (symbols) {
        head.insert(head.end(), st.offsets.begin(), st.offsets.end());
        head.insert(head.end(), st.strings.begin(), st.strings.end());
    }
    const uint64_t total = uint64_t(head.size()) + st.out.size();
    if (total > memory::max_capacity(1)) fire(error_category::internal, "no-memory");
    binary::init_cell(out, static_cast<uint32_t>(total));
    binary::append_bytes(out, head.data(), head.size());
    binary::append_bytes(out, st.out.data(), st.out.size());
}

}  // namespace kel::kelbin
