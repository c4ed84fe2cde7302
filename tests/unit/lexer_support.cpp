// lexer_support: see lexer_support.h.
#include "tests/unit/lexer_support.h"

#include <cstdio>

#include "datatypes/block.h"
#include "kernel/unicode.h"
#include "kernel/native_api.h"
#include "kernel/signal.h"
#include "tests/unit/core_builder.h"

namespace kel::test::lexer_support {

namespace {
std::string text_of_arg(const fired_error& e, int i) {
    if (i >= e.argument_count) return "";
    if (e.arg_words[i]) return e.arg_words[i];
    const kel_value v = e.args[i];
    if (in_family(type_of(&v), family::string_like)) return form(v);
    return mold(v);
}
std::string utf8_of(const std::u32string& t) {
    std::string out;
    for (char32_t c : t) {
        uint8_t b[4];
        const int n = unicode::encode_utf8_char(static_cast<uint32_t>(c), b);
        out.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
    }
    return out;
}

std::string show_cells(const kel_value& series, const char* separator) {
    std::string out;
    kel_value c = series;
    const int32_t n = block::ks_length_q(&c);
    for (int32_t i = 0; i < n; ++i) {
        if (i) out += separator;
        out += show(block::ks_head(&c)[i]);
    }
    return out;
}

// Runs body under an error trap (the tests open no try mark, so nothing else
// would receive a syntax error); the marks and the arguments base are put
// back. Answers true when body raised an error.
template <class F>
bool raises(F&& body) {
    boot();  // a trap needs the stacks
    const error_trap trap = open_error_trap();
    try {
        body();
    } catch (const kel_unwind& u) {
        const bool error = u.code == code_value(signal_code::error);
        close_error_trap(trap, error);
        if (!error) throw;
        return true;
    }
    close_error_trap(trap, false);
    return false;
}

std::string number(double d) {
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", d);
    return b;
}

}  // namespace

std::string show(const kel_value& v) {
    std::string prefix = new_line_q(&v) ? "|" : "";
    kel_value plain = v;
    clear_new_line(&plain);
    const uint32_t t = type_of(&v);
    switch (t) {
        case types::block: return prefix + "[" + show_cells(plain, " ") + "]";
        case types::paren: return prefix + "(" + show_cells(plain, " ") + ")";
        case types::path: return prefix + show_cells(plain, "/");
        case types::lit_path: return prefix + "'" + show_cells(plain, "/");
        case types::get_path: return prefix + ":" + show_cells(plain, "/");
        case types::set_path: return prefix + show_cells(plain, "/") + ":";
        case types::file: return prefix + "%\"" + utf8_of(text(plain)) + "\"";
        case types::url: return prefix + "url!\"" + utf8_of(text(plain)) + "\"";
        case types::email: return prefix + "email!\"" + utf8_of(text(plain)) + "\"";
        case types::ref: return prefix + "ref!\"" + utf8_of(text(plain)) + "\"";
        case types::tag: return prefix + "<" + utf8_of(text(plain)) + ">";
        case types::binary: {
            std::string out = prefix + "#{";
            for (char32_t c : text(plain)) {
                char b[3];
                std::snprintf(b, sizeof b, "%02X", static_cast<unsigned>(c));
                out += b;
            }
            return out + "}";
        }
        case types::pair: return prefix + std::to_string(pair_x(&v)) + "x" + std::to_string(pair_y(&v));
        case types::point2d:
            return prefix + "(" + number(get_float32(&v, 1)) + ", " + number(get_float32(&v, 2)) + ")";
        case types::point3d:
            return prefix + "(" + number(get_float32(&v, 1)) + ", " + number(get_float32(&v, 2)) + ", " +
                   number(get_float32(&v, 3)) + ")";
        case types::percent: return prefix + number(get_float(&v)) + "%";
        default: return prefix + mold(plain);
    }
}

std::string shown(std::string_view text) {
    kel_value loaded;
    if (raises([&] { loaded = load(text); })) return std::string("error: ") + last_fired().id;
    return show_cells(loaded, " ");
}

kel_value load(std::string_view text) {
    boot();
    kel_value* holder = block::make_at_tail(nullptr, 1);
    lexer::options o;
    lexer::transcode_utf8(holder, reinterpret_cast<const uint8_t*>(text.data()), text.size(), o);
    return *holder;
}

std::string molded(std::string_view text) {
    std::string m;
    if (raises([&] { m = mold(load(text)); })) return std::string("error: ") + last_fired().id;
    if (m.size() >= 2 && m.front() == '[' && m.back() == ']') m = m.substr(1, m.size() - 2);
    return m;
}

syntax_error error_of(std::string_view text) {
    syntax_error r;
    if (raises([&] { load(text); })) {
        const fired_error& e = last_fired();
        static const char* const categories[] = {"throw", "note", "syntax", "script", "math",
                                                 "access", "reserved1", "reserved2", "user", "internal"};
        r.raised = true;
        r.category = categories[static_cast<int>(e.category)];
        r.id = e.id;
        r.line = text_of_arg(e, 0);
        const bool two = e.argument_count == 3;
        r.what = two ? text_of_arg(e, 1) : "";
        r.near = text_of_arg(e, two ? 2 : 1);
    }
    return r;
}

int32_t scan_type(std::string_view text) {
    boot();
    lexer::options o;
    o.load = false;
    o.store = false;
    return lexer::transcode_utf8(nullptr, reinterpret_cast<const uint8_t*>(text.data()), text.size(), o);
}

}  // namespace kel::test::lexer_support
