// json_encode: see json_encode.h.
//
// Values are read by index from their blocks at each step (a fallback call
// runs Kel code, which may collect and move buffers); the output is the
// caller's string, reached through its argument cell, and every run of
// characters is flushed into it before anything else writes there.
#include "library/json_encode.h"

#include <cmath>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/string_api.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/routines.h"
#include "kernel/actions.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/unicode.h"

namespace kel::json_encode {

namespace {

using routines::machine_value;

// A value whose blocks and maps nest deeper than this, or hold themselves,
// is written by the Kel writer from the top, so that it meets the
// evaluator's limits (and reports their error) exactly where it always did.
constexpr int max_depth = 150;

bool plain_nesting(const kel_value* v, int depth, std::vector<uint32_t>& path) {
    const uint32_t t = type_of(v);
    if (t != types::block && t != types::map) return true;
    if (depth >= max_depth) return false;
    const uint32_t node = series_node(v);
    for (uint32_t n : path)
        if (n == node) return false;
    path.push_back(node);
    kel_value b;
    set_series(&b, types::block, t == types::map ? 0 : series_head(v), node);
    const int32_t n = block::ks_length_q(&b);
    const int32_t head = series_head(&b);
    for (int32_t i = t == types::map ? 1 : 0; i < n; i += t == types::map ? 2 : 1) {
        const kel_value item = *block::ks_abs_at(&b, head + i);
        if (!plain_nesting(&item, depth + 1, path)) return false;
    }
    path.pop_back();
    return true;
}

class writer {
public:
    writer(kel_value* output, bool ascii, const kel_value* fallback, const kel_value* key_fallback)
        : out_(output), tw_(output), ascii_(ascii), fallback_(fallback), key_fallback_(key_fallback) {}

    void value(const kel_value* v_in, int depth) {
        const kel_value v = *v_in;
        switch (type_of(&v)) {
            case types::none: tw_.put_ascii("null"); return;
            case types::logic: tw_.put_ascii(get_logic(&v) ? "true" : "false"); return;
            case types::integer: {
                char text[16];
                const int n = text_out::format_int32(text, get_integer(&v));
                for (int i = 0; i < n; ++i) tw_.put(static_cast<uint8_t>(text[i]));
                return;
            }
            case types::float_: {
                const double d = get_float(&v);
                if (std::isnan(d) || std::fabs(d) > 1.7976931348623157e308) {
                    tw_.put_ascii("null");
                    return;
                }
                tw_.flush();
                (void)actions::mold_value(&v, out_, false, false, false, nullptr, 0x7FFFFFFF, 0);
                return;
            }
            case types::string: text(&v); return;
            case types::block:
                if (depth < max_depth) {
                    block(&v, depth);
                    return;
                }
                break;
            case types::map:
                if (depth < max_depth) {
                    map(&v, depth);
                    return;
                }
                break;
            default: break;
        }
        call(fallback_, &v, nullptr, nullptr);
    }

    void finish() { tw_.flush(); }

private:
    kel_value* out_;
    string::text_writer tw_;
    bool ascii_;
    const kel_value* fallback_;
    const kel_value* key_fallback_;

    // The Kel writer on one value, or on one key of a map (emit-key-value,
    // which writes the key, the separator and the value).
    void call(const kel_value* fn, const kel_value* a, const kel_value* m, const kel_value* key) {
        tw_.flush();
        kel_value args[4];
        int32_t count;
        kel_value* held = nullptr;
        args[0] = *out_;
        if (m) {
            held = stack::push_unset();
            string::init_cell(held, 4);
            (void)string::add_char(string::buffer(held), ':');
            args[1] = *held;
            args[2] = *m;
            args[3] = *key;
            count = 4;
        } else {
            args[1] = *a;
            count = 2;
        }
        // Named as the Kel writer calls them, so that an argument they refuse
        // (an unset! value in a block) is reported as it is there.
        const kel_value name = *word::from_c_string(m ? "emit-key-value" : "kel-to-json-value");
        kel_value result;
        const signal_code code = interpreter::call_function(fn, &name, args, count, 0, &result);
        if (held) stack::drop_cells(1);
        if (code != signal_code::none) stack::throw_code(code);
    }

    void put_escaped(uint32_t c) {
        if (normal(c)) {
            tw_.put(c);
            return;
        }
        switch (c) {
            case '"': tw_.put('\\'); tw_.put('"'); return;
            case '\\': tw_.put('\\'); tw_.put('\\'); return;
            case 8: tw_.put('\\'); tw_.put('b'); return;
            case 12: tw_.put('\\'); tw_.put('f'); return;
            case 10: tw_.put('\\'); tw_.put('n'); return;
            case 13: tw_.put('\\'); tw_.put('r'); return;
            case 9: tw_.put('\\'); tw_.put('t'); return;
            default: break;
        }
        if (c <= 0xFFFF) {
            hex4(c);
        } else {
            const uint32_t n = c - 0x10000;
            hex4((n >> 10) + 0xD800);
            hex4((n & 1023) + 0xDC00);
        }
    }

    // A word's spelling, as `form` gives it, written as a JSON string.
    void spelling(const kel_value* word) {
        uint32_t length = 0;
        const char* bytes = symbol::name_bytes(word_symbol(word), &length);
        const auto* p = reinterpret_cast<const uint8_t*>(bytes);
        const uint8_t* end = p + length;
        tw_.put('"');
        while (p < end) {
            int32_t cp;
            const uint8_t* next = unicode::decode_utf8_char_bounded(p, end, &cp);
            p = next > p ? next : p + 1;
            put_escaped(static_cast<uint32_t>(cp));
        }
        tw_.put('"');
    }

    bool normal(uint32_t c) const {
        if (c < 0x20 || c == '"' || c == '\\') return false;
        return !ascii_ || c <= 0x7F;
    }

    void hex4(uint32_t n) {
        static const char digits[] = "0123456789ABCDEF";
        tw_.put('\\');
        tw_.put('u');
        for (int shift = 12; shift >= 0; shift -= 4) tw_.put(static_cast<uint8_t>(digits[(n >> shift) & 0xF]));
    }

    void text(const kel_value* s) {
        tw_.put('"');
        memory::buffer_header* h = string::buffer(s);
        const int64_t units = h->units();
        int64_t head = series_head(s);
        if (head < 0) head = 0;
        const uint32_t unit = h->unit();
        for (int64_t i = head; i < units; ++i) {
            // Re-read: the writer's flush may allocate.
            h = string::buffer(s);
            put_escaped(static_cast<uint32_t>(string::read_unit(string::unit_ptr(h, i), unit)));
        }
        tw_.put('"');
    }

    void block(const kel_value* b, int depth) {
        const int32_t n = block::ks_length_q(b);
        if (n <= 0) {
            tw_.put_ascii("[]");
            return;
        }
        tw_.put('[');
        const int32_t head = series_head(b);
        for (int32_t i = 0; i < n; ++i) {
            // The Kel writer runs between items: the block is measured again.
            if (i >= block::ks_length_q(b)) break;
            if (i) tw_.put(',');
            const kel_value item = *block::ks_abs_at(b, head + i);
            value(&item, depth + 1);
        }
        tw_.put(']');
    }

    // The keys as `words-of` gives them, each with its value as `select/case`
    // finds it: the live pairs in order.
    void map(const kel_value* m, int depth) {
        kel_value b;
        set_series(&b, types::block, 0, series_node(m));
        const int32_t cells = static_cast<int32_t>(memory::buffer_of(series_node(m))->units());
        bool first = true;
        for (int32_t i = 0; i + 1 < cells; i += 2) {
            if (i + 1 >= static_cast<int32_t>(memory::buffer_of(series_node(m))->units())) break;
            const kel_value key = *block::ks_abs_at(&b, i);
            const kel_value v = *block::ks_abs_at(&b, i + 1);
            if (v.header == 0) continue;
            tw_.put(first ? '{' : ',');
            first = false;
            const uint32_t t = type_of(&key);
            if (t == types::set_word) {
                spelling(&key);
            } else if (t == types::string) {
                text(&key);
            } else {
                kel_value k = key;
                clear_new_line(&k);
                call(key_fallback_, nullptr, m, &k);
                continue;
            }
            tw_.put(':');
            value(&v, depth + 1);
        }
        if (first) tw_.put_ascii("{}");
        else tw_.put('}');
    }
};

machine_value encode_routine(const machine_value* a, int32_t) {
    kel_value* output = a[0].cell;
    std::vector<uint32_t> path;
    if (!plain_nesting(a[1].cell, 0, path)) return routines::answer_cell(none::value);
    const bool ascii = logic::truthy(a[2].cell);
    writer w(output, ascii, a[3].cell, a[4].cell);
    w.value(a[1].cell, 0);
    w.finish();
    return routines::answer_cell(output);
}

}  // namespace

void install() {
    routines::entry e;
    e.name = "json-encode";
    e.spec =
        R"k("Append the compact JSON text of a value to a string" output [string!] value [any-type!] ascii [any-type!] value-writer [any-type!] key-writer [any-type!])k";
    e.fn = encode_routine;
    routines::define(routine_numbers::json_encode, e);
}

}  // namespace kel::json_encode
