// catalog: the stand-in reader of catalogue sources (see catalog.h).
#include "kernel/catalog.h"

#include <unistd.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/string_api.h"
#include "datatypes/word.h"
#include "evaluator/stack.h"
#include "kernel/fatal.h"
#include "kernel/print.h"

namespace kel::catalog {

read_fn read = read_plain;

void boot_stop(const char* what, int line) {
    std::string text = std::string("*** Boot Error: ") + what;
    if (line > 0) text += " (line " + std::to_string(line) + ")";
    text += "\n";
    std_output::flush();
    ssize_t ignored = ::write(2, text.data(), text.size());
    (void)ignored;
    fatal::report_error(fatal::assertion_failed, __builtin_return_address(0));
}

namespace {

bool delimiter_q(char c) {
    switch (c) {
        case ' ': case '\t': case '\r': case '\n': case '[': case ']': case '(': case ')': case '"': case ';':
        case '{': case '}': return true;
        default: return false;
    }
}

bool integer_text_q(const std::string& t, int32_t* out) {
    size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    if (i == t.size()) return false;
    int32_t v = 0;
    for (size_t k = i; k < t.size(); ++k) {
        if (t[k] < '0' || t[k] > '9') return false;
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, t[k] - '0', &v)) return false;
    }
    *out = t[0] == '-' ? -v : v;
    return true;
}

}  // namespace

kel_value* read_plain(const char* text, size_t length) {
    kel_value* result = block::push_only_star(16);
    kel_value* open[64];  // the blocks being filled, innermost last (argument-stack cells never move)
    int depth = 0;
    open[depth] = result;
    int line = 1;
    size_t i = 0;
    while (i < length) {
        const char c = text[i];
        if (c == '\n') ++line;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (c == ';') {
            while (i < length && text[i] != '\n') ++i;
            continue;
        }
        if (c == '[') {
            if (depth + 1 >= 64) boot_stop("catalogue source nested too deep", line);
            open[++depth] = block::push_only_star(4);
            ++i;
            continue;
        }
        if (c == ']') {
            if (depth == 0) boot_stop("catalogue source has an unmatched ]", line);
            const kel_value done = *open[depth];
            stack::drop_cells(1);
            block::ks_add(open[--depth], &done);
            ++i;
            continue;
        }
        if (c == '"') {
            std::string s;
            for (++i; i < length && text[i] != '"'; ++i) {
                if (text[i] == '\n') boot_stop("catalogue string runs past the end of its line", line);
                if (text[i] != '^') {
                    s += text[i];
                    continue;
                }
                if (++i == length) break;
                switch (text[i]) {
                    case '/': s += '\n'; break;
                    case '-': s += '\t'; break;
                    default: s += text[i]; break;  // ^" and ^^
                }
            }
            if (i == length) boot_stop("catalogue string has no closing quote", line);
            ++i;
            kel_value* cell = stack::push_unset();
            string::decode(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()), cell,
                           string::encoding_utf8);
            const kel_value made = *cell;
            stack::drop_cells(1);
            block::ks_add(open[depth], &made);
            continue;
        }
        if (delimiter_q(c)) boot_stop("catalogue source holds a value the catalogue reader does not know", line);
        size_t end = i;
        while (end < length && !delimiter_q(text[end])) ++end;
        std::string token(text + i, end - i);
        i = end;
        kel_value v;
        int32_t n;
        if (integer_text_q(token, &n)) {
            set_integer(&v, n);
        } else {
            uint32_t type = types::word;
            if (token.size() > 1 && token.back() == ':') {
                type = types::set_word;
                token.pop_back();
            } else if (token.size() > 1 && token[0] == ':') {
                type = types::get_word;
                token.erase(0, 1);
            } else if (token.size() > 1 && token[0] == '\'') {
                type = types::lit_word;
                token.erase(0, 1);
            }
            v = *word::from_c_string(token.c_str());
            set_type(&v, type);
        }
        block::ks_add(open[depth], &v);
    }
    if (depth != 0) boot_stop("catalogue source has an unclosed [", line);
    return result;
}

}  // namespace kel::catalog
