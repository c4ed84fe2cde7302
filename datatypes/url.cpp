// url: see url.h. Source texts are read code point by code point through
// their node (each read re-fetches the buffer header), because the writers
// that fill the target may allocate and move the source's buffer.
#include "datatypes/url.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"

#include <algorithm>
#include <array>

#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/actions.h"
#include "kernel/stack.h"
#include "kernel/unicode.h"
#include "kernel/native_api.h"

namespace kel::url {

services hooks{};

namespace {

// --- byte classes ---------------------------------------------------------------

using class_table = std::array<bool, 128>;

constexpr class_table make_class(const char* extra) {
    class_table t{};
    for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = true;
    for (int c = 'A'; c <= 'Z'; ++c) t[static_cast<size_t>(c)] = true;
    for (int c = 'a'; c <= 'z'; ++c) t[static_cast<size_t>(c)] = true;
    for (const char* p = extra; *p; ++p) t[static_cast<size_t>(*p)] = true;
    return t;
}

constexpr class_table url_keeps = make_class("!#$&'()*+,-./:=?@_~");
constexpr class_table string_keeps = make_class("-._~");

constexpr char upper_hex[] = "0123456789ABCDEF";

// A string-like source as (node, first index, end index).
struct source_text {
    uint32_t node;
    int64_t head;
    int64_t end;

    explicit source_text(const kel_value* value) {
        const kel_value s = string::text_of(value);
        node = series_node(&s);
        end = memory::buffer_of(node)->units();
        head = std::clamp<int64_t>(series_head(&s), 0, end);
    }
    uint32_t at(int64_t i) const {
        memory::buffer_header* h = memory::buffer_of(node);
        return string::read_unit(string::unit_ptr(h, i), h->unit());
    }
    // "%" and two hex digits at index i: their byte value in *byte.
    bool escape_at(int64_t i, uint8_t* byte) const {
        if (i + 2 >= end || at(i) != '%') return false;
        const int hi = hex_digit(at(i + 1)), lo = hex_digit(at(i + 2));
        if (hi < 0 || lo < 0) return false;
        *byte = static_cast<uint8_t>(hi << 4 | lo);
        return true;
    }
};

// The scheme of a url literal (the text before its first ":") is read by the
// lexer as a word, which takes no escapes: mold writes these characters of
// it as they are, since an escape there would make the text another token
// ("%C3%A9:x" a file). Unicode spaces and surrogates still need escapes.
bool raw_in_scheme_q(uint32_t cp) {
    switch (cp) {
        case '^': case '=': case '>': case '|': case '`': return true;
        default: break;
    }
    if (cp < 0x80 || unicode::surrogate_q(cp) || cp == 0x200B || cp == 0x200C) return false;
    return !string::whitespace_q(cp);
}

// Encodes the source into the target, stopping once `limit` characters are
// written (limit below 0: no limit); answers the characters written. With
// `kept_escapes` (url! mold) an escape of a reserved byte is written as it
// stands: it is one the url literal left encoded.
int64_t encode_limited(const kel_value* source, kel_value* target, char_class c, int64_t limit,
                       bool kept_escapes = false) {
    const source_text src(source);
    string::text_writer w(target);
    int64_t written = 0;
    int64_t scheme_end = src.head;  // a text without ":" has no scheme
    if (kept_escapes) {
        for (int64_t i = src.head; i < src.end; ++i) {
            if (src.at(i) != ':') continue;
            scheme_end = i;
            break;
        }
    }
    for (int64_t i = src.head; i < src.end; ++i) {
        const uint32_t cp = src.at(i);
        if (i < scheme_end && raw_in_scheme_q(cp)) {
            if (limit >= 0 && written >= limit) break;
            w.put(cp);
            ++written;
            continue;
        }
        uint8_t escaped;
        if (kept_escapes && cp == '%' && src.escape_at(i, &escaped) && reserved_q(escaped)) {
            for (int j = 0; j < 3; ++j) {
                if (limit >= 0 && written >= limit) {
                    w.flush();
                    return written;
                }
                w.put(src.at(i + j));
                ++written;
            }
            i += 2;
            continue;
        }
        // A paren ends a url token, and "%28" loads as the kept escape it
        // is: mold writes a paren as "^(" or "^)", which the lexer reads back
        // as the paren.
        if (kept_escapes && (cp == '(' || cp == ')')) {
            for (const uint32_t unit : {uint32_t('^'), cp}) {
                if (limit >= 0 && written >= limit) {
                    w.flush();
                    return written;
                }
                w.put(unit);
                ++written;
            }
            continue;
        }
        uint8_t bytes[4];
        const int n = unicode::encode_utf8_char(cp, bytes);
        if (n == 0) {
            w.flush();
            unicode::text_error e;
            e.id = unicode::error_id::invalid_char;
            e.code_point = cp;
            string::raise_text_error(e);
        }
        for (int k = 0; k < n; ++k) {
            char text[3];
            const int m = escape_byte(c, bytes[k], text);
            for (int j = 0; j < m; ++j) {
                if (limit >= 0 && written >= limit) {
                    w.flush();
                    return written;
                }
                w.put(static_cast<uint8_t>(text[j]));
                ++written;
            }
        }
    }
    w.flush();
    return written;
}

[[noreturn]] void not_done() { fire(error_category::internal, "not-done"); }

kel_value* ref_arg(const refinements& r, int i) { return r.has(i) ? stack::arguments() + r.at[i] : nullptr; }

}  // namespace

// --- the coder -----------------------------------------------------------------------

bool keeps_q(char_class c, uint8_t byte) {
    if (byte >= 0x80) return false;
    return c == string_class ? string_keeps[byte] : url_keeps[byte];
}

bool reserved_q(uint8_t byte) { return keeps_q(url_class, byte) && !string_keeps[byte]; }

int hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    return -1;
}

bool hex_pair_q(const uint8_t* p, const uint8_t* end, uint8_t* byte) {
    if (end - p < 3 || p[0] != '%') return false;
    const int hi = hex_digit(p[1]), lo = hex_digit(p[2]);
    if (hi < 0 || lo < 0) return false;
    *byte = static_cast<uint8_t>(hi << 4 | lo);
    return true;
}

int escape_byte(char_class c, uint8_t byte, char out[3]) {
    if (keeps_q(c, byte)) {
        out[0] = static_cast<char>(byte);
        return 1;
    }
    out[0] = '%';
    out[1] = upper_hex[byte >> 4];
    out[2] = upper_hex[byte & 15];
    return 3;
}

void encode(const kel_value* source, kel_value* target, char_class c) { (void)encode_limited(source, target, c, -1); }

void decode(const kel_value* source, kel_value* target) {
    const source_text src(source);
    string::text_writer w(target);
    int64_t i = src.head;
    while (i < src.end) {
        uint8_t bytes[4];
        if (src.escape_at(i, &bytes[0])) {
            const int n = unicode::utf8_seq_length(bytes[0]);
            if (n == 0) {
                w.put(bytes[0]);
                i += 3;
                continue;
            }
            bool complete = true;
            for (int k = 1; k < n && complete; ++k) complete = src.escape_at(i + 3 * k, &bytes[k]);
            if (complete) {
                size_t count = static_cast<size_t>(n);
                unicode::text_error err;
                const int32_t cp = unicode::read_utf8_char(bytes, &count, &err);
                if (cp < 0) {
                    w.flush();
                    if (cp == unicode::utf8_short) {
                        err.id = unicode::error_id::invalid_utf8;
                        err.byte_count = static_cast<uint8_t>(n);
                        std::copy(bytes, bytes + n, err.bytes);
                    }
                    string::raise_text_error(err);
                }
                w.put(static_cast<uint32_t>(cp));
                i += 3 * n;
                continue;
            }
        }
        // Not a usable escape: the character is copied as it stands.
        w.put(src.at(i));
        ++i;
    }
    w.flush();
}

kel_value* make_at(kel_value* cell, uint32_t type, const uint8_t* utf8, uint32_t size, bool percent_decode) {
    kel_value* loaded = string::load_utf8_checked(utf8, size);
    if (percent_decode) {
        kel_value* out = string::init_cell(stack::push_unset(), size);
        decode(loaded, out);
        *cell = *out;
        stack::drop_cells(2);
    } else {
        *cell = *loaded;
        stack::drop_cells(1);
    }
    set_type(cell, type);
    return cell;
}

// --- make and to --------------------------------------------------------------------

namespace {

bool block_spec_q(uint32_t t) { return t == types::block || t == types::paren || t == types::hash; }

void form_into(const kel_value* value, kel_value* buffer) {
    const kel_value v = *value;
    (void)actions::form_value(&v, buffer, nullptr, 0x7FFFFFFF);
}

// scheme "://" host [":" port] then "/" segment ... with "#" before an issue!.
void from_block(kel_value* result, const kel_value* spec) {
    const kel_value blk = *spec;
    if (block::ks_length_q(&blk) <= 0) {
        kel_value dt;
        set_datatype(&dt, types::url);
        fire(error_category::script, "bad-to-arg", &dt, &blk);
    }
    kel_value* out = string::init_cell(stack::push_unset(), 16);
    set_type(out, types::url);
    const int32_t head = std::max(series_head(&blk), 0);
    // Elements are read afresh each time: forming one may move the block.
    auto element = [&](int32_t k) { return *block::ks_abs_at(&blk, head + k); };
    auto count = [&] { return block::ks_length_q(&blk); };
    kel_value e = element(0);
    form_into(&e, out);
    text_out::append(out, "://", 3);
    int32_t k = 1;
    if (count() > 1) {
        e = element(1);
        form_into(&e, out);
        k = 2;
        if (count() > 2 && type_of(&(e = element(2))) == types::integer) {
            text_out::append(out, ":", 1);
            form_into(&e, out);
            k = 3;
        }
    }
    for (; k < count(); ++k) {
        e = element(k);
        text_out::append(out, type_of(&e) == types::issue ? "#" : "/", 1);
        form_into(&e, out);
    }
    *result = *out;
    stack::drop_cells(1);
}

}  // namespace

void make(kel_value* result, const kel_value* spec, uint32_t type) {
    if (type == types::url && block_spec_q(type_of(spec))) from_block(result, spec);
    else string::make(result, spec, type);
}

void to(kel_value* result, const kel_value* spec, uint32_t type) {
    if (type == types::url && block_spec_q(type_of(spec))) from_block(result, spec);
    else string::to(result, spec, type);
}

// --- mold and path step -----------------------------------------------------------

int32_t mold(const kel_value* value, kel_value* buffer, bool, bool, bool, const kel_value* arg, int32_t part,
             int32_t) {
    const int64_t limit = arg ? std::max(part, 0) : -1;
    const int64_t written = encode_limited(value, buffer, url_class, limit, true);
    // An empty url writes nothing and leaves the whole budget to what follows.
    return static_cast<int32_t>(std::max<int64_t>(static_cast<int64_t>(part) - written, INT32_MIN));
}

signal_code eval_path(const path_step_args& step) {
    const kel_value parent = *step.parent;
    kel_value key = *step.element;
    if (step.value_to_set) fire(error_category::script, "bad-path-set", step.path, &key);
    const int32_t depth = stack::depth();
    if (type_of(&key) == types::get_word) key = *get_word::get(&key);

    const int32_t parent_length = string::ks_length_q(&parent);
    const uint32_t unit = string::buffer(&parent)->unit();
    kel_value* out = string::make_at_unit(stack::push_unset(), static_cast<uint32_t>(parent_length) + 16u, unit);
    form_into(&key, out);

    const bool parent_slash = parent_length > 0 && string::ks_abs_char_at(&parent, std::max(series_head(&parent), 0) +
                                                                                       parent_length - 1) == '/';
    const bool key_slash = string::ks_length_q(out) > 0 && string::ks_abs_char_at(out, 0) == '/';
    if (!parent_slash && !key_slash) {
        (void)string::insert_char(string::buffer(out), 0, '/');
    } else if (parent_slash && key_slash) {
        string::remove_units(out, 0, 1);
    }
    // The parent's text goes in front, copied: its own buffer is left as it is.
    string::splice(out, &parent, -1, 0, true, string::splice_insert);
    set_series_head(out, 0);
    set_type(out, type_of(&parent));
    *step.result = *out;
    stack::drop_cells(stack::depth() - depth);
    return signal_code::none;
}

// --- reading, writing, opening -----------------------------------------------------

void to_port(const kel_value* url, bool new_, bool read, bool write, bool seek, const kel_value* allow, bool open,
             kel_value* result) {
    if (!hooks.parse_url || !hooks.make_port) not_done();
    const kel_value u = *url;
    kel_value* copy = stack::push_unset();
    series::copy(&u, copy, nullptr);
    kel_value* parsed = stack::push_unset();
    hooks.parse_url(copy, parsed);
    if (type_of(parsed) != types::object) fire(error_category::script, "invalid-arg", &u);
    kel_value* port = stack::push_unset();
    hooks.make_port(parsed, port);
    if (open) {
        actions::open_options o;
        o.new_ = new_;
        o.read = read;
        o.write = write;
        o.seek = seek;
        o.allow = allow;
        actions::open_value(port, o, port);
    }
    *result = *port;
    stack::drop_cells(3);
}

namespace {

namespace ar = action_specs;

bool http_q(const kel_value* url) { return string::starts_with_ascii_q(url, "http"); }

// Runs the HTTP service; its answer goes into the base cell.
void http_call(const http_request& q) {
    if (!hooks.http_call) not_done();
    kel_value* answer = stack::push_unset();
    if (!hooks.http_call(q, answer)) fire(error_category::access, "no-connect", q.url, answer);
    *stack::arguments() = *answer;
}

kel_value* method_word(const char* name, kel_value* cell) {
    *cell = *word::from_c_string(name);
    return cell;
}

signal_code a_make(const refinements&) {
    const kel_value* t = stack::argument(1);
    const uint32_t type = type_of(t) == types::datatype ? get_datatype(t) : type_of(t);
    const kel_value spec = *stack::argument(2);
    make(stack::arguments(), &spec, type);
    return signal_code::none;
}

signal_code a_to(const refinements&) {
    const kel_value* t = stack::argument(1);
    const uint32_t type = type_of(t) == types::datatype ? get_datatype(t) : type_of(t);
    const kel_value spec = *stack::argument(2);
    to(stack::arguments(), &spec, type);
    return signal_code::none;
}

signal_code a_open(const refinements& r) {
    const kel_value u = *stack::argument(1);
    to_port(&u, r.has(ar::open_ref::new_), r.has(ar::open_ref::read), r.has(ar::open_ref::write),
            r.has(ar::open_ref::seek), ref_arg(r, ar::open_ref::allow), true, stack::arguments());
    return signal_code::none;
}

signal_code a_read(const refinements& r) {
    kel_value* u = stack::argument(1);
    if (http_q(u)) {
        if (r.has(ar::read_ref::part) || r.has(ar::read_ref::seek) || r.has(ar::read_ref::as)) not_done();
        const int32_t depth = stack::depth();
        kel_value* method = method_word("get", stack::push_unset());
        http_call({method, u, nullptr, nullptr, r.has(ar::read_ref::binary), r.has(ar::read_ref::lines),
                   r.has(ar::read_ref::info)});
        stack::drop_cells(stack::depth() - depth);
        return signal_code::none;
    }
    // The port takes the url's place and gets every argument as given.
    const kel_value url = *u;
    to_port(&url, false, false, false, false, nullptr, false, stack::argument(1));
    return actions::read_star(r);
}

signal_code a_write(const refinements& r) {
    kel_value* u = stack::argument(1);
    if (!http_q(u)) {
        const kel_value url = *u;
        to_port(&url, false, false, false, false, nullptr, false, stack::argument(1));
        return actions::write_star(r);
    }
    if (r.has(ar::write_ref::seek) || r.has(ar::write_ref::allow)) not_done();
    const kel_value value = *stack::argument(2);
    const int32_t depth = stack::depth();
    kel_value* method = stack::push_unset();
    const kel_value* headers = nullptr;
    const kel_value* data = &value;
    bool data_given = true;
    if (type_of(&value) == types::block) {
        const int32_t n = std::max(block::ks_length_q(&value), 0);
        const kel_value* cells = block::ks_abs_at(&value, std::max(series_head(&value), 0));
        if (n == 0) {
            method_word("get", method);  // the empty block itself is the data
        } else {
            if (n > 3 || type_of(&cells[0]) != types::word) fire(error_category::script, "invalid-arg", &value);
            *method = cells[0];
            if (n >= 2) {
                if (type_of(&cells[1]) != types::block) fire(error_category::script, "invalid-arg", &value);
                headers = stack::push_copy(&cells[1]);
            }
            data_given = n == 3;
            data = data_given ? stack::push_copy(&cells[2]) : nullptr;
        }
    } else {
        method_word("post", method);
    }
    if (data_given) {
        const uint32_t t = type_of(data);
        if (t != types::block && t != types::string && t != types::binary)
            fire(error_category::script, "invalid-arg", data);
    }
    http_call({method, u, headers, data, r.has(ar::write_ref::binary), r.has(ar::write_ref::lines),
               r.has(ar::write_ref::info)});
    stack::drop_cells(stack::depth() - depth);
    return signal_code::none;
}

}  // namespace

registry::registration row() {
    registry::registration r;
    r.id = types::url;
    r.hash = hashtable::hash_by::any_string;
    r.set_hash = registry::set_hash_rule::cased;
    r.marker = kel::collector::cell_markers::any_string;
    r.families = family::string_like | family::series;
    r.parent = types::string;
    r.name = "url!";
    r.inherit_all();
    using registry::entry;
    for (act::id a : {act::random, act::reflect, act::unused8, act::put, act::sort, act::trim, act::create, act::close,
                      act::delete_, act::open_q, act::query, act::rename, act::update})
        r[a] = entry{};
    for (int a = act::absolute; a <= act::xor_; ++a) r[static_cast<act::id>(a)] = entry{};
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::to] = static_cast<action_fn>(a_to);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::path_step] = static_cast<path_fn>(eval_path);
    r[act::open] = static_cast<action_fn>(a_open);
    r[act::read] = static_cast<action_fn>(a_read);
    r[act::write] = static_cast<action_fn>(a_write);
    return r;
}

}  // namespace kel::url
