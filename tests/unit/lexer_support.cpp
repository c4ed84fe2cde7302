// lexer_support: see lexer_support.h.
#include "tests/unit/lexer_support.h"

#include "datatypes/block.h"
#include "kernel/native_api.h"
#include "kernel/signal.h"
#include "tests/unit/core_builder.h"

namespace kel::test::lexer_support {

namespace {
std::string text_of_arg(const fired_error& e, int i) {
    if (i >= e.argument_count) return "";
    if (e.arg_words[i]) return e.arg_words[i];
    const kel_value v = e.args[i];
    if (any_string_type(type_of(&v))) return form(v);
    return mold(v);
}
}  // namespace

kel_value load(std::string_view text) {
    boot();
    kel_value* holder = block::make_at_tail(nullptr, 1);
    lexer::options o;
    lexer::transcode_utf8(holder, reinterpret_cast<const uint8_t*>(text.data()), text.size(), o);
    return *holder;
}

std::string molded(std::string_view text) {
    try {
        std::string m = mold(load(text));
        if (m.size() >= 2 && m.front() == '[' && m.back() == ']') m = m.substr(1, m.size() - 2);
        return m;
    } catch (const kel_unwind&) {
        return std::string("error: ") + last_fired().id;
    }
}

syntax_error error_of(std::string_view text) {
    syntax_error r;
    try {
        load(text);
    } catch (const kel_unwind&) {
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
