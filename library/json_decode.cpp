// json_decode: see json_decode.h.
//
// The text is read from a private copy of its units, so that nothing the
// reader allocates can move what it reads. Values under construction live on
// the argument stack: one cell per open object or array (its block), and the
// value being added, so a collection in the middle finds them all. A failure
// of any kind only ends the reading (answer none): the grammar then reads
// the same text and says where it stopped, or raises what it raises.
#include "library/json_decode.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/string_api.h"
#include "evaluator/interpreter.h"
#include "evaluator/routines.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/series_memory.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "library/json_unescape.h"

namespace kel::json_decode {

namespace {

using routines::machine_value;

// Deeper documents are left to the grammar, whatever it makes of them: its
// parse stack ends a document of objects somewhat past 512 levels, less when
// load-json runs inside another parse, so the compiled reader stops well
// before that.
constexpr int32_t max_depth = 256;

bool digit_q(uint32_t c) { return c >= '0' && c <= '9'; }
bool hex_q(uint32_t c) { return digit_q(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hex_value(uint32_t c) {
    if (digit_q(c)) return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    return static_cast<int>(c - 'A' + 10);
}

struct failed {};

template <class Unit>
class reader {
public:
    reader(const Unit* text, int32_t length, const kel_value* source, int32_t head, const kel_value* name_word)
        : p_(text), n_(length), source_(source), head_(head), name_word_(name_word) {}

    // The document's value pushed on the argument stack, or `failed`.
    void document() {
        value();
        if (i_ != n_) throw failed{};
    }

private:
    const Unit* p_;
    int32_t n_;
    int32_t i_ = 0;
    const kel_value* source_;
    int32_t head_;
    const kel_value* name_word_;
    int32_t depth_ = 0;
    std::unordered_map<std::u32string, kel_value> names_;

    uint32_t at(int32_t i) const { return i < n_ ? static_cast<uint32_t>(p_[i]) : 0xFFFFFFFFu; }

    void ws() {
        while (i_ < n_) {
            const uint32_t c = static_cast<uint32_t>(p_[i_]);
            if (c != ' ' && c != '\t' && c != '\n') return;
            ++i_;
        }
    }

    void expect(char c) {
        if (at(i_) != static_cast<uint32_t>(static_cast<unsigned char>(c))) throw failed{};
        ++i_;
    }

    void literal(const char* word) {
        for (; *word; ++word) expect(*word);
    }

    // Adds the value on top of the stack to the open block below it.
    static void add_top() {
        kel_value* top = stack::top() - 1;
        block::ks_add(top - 1, top);
        stack::drop_cells(1);
    }

    // A string literal from its opening quote: the new string pushed. The
    // escapes are checked as the grammar checks them, and a high surrogate
    // without its low half is left to the grammar (whose unescape raises).
    void string_literal() {
        expect('"');
        const int32_t start = i_;
        bool escaped = false;
        for (;;) {
            if (i_ >= n_) throw failed{};
            const uint32_t c = static_cast<uint32_t>(p_[i_]);
            if (c == '"') break;
            if (c < 0x20) throw failed{};
            if (c == '\\') {
                escaped = true;
                const uint32_t e = at(i_ + 1);
                if (e == 'u') {
                    if (!(hex_q(at(i_ + 2)) && hex_q(at(i_ + 3)) && hex_q(at(i_ + 4)) && hex_q(at(i_ + 5))))
                        throw failed{};
                    i_ += 6;
                } else if (e == '"' || e == 't' || e == '\\' || e == '/' || e == 'n' || e == 'r' || e == 'b' ||
                           e == 'f') {
                    i_ += 2;
                } else {
                    throw failed{};
                }
                continue;
            }
            ++i_;
        }
        const int32_t end = i_;
        ++i_;
        if (escaped) check_pairs(start, end);
        kel_value* out = stack::push_unset();
        if (end == start) {
            string::make_at_unit(out, 1, 1);
        } else {
            string::copy_units(source_, head_ + start, end - start, out);
            if (escaped) json_unescape::unescape(out);
        }
    }

    // What unescape refuses: a high surrogate not followed by an escaped low one.
    void check_pairs(int32_t start, int32_t end) const {
        for (int32_t i = start; i < end; ++i) {
            if (static_cast<uint32_t>(p_[i]) != '\\') continue;
            if (at(i + 1) != 'u') {
                ++i;
                continue;
            }
            const int v = (hex_value(at(i + 2)) << 12) | (hex_value(at(i + 3)) << 8) | (hex_value(at(i + 4)) << 4) |
                          hex_value(at(i + 5));
            i += 5;
            if (v < 0xD800 || v > 0xDBFF) continue;
            if (end - (i + 1) < 6 || at(i + 1) != '\\' || at(i + 2) != 'u') throw failed{};
            if (!(hex_q(at(i + 3)) && hex_q(at(i + 4)) && hex_q(at(i + 5)) && hex_q(at(i + 6)))) throw failed{};
            const int low = (hex_value(at(i + 3)) << 12) | (hex_value(at(i + 4)) << 8) | (hex_value(at(i + 5)) << 4) |
                            hex_value(at(i + 6));
            if (low < 0xDC00 || low > 0xDFFF) throw failed{};
            i += 6;
        }
    }

    void number() {
        const int32_t start = i_;
        bool is_float = false;
        if (at(i_) == '-') ++i_;
        if (at(i_) == '0') {
            ++i_;
        } else if (digit_q(at(i_))) {
            while (digit_q(at(i_))) ++i_;
        } else {
            throw failed{};
        }
        if (at(i_) == '.' && digit_q(at(i_ + 1))) {
            is_float = true;
            i_ += 1;
            while (digit_q(at(i_))) ++i_;
        }
        if (at(i_) == 'e' || at(i_) == 'E') {
            int32_t j = i_ + 1;
            if (at(j) == '+' || at(j) == '-') ++j;
            if (digit_q(at(j))) {
                is_float = true;
                while (digit_q(at(j))) ++j;
                i_ = j;
            }
        }
        const int32_t length = i_ - start;
        if (length > 400) throw failed{};
        char text[401];
        for (int32_t k = 0; k < length; ++k) text[k] = static_cast<char>(p_[start + k]);
        kel_value* out = stack::push_unset();
        if (!is_float) {
            if (length <= 9) {
                const bool negative = text[0] == '-';
                int32_t v = 0;
                for (int32_t k = negative ? 1 : 0; k < length; ++k) v = v * 10 + (text[k] - '0');
                set_integer(out, negative ? -v : v);
                return;
            }
            const lexer::integer_literal r = lexer::load_integer(text, text + length);
            if (r.kind == lexer::integer_literal::integer) set_integer(out, r.integer_value);
            else if (r.kind == lexer::integer_literal::floating) set_float(out, r.float_value);
            else throw failed{};
            return;
        }
        double quick;
        if (lexer::simple_decimal(text, text + length, &quick)) {
            set_float(out, quick);
            return;
        }
        const lexer::float_conversion r = lexer::load_float(text, text + length, 0);
        if (r.error != lexer::number_error::none) throw failed{};
        set_float(out, r.value);
    }

    // The name pushed: the word the decoder's name test makes of it, or the
    // string itself. The test runs once per distinct name.
    void name() {
        const int32_t start = i_ + 1;
        string_literal();
        const std::u32string key(p_ + start, p_ + (i_ - 1));
        auto found = names_.find(key);
        kel_value answer;
        if (found != names_.end()) {
            answer = found->second;
        } else {
            const kel_value s = *(stack::top() - 1);
            kel_value result;
            const signal_code code = interpreter::call_function(name_word_, nullptr, &s, 1, 0, &result);
            if (code != signal_code::none) stack::throw_code(code);
            answer = result;
            names_.emplace(key, answer);
        }
        if (type_of(&answer) == types::word) *(stack::top() - 1) = answer;
    }

    void open(uint32_t type_after) {
        (void)type_after;
        if (++depth_ > max_depth) throw failed{};
        (void)block::push_only_star(8);
    }

    void value() {
        ws();
        const uint32_t c = at(i_);
        if (c == '"') {
            string_literal();
        } else if (c == '-' || digit_q(c)) {
            number();
        } else if (c == 't') {
            literal("true");
            set_logic(stack::push_unset(), true);
        } else if (c == 'f') {
            literal("false");
            set_logic(stack::push_unset(), false);
        } else if (c == 'n') {
            literal("null");
            set_none(stack::push_unset());
        } else if (c == '{') {
            ++i_;
            open(types::map);
            ws();
            if (at(i_) != '}') {
                for (;;) {
                    ws();
                    name();
                    add_top();
                    ws();
                    expect(':');
                    value();
                    add_top();
                    if (at(i_) != ',') break;
                    ++i_;
                    ws();
                }
            }
            expect('}');
            --depth_;
            kel_value* top = stack::top() - 1;
            const kel_value b = *top;
            map::init_cell(top, &b, block::ks_length_q(&b) / 2);
        } else if (c == '[') {
            ++i_;
            open(types::block);
            ws();
            if (at(i_) != ']') {
                for (;;) {
                    value();
                    add_top();
                    if (at(i_) != ',') break;
                    ++i_;
                    ws();
                }
            }
            expect(']');
            --depth_;
        } else {
            throw failed{};
        }
        ws();
    }
};

template <class Unit>
bool read_all(const kel_value* text, const kel_value* name_word) {
    int32_t head = 0;
    std::vector<Unit> copy = string::units_from_head<Unit>(text, &head);
    reader<Unit> r(copy.data(), static_cast<int32_t>(copy.size()), text, head, name_word);
    kel_value* saved = stack::top();
    try {
        r.document();
    } catch (const failed&) {
        stack::regs.top = saved;
        return false;
    }
    return true;
}

machine_value decode_routine(const machine_value* a, int32_t) {
    const kel_value* text = a[0].cell;
    const kel_value* name_word = a[1].cell;
    kel_value* saved = stack::top();
    bool ok;
    switch (string::buffer(text)->unit()) {
        case 1: ok = read_all<uint8_t>(text, name_word); break;
        case 2: ok = read_all<uint16_t>(text, name_word); break;
        default: ok = read_all<int32_t>(text, name_word); break;
    }
    kel_value answer;
    if (!ok) {
        set_none(&answer);
    } else {
        // [value]: the document's value, whatever it is, told apart from none.
        kel_value* b = block::push_only_star(1);
        block::ks_add(b, b - 1);
        answer = *b;
    }
    stack::regs.top = saved;
    return routines::answer_cell(&answer);
}

}  // namespace

void install() {
    routines::entry e;
    e.name = "json-decode";
    e.spec = R"k("The value of a JSON text in a block, or none" text [string!] name-word [any-type!])k";
    e.fn = decode_routine;
    routines::define(routine_numbers::json_decode, e);
}

}  // namespace kel::json_decode
