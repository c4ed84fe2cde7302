// file: see file.h.
#include "datatypes/file.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>

#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "datatypes/url.h"
#include "kernel/action_specs.h"
#include "kernel/stack.h"
#include "kernel/cycle_guard.h"
#include "kernel/native_api.h"
#include "kernel/unicode.h"
#include "platform/platform.h"

namespace kel::file {

file_hooks hooks{};

namespace {

// The code points that carry a byte of a name that is not UTF-8.
constexpr uint32_t escaped_byte_base = 0xDC00;
inline bool escaped_byte_q(uint32_t cp) { return cp >= 0xDC80 && cp <= 0xDCFF; }

uint32_t code_point_at(uint32_t node, int64_t i) {
    memory::buffer_header* h = memory::buffer_of(node);
    return string::read_unit(string::unit_ptr(h, i), h->unit());
}

}  // namespace

// --- making file values ------------------------------------------------------------------

kel_value* make_from_utf8(kel_value* cell, const uint8_t* utf8, uint32_t size, bool percent_decode) {
    return url::make_at(cell, types::file, utf8, size, percent_decode);
}

void append_os_text(kel_value* target, const char* bytes, size_t size) {
    string::text_writer w(target);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes);
    const uint8_t* end = p + size;
    while (p < end) {
        int32_t cp;
        const uint8_t* next = unicode::decode_utf8_char_bounded(p, end, &cp);
        if (cp < 0) {
            // One byte at a time: the bytes after it may start a good sequence.
            w.put(escaped_byte_base | *p);
            ++p;
        } else {
            w.put(static_cast<uint32_t>(cp));
            p = next;
        }
    }
    w.flush();
}

kel_value* make_from_os_path(kel_value* cell, const char* bytes, size_t size) {
    kel_value* out = string::init_cell(stack::push_unset(), static_cast<uint32_t>(std::min<size_t>(size, 0x7FFFFFFF)));
    set_type(out, types::file);
    append_os_text(out, bytes, size);
    *cell = *out;
    stack::drop_cells(1);
    return cell;
}

kel_value* push(const kel_value* value) { return stack::push_copy(value); }

// --- towards the system ---------------------------------------------------------------------

namespace {

std::string os_bytes_of(const kel_value* text, bool path) {
    const kel_value f = *text;
    const unicode::text_view v = string::view(&f);
    std::string out;
    out.reserve(v.length);
    for (size_t i = 0; i < v.length; ++i) {
        const uint32_t cp = static_cast<uint32_t>(unicode::read_unit(v.data + i * v.unit, v.unit));
        if (cp == 0 && path) fire(error_category::script, "invalid-arg", &f);
        if (escaped_byte_q(cp)) {
            out.push_back(static_cast<char>(cp & 0xFF));
            continue;
        }
        uint8_t bytes[4];
        const int n = unicode::encode_utf8_char(cp, bytes);
        if (n == 0) {
            unicode::text_error e;
            e.id = unicode::error_id::invalid_char;
            e.code_point = cp;
            string::raise_text_error(e);
        }
        out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    }
    return out;
}

}  // namespace

std::string to_os_path(const kel_value* file) { return os_bytes_of(file, true); }

std::string to_os_text(const kel_value* text) { return os_bytes_of(text, false); }

void convert_to_os_path(const kel_value* file, kel_value* target, bool full) {
    const kel_value f = *file;
    const bool absolute = string::ks_length_q(&f) > 0 && string::ks_abs_char_at(&f, std::max(series_head(&f), 0)) == '/';
    if (full && !absolute) {
        const std::string cwd = platform::get_current_dir();
        append_os_text(target, cwd.data(), cwd.size());
        if (cwd.empty() || cwd.back() != '/') text_out::append(target, "/", 1);
    }
    string::splice(target, &f, -1, 0, true, string::splice_append);
}

kel_value* get_current_dir() {
    const std::string cwd = platform::get_current_dir();
    kel_value* out = stack::push_unset();
    make_from_os_path(out, cwd.data(), cwd.size());
    if (cwd.empty() || cwd.back() != '/') text_out::append(out, "/", 1);
    return out;
}

// --- mold ----------------------------------------------------------------------------------

// A name molds bare only when the lexer reads it back as one file token: the
// bytes that end that token (":", "@", "(", ")" and the blanks, brackets and
// braces), those it refuses, and surrogate code points (which have no UTF-8
// form the lexer decodes) need the quoted form, where they become escapes.
namespace {
bool needs_quotes_q(uint32_t cp) {
    if (unicode::surrogate_q(cp)) return true;
    if (cp >= 0x7F) return false;
    switch (cp) {
        case ':': case '@': case '(': case ')': return true;
        default: return !url::keeps_q(url::url_class, static_cast<uint8_t>(cp));
    }
}
}  // namespace

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    const kel_value v = *value;
    const uint32_t node = series_node(&v);
    const int64_t units = memory::buffer_of(node)->units();
    const int64_t head = std::clamp<int64_t>(series_head(&v), 0, units);
    int64_t end = units;
    if (arg && cell::get_int_checked(arg) != 0) end = part < 0 ? head : std::min<int64_t>(units, head + part);

    string::text_writer w(buffer);
    int64_t written = 1;
    w.put('%');
    if (head == units) {
        w.put('"');
        w.put('"');
        w.flush();
        return part - 3;
    }
    bool quoted = false;
    for (int64_t i = head; i < end && !quoted; ++i) quoted = needs_quotes_q(code_point_at(node, i));
    if (quoted) {
        w.put('"');
        ++written;
    }
    for (int64_t i = head; i < end; ++i) {
        // Read through the node: the buffer molded into may be this file's own.
        const uint32_t cp = code_point_at(node, i);
        if (!quoted) {
            w.put(cp);
            ++written;
            continue;
        }
        // Inside quotes the lexer reads "^" escapes: the characters it would
        // take for one are written as escapes, so the name loads back unchanged.
        // A double quote ends the quoted token whatever stands before it, so it
        // goes in as its code point.
        uint32_t esc[12];
        int n = 0;
        if (cp == '"') {
            for (const char c : {'^', '(', '2', '2', ')'}) esc[n++] = static_cast<uint8_t>(c);
        } else {
            n = string::escape_char(cp, false, esc);
        }
        for (int k = 0; k < n; ++k) w.put(esc[k]);
        written += n;
    }
    if (quoted) {
        w.put('"');
        ++written;
    }
    w.flush();
    return static_cast<int32_t>(std::max<int64_t>(static_cast<int64_t>(part) - written, INT32_MIN));
}

// --- file services ------------------------------------------------------------------------

namespace {

namespace ar = action_specs;

[[noreturn]] void not_done() { fire(error_category::internal, "not-done"); }

kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

signal_code a_read(const refinements& r) {
    // /info is accepted and changes nothing.
    if (r.has(ar::read_ref::as) || !hooks.read_path) not_done();
    const int32_t depth = stack::depth();
    kel_value* out = stack::push_unset();
    hooks.read_path(stack::argument(1), ref_arg(r, ar::read_ref::part), ref_arg(r, ar::read_ref::seek),
                    r.has(ar::read_ref::binary), r.has(ar::read_ref::lines), out);
    *stack::arguments() = *out;
    stack::drop_cells(stack::depth() - depth);
    return signal_code::none;
}

signal_code a_write(const refinements& r) {
    if (r.has(ar::write_ref::allow) || !hooks.write) not_done();
    hooks.write(stack::argument(1), stack::argument(2), ref_arg(r, ar::write_ref::part),
                ref_arg(r, ar::write_ref::seek), r.has(ar::write_ref::binary), r.has(ar::write_ref::append),
                r.has(ar::write_ref::lines));
    set_unset(stack::arguments());
    return signal_code::none;
}

signal_code a_delete(const refinements&) {
    if (!hooks.remove_path) not_done();
    const bool done = hooks.remove_path(stack::argument(1));
    set_logic(stack::arguments(), done);
    return signal_code::none;
}

signal_code a_rename(const refinements&) {
    if (!hooks.move_path) not_done();
    const bool done = hooks.move_path(stack::argument(1), stack::argument(2));
    set_logic(stack::arguments(), done);
    return signal_code::none;
}

signal_code a_query(const refinements&) {
    if (!hooks.file_date) not_done();
    const int32_t depth = stack::depth();
    kel_value* out = stack::push_unset();
    hooks.file_date(stack::argument(1), out);
    *stack::arguments() = *out;
    stack::drop_cells(stack::depth() - depth);
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::file;
    r.hash = hashtable::hash_by::any_string;
    r.set_hash = registry::set_hash_rule::cased;
    r.marker = kel::collector::cell_markers::any_string;
    r.families = family::string_like | family::series;
    r.parent = types::url;
    r.name = "file!";
    r.inherit_all();
    using registry::entry;
    for (act::id a : {act::random, act::reflect, act::unused8, act::put, act::sort, act::trim, act::create, act::close,
                      act::open, act::open_q, act::update})
        r[a] = entry{};
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = entry{};
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::delete_] = static_cast<action_fn>(a_delete);
    r[act::query] = static_cast<action_fn>(a_query);
    r[act::read] = static_cast<action_fn>(a_read);
    r[act::rename] = static_cast<action_fn>(a_rename);
    r[act::write] = static_cast<action_fn>(a_write);
    return r;
}

}  // namespace kel::file
