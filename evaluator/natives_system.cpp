// natives_system: see natives_system.h.
#include "evaluator/natives_system.h"

#include <algorithm>
#include <cmath>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/string_api.h"
#include "datatypes/word.h"
#include "evaluator/checksum.h"
#include "evaluator/interpreter.h"
#include "evaluator/lexer_callback.h"
#include "evaluator/native_table.h"
#include "kernel/collector.h"
#include "kernel/heap.h"
#include "kernel/native_api.h"
#include "kernel/runtime.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "platform/platform.h"
#include "services/compression.h"
#include "services/lexer.h"
#include "services/simple_io.h"

namespace kel::natives {

gui_hooks gui;

namespace {

// Refinement slots in spec order.
namespace wait_ref { enum { all }; }
namespace apply_ref { enum { all, safer }; }
namespace transcode_ref { enum { next, one, prescan, scan, part, into, trace }; }
namespace decompress_ref { enum { size }; }
namespace stats_ref { enum { show, info }; }
namespace recycle_ref { enum { on, off }; }

// A byte count as the natives answer it: integer! while it fits, float! above.
void set_count(kel_value* out, uint64_t n) {
    if (n > 2147483647u) set_float(out, static_cast<double>(n));
    else set_integer(out, static_cast<int32_t>(n));
}

kel_value* add_count(const kel_value* block, uint64_t n) {
    kel_value v;
    set_count(&v, n);
    return block::ks_add(block, &v);
}

// Heap scratch for the figures, released however the caller leaves.
template <class T>
struct scratch {
    T* data;
    explicit scratch(uint32_t n) : data(heap::allocate_array<T>(n ? n : 1)) {}
    ~scratch() { heap::free(data); }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
};

// A new block at the tail of `into`, molded on a line of its own as every
// block of the memory figures is.
kel_value new_line_block_at_tail(const kel_value* into, uint32_t n) {
    kel_value* c = block::make_at_tail(into, static_cast<int32_t>(n));
    set_new_line(c, true);
    return *c;
}

// One [free used total] block per frame, in a new block at the tail of `into`.
void add_frames(const kel_value* into, const collector::frame_figures* f, uint32_t n) {
    const kel_value list = new_line_block_at_tail(into, n);
    for (uint32_t i = 0; i < n; ++i) {
        const kel_value one = new_line_block_at_tail(&list, 3);
        add_count(&one, f[i].free);
        add_count(&one, f[i].used);
        add_count(&one, f[i].total);
    }
}

// The five entries `show-memory-stats` prints, in a new block pushed on the
// argument stack: node frames, series frames, big buffer sizes, bytes taken
// from the system, bytes held through the heap wrapper. The figures are read
// before any block is made, so the blocks' own allocation does not show.
kel_value* push_memory_figures() {
    const uint32_t node_count = collector::node_frame_figures(nullptr, 0);
    const uint32_t series_count = collector::series_frame_figures(nullptr, 0);
    const uint32_t big_count = collector::big_frame_sizes(nullptr, 0);
    scratch<collector::frame_figures> nodes(node_count), series(series_count);
    scratch<uint64_t> bigs(big_count);
    const uint32_t n_nodes = collector::node_frame_figures(nodes.data, node_count);
    const uint32_t n_series = collector::series_frame_figures(series.data, series_count);
    const uint32_t n_bigs = collector::big_frame_sizes(bigs.data, big_count);
    const uint64_t system_bytes = collector::os_bytes();
    const uint64_t heap_bytes = heap::live_bytes();

    kel_value* info = block::push_only_star(5);
    add_frames(info, nodes.data, n_nodes < node_count ? n_nodes : node_count);
    add_frames(info, series.data, n_series < series_count ? n_series : series_count);
    const kel_value big_list = new_line_block_at_tail(info, big_count);
    for (uint32_t i = 0; i < n_bigs && i < big_count; ++i) add_count(&big_list, bigs.data[i]);
    add_count(info, system_bytes);
    add_count(info, heap_bytes);
    return info;
}

// Where `as` may move a value: 1 the block group, 2 the string group, 0
// neither. hash! is a block but keeps a table beside its cells, which a
// plain block would leave stale.
int coercion_group(uint32_t type) {
    if (type == types::hash) return 0;
    if (in_family(type, family::block_like)) return 1;
    if (in_family(type, family::string_like)) return 2;
    return 0;
}

}  // namespace

signal_code size_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::size_q, refs);
    kel_value* result = stack::arguments();
    const kel_value file = *stack::argument(1);
    const int64_t size = simple_io::dir_path_q(&file) ? -1 : simple_io::file_size(file::to_os_path(&file));
    // Sizes past the integer range answer a float!, as `stats` does.
    if (size < 0) set_none(result);
    else if (size > INT32_MAX) set_float(result, static_cast<double>(size));
    else set_integer(result, static_cast<int32_t>(size));
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code to_local_file_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::to_local_file, refs);
    kel_value* out = stack::push_unset();
    string::init_cell(out, static_cast<uint32_t>(std::max(string::ks_length_q(stack::argument(1)), 0)) + 16);
    file::convert_to_os_path(stack::argument(1), out, refs.has(0));
    *stack::arguments() = *out;
    stack::rewind_to_result();
    return signal_code::none;
}

namespace {

// The bytes a checksum is taken of, as a binary! cell: a file read whole
// as binary, a string as UTF-8, a binary as it is (from its head). Null
// for data that has no bytes to sum.
const kel_value* checksum_bytes(kel_value* data) {
    const uint32_t t = type_of(data);
    if (t == types::binary) return data;
    kel_value* bytes = stack::push_unset();
    if (t == types::string) {
        binary::to_bytes(bytes, data);
        return bytes;
    }
    if (t != types::file) return nullptr;
    simple_io::read_path(data, nullptr, nullptr, true, false, bytes);
    // A directory path reads as its listing, which has no bytes to sum.
    return type_of(bytes) == types::binary ? bytes : nullptr;
}

}  // namespace

signal_code checksum_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::checksum, refs);
    kel_value* data = stack::argument(1);
    const kel_value* method_word = stack::argument(2);
    const kel_value* bytes = checksum_bytes(data);
    if (!bytes) return fail(error_category::script, "invalid-arg", data);
    const checksum::method m = checksum::method_of(word_symbol(method_word));
    if (m == checksum::method::count) return fail(error_category::script, "invalid-arg", method_word);
    const kel_value* spec = refs.has(0) ? stack::arguments() + refs.at[0] : nullptr;
    const bool sum = m == checksum::method::crc32 || m == checksum::method::tcp || m == checksum::method::adler32;
    const uint32_t spec_type = spec ? type_of(spec) : static_cast<uint32_t>(types::none);
    const bool key = spec_type == types::string || spec_type == types::binary;
    // The plain sums take no /with; `hash` takes only a table size.
    if ((sum && spec) || (m == checksum::method::hash && (!spec || key)))
        return fail(error_category::script, "invalid-refine-arg", error_arg::named("with"), method_word);
    if (spec && !key && spec_type != types::integer) return fail(error_category::script, "invalid-arg", spec);

    // The key's bytes are made before the data's address is read: nothing
    // allocates from here to the end of the sum.
    const kel_value* key_bytes = spec;
    if (spec_type == types::string) {
        kel_value* k = stack::push_unset();
        binary::to_bytes(k, spec);
        key_bytes = k;
    }
    const uint8_t* p = binary::ks_head(bytes);
    const size_t n = static_cast<size_t>(binary::ks_length_q(bytes));
    kel_value* result = stack::arguments();
    checksum::digest_buffer out;
    if (sum) {
        const uint32_t v = m == checksum::method::crc32 ? checksum::crc32(p, n)
                           : m == checksum::method::tcp ? checksum::tcp(p, n)
                                                        : checksum::adler32(p, n);
        set_integer(result, static_cast<int32_t>(v));
    } else if (spec_type == types::integer) {
        // No keyed hash is defined: it says so and gives none.
        (void)checksum::hash(p, n, get_integer(spec));
        set_none(result);
    } else {
        const int32_t number = checksum::method_number(m);
        if (key) {
            const size_t key_length = static_cast<size_t>(binary::ks_length_q(key_bytes));
            (void)checksum::hmac(p, n, binary::ks_head(key_bytes), key_length, word_symbol(method_word), &out);
        } else {
            out = checksum::digest(p, n, number);
        }
        *result = *binary::push_from_memory(out.bytes, checksum::digest_size(number));
    }
    stack::rewind_to_result();
    return signal_code::none;
}

namespace {

// Runs a codec into a new binary! of `size` bytes, and once more at the size
// it reports when that was too small. The input's address is read after each
// allocation, which may move it. Answers the final code (-1 after failing
// with no-memory); the result cell holds the binary with its tail at the
// bytes written.
int run_codec(compression::codec c, const kel_value* input, size_t size, kel_value* result) {
    int code = compression::too_small;
    for (int attempt = 0; attempt < 2 && code == compression::too_small; ++attempt) {
        if (size > memory::max_capacity(1)) {
            (void)fail(error_category::internal, "no-memory");
            return -1;
        }
        binary::init_cell(result, static_cast<uint32_t>(size));
        memory::buffer_header* out = memory::buffer_of(series_node(result));
        const uint8_t* in = binary::ks_head(input);
        const size_t n = static_cast<size_t>(binary::ks_length_q(input));
        size_t written = size;
        code = c(reinterpret_cast<uint8_t*>(out->head_ptr()), &written, in, n);
        if (code == compression::done) out->tail = out->head + static_cast<uint32_t>(written);
        size = written;
    }
    if (code == compression::too_large) {
        (void)fail(error_category::internal, "no-memory");
        return -1;
    }
    return code;
}

// A result made in a buffer larger than its bytes (the size a caller
// guessed) keeps only what it holds: a copy of them takes its place.
void trim_to_length(kel_value* result) {
    const memory::buffer_header* h = memory::buffer_of(series_node(result));
    if (h->capacity <= memory::round16(h->used()) + 64) return;
    collector::pin_guard pin(result);
    const kel_value* exact = binary::push_from_memory(binary::ks_head(result), h->used());
    *result = *exact;
    stack::drop_cells(1);
}

// The method a word names; false for a word that names none.
bool codec_method(const kel_value* word, compression::method* m) {
    *m = compression::method_of(word_symbol(word));
    return *m != compression::method::count;
}

}  // namespace

signal_code compress_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::compress, refs);
    const kel_value* data = stack::argument(1);
    const kel_value* method_word = stack::argument(2);
    compression::method m;
    if (!codec_method(method_word, &m)) return fail(error_category::script, "invalid-arg", method_word);
    const kel_value* input = data;
    if (type_of(data) != types::binary) {
        kel_value* bytes = stack::push_unset();
        binary::to_bytes(bytes, data);
        input = bytes;
    }
    const size_t n = static_cast<size_t>(binary::ks_length_q(input));
    kel_value* result = stack::push_unset();
    const int code = run_codec(compression::compressor(m), input, n + 32, result);
    if (code < 0) return signal_code::error;
    if (code != compression::done) return fail(error_category::script, "invalid-data");
    *stack::arguments() = *result;
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code decompress_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::decompress, refs);
    const kel_value* input = stack::argument(1);
    const kel_value* method_word = stack::argument(2);
    compression::method m;
    if (!codec_method(method_word, &m)) return fail(error_category::script, "invalid-arg", method_word);
    const compression::codec c = compression::decompressor(m);
    const int64_t n = binary::ks_length_q(input);
    const kel_value* sz = refs.has(decompress_ref::size) ? stack::arguments() + refs.at[decompress_ref::size] : nullptr;
    size_t size = 0;
    if (sz && m != compression::method::gzip && get_integer(sz) > n) {
        // The size given is a first guess, never more than the stream can
        // give; a stream that gives more is measured on the second run.
        size = static_cast<size_t>(
            std::min<uint64_t>(static_cast<uint64_t>(get_integer(sz)), compression::most_output_of(size_t(n))));
    } else {
        // A run with no buffer reports the size the output needs.
        const int code = c(nullptr, &size, binary::ks_head(input), static_cast<size_t>(n));
        if (code == compression::too_large) return fail(error_category::internal, "no-memory");
        if (code != compression::done && code != compression::too_small)
            return fail(error_category::script, "invalid-data");
    }
    kel_value* result = stack::push_unset();
    const int code = run_codec(c, input, size, result);
    if (code < 0) return signal_code::error;
    if (code != compression::done) return fail(error_category::script, "invalid-data");
    trim_to_length(result);
    *stack::arguments() = *result;
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code wait_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::wait, refs);
    kel_value* base = stack::arguments();
    const kel_value v = *base;
    double seconds;
    switch (type_of(&v)) {
        case types::integer: seconds = get_integer(&v); break;
        case types::float_:
        case types::time: seconds = get_float(&v); break;
        default: return fail(error_category::script, "invalid-arg", &v);
    }
    // A NaN has no length; an infinite wait is clamped like any long one.
    if (std::isnan(seconds)) return fail(error_category::script, "invalid-arg", &v);
    set_none(base);
    stack::rewind_to_result();
    (void)platform::sleep_unless(seconds, &runtime::halt_requested);
    if (gui.do_events) gui.do_events(true);
    // An interrupt that cut the wait short halts here: nothing after it in
    // the command runs, and no interrupt is left for code that follows.
    return interpreter::poll_interrupt();
}

signal_code apply_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::apply, refs);
    kel_value* base = stack::arguments();
    const kel_value func = base[0];
    const kel_value args = base[1];
    kel_value fn = func;
    kel_value name;
    const kel_value* name_in = nullptr;
    const kel_value* path = nullptr;
    const uint32_t t = type_of(&func);
    if (in_family(t, family::word) || in_family(t, family::path)) {
        name = func;
        if (in_family(t, family::path)) {
            // The path's head names the function; the whole path is its
            // refinement list, except with /all, where the block alone
            // switches every refinement in spec order.
            if (block::ks_length_q(&func) <= 0) return fail(error_category::script, "invalid-arg", &func);
            name = *block::ks_abs_at(&func, series_head(&func));
            if (!in_family(type_of(&name), family::word)) return fail(error_category::script, "invalid-arg", &func);
            if (!refs.has(apply_ref::all)) path = base;
        }
        const kel_value* slot = _context::bound_slot(&name);
        if (!slot || !in_family(type_of(slot), family::function))
            return fail(error_category::script, "invalid-arg", &func);
        fn = *slot;
        set_type(&name, types::word);
        name_in = &name;
    }
    int32_t mode = refs.has(apply_ref::all) ? interpreter::mode::apply_all : interpreter::mode::inline_refinements;
    if (refs.has(apply_ref::safer)) mode |= interpreter::mode::single;
    interpreter::code_position c = interpreter::position_of(&args);
    KEL_PROPAGATE(interpreter::invoke_value(&fn, &c, false, path, name_in, nullptr, mode, false));
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code transcode_star(bool check, const refinements& refs) {
    using namespace transcode_ref;
    if (check) check_arguments(number::transcode, refs);
    kel_value* base = stack::arguments();
    kel_value* src = stack::push_copy(base);
    const bool binary = type_of(src) == types::binary;
    memory::buffer_header* h = memory::buffer_of(series_node(src));
    const int64_t units = h->units();
    int64_t head = series_head(src) < 0 ? 0 : series_head(src);
    if (head > units) head = units;
    set_series_head(src, static_cast<int32_t>(head));
    const int64_t left = units - head;
    int64_t length = left;
    if (refs.has(part)) {
        // A count is clamped to what is left, both ways; a position is
        // clamped to its own tail.
        const kel_value* limit = base + refs.at[part];
        int64_t n;
        if (type_of(limit) == types::integer) {
            n = get_integer(limit);
        } else {
            if ((type_of(limit) == types::binary) != binary)
                return fail(error_category::script, "not-same-type");
            const int64_t end_units = memory::buffer_of(series_node(limit))->units();
            int64_t end = series_head(limit) < 0 ? 0 : series_head(limit);
            if (end > end_units) end = end_units;
            n = end - head;
        }
        length = n < 0 ? 0 : (n > left ? left : n);
    }
    int64_t skipped = 0;
    if (binary && length >= 3) {
        const auto* p = reinterpret_cast<const uint8_t*>(h->head_ptr()) + head;
        if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) skipped = 3;
    }
    set_series_head(src, static_cast<int32_t>(head + skipped));
    length -= skipped;

    lexer::options o;
    o.input = src;
    const bool scan_only = refs.has(prescan) || refs.has(scan);
    if (scan_only) {
        o.load = refs.has(scan);
        o.store = false;
    }
    o.one = refs.has(one) || refs.has(next);
    if (refs.has(into) && !refs.has(next) && !scan_only) o.into = base + refs.at[into];
    lexer::callback events;
    if (refs.has(trace)) {
        events = lexer_callback::of(base + refs.at[trace]);
        o.events = &events;
    }
    kel_value* out = stack::push_unset();
    int32_t consumed = 0;
    const int32_t type = lexer::transcode_text(out, src, static_cast<int32_t>(length), o, &consumed);

    if (scan_only) {
        kel_value* guess = stack::push_unset();
        if (type > 0) set_datatype(guess, static_cast<uint32_t>(type));
        else set_none(guess);
        if (refs.has(next)) {
            // [type rest], as a loading /next gives [value rest].
            kel_value* rest = stack::push_copy(src);
            set_series_head(rest, series_head(src) + consumed);
            kel_value* pair = block::push_only_star(2);
            block::ks_add(pair, guess);
            block::ks_add(pair, rest);
            *base = *pair;
        } else {
            *base = *guess;
        }
    } else if (refs.has(next)) {
        // [value rest], the rest at the first unit the scan did not take.
        kel_value* rest = stack::push_copy(src);
        set_series_head(rest, series_head(src) + consumed);
        kel_value* pair = block::push_only_star(2);
        block::ks_add(pair, out);
        block::ks_add(pair, rest);
        *base = *pair;
    } else if (o.into) {
        *base = *o.into;
    } else {
        *base = *out;
    }
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code as_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::as, refs);
    kel_value* base = stack::arguments();
    const kel_value* type_value = base;
    kel_value spec = base[1];
    const uint32_t target = type_of(type_value) == types::datatype ? get_datatype(type_value) : type_of(type_value);
    const uint32_t from = type_of(&spec);
    const int group = coercion_group(target);
    if (group == 0 || group != coercion_group(from)) {
        kel_value a, b;
        set_datatype(&a, from);
        set_datatype(&b, target);
        return fail(error_category::script, "not-same-class", &a, &b);
    }
    set_type(&spec, target);
    *base = spec;
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code stats_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::stats, refs);
    kel_value* base = stack::arguments();
    if (refs.has(stats_ref::show)) {
        kel_value word = *word::from_c_string("show-memory-stats");
        const kel_value* slot = _context::bound_slot(&word);
        if (!slot || !in_family(type_of(slot), family::function))
            return fail(error_category::internal, "not-done");
        const kel_value fn = *slot;
        const kel_value* info = push_memory_figures();
        kel_value* code = block::push_only_star(1);
        block::ks_add(code, info);
        interpreter::code_position c = interpreter::position_of(code);
        KEL_PROPAGATE(interpreter::invoke_value(&fn, &c, false, nullptr, &word, nullptr,
                                                interpreter::mode::plain, false));
        set_unset(base);
    } else if (refs.has(stats_ref::info)) {
        *base = *push_memory_figures();
    } else {
        set_count(base, collector::memory_in_use());
    }
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code recycle_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::recycle, refs);
    kel_value* base = stack::arguments();
    if (refs.has(recycle_ref::on) || refs.has(recycle_ref::off)) {
        collector::set_active(refs.has(recycle_ref::on));
        set_unset(base);
    } else {
        set_count(base, collector::recycle());
    }
    stack::rewind_to_result();
    return signal_code::none;
}

}  // namespace kel::natives
