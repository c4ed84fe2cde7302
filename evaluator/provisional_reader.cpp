// provisional_reader: see provisional_reader.h. Temporary: the lexer replaces
// it; keep it small.
#include "evaluator/provisional_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/native_api.h"

namespace kel::provisional {

namespace {

struct reader {
    std::string_view s;
    size_t i = 0;
    bool new_line = false;

    [[noreturn]] void invalid(size_t from) {
        kel_value text;
        text_out::new_buffer(&text, 16);
        kel_value* held = block::ks_add(block::root(), &text);
        const size_t end = std::min(s.size(), from + 20);
        text_out::append(held, s.data() + from, end - from);
        const kel_value t = *held;
        fire(error_category::syntax, "invalid", &t);
    }

    static bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool stop(char c) {
        return blank(c) || c == '[' || c == ']' || c == '(' || c == ')' || c == '"' || c == ';' || c == '/' ||
               c == ':';
    }

    void skip_blanks() {
        while (i < s.size()) {
            if (s[i] == '\n') new_line = true;
            if (blank(s[i])) {
                ++i;
            } else if (s[i] == ';') {
                while (i < s.size() && s[i] != '\n') ++i;
            } else {
                break;
            }
        }
    }

    static kel_value block_of(const std::vector<kel_value>& cells, uint32_t type) {
        kel_value* cell = block::make_at_tail(nullptr, static_cast<int32_t>(cells.size()));
        for (const kel_value& c : cells) block::ks_add(cell, &c);
        cell = block::ks_tail(block::root()) - 1;
        set_type(cell, type);
        return *cell;
    }

    static kel_value word_of(std::string_view name, uint32_t type) {
        const uint32_t sym = symbol::intern_part(name.data(), static_cast<uint32_t>(name.size()));
        kel_value w;
        set_unset(&w);
        if (type == types::issue) {
            init_cell(&w, types::issue);
            w.w1 = _context::global();
            w.w2 = sym;
            w.w3 = static_cast<uint32_t>(-1);
            return w;
        }
        word::init_cell(sym, &w);
        set_type(&w, type);
        return w;
    }

    // A number token, or false when the token is not one.
    static bool number(std::string_view t, kel_value* out) {
        size_t k = 0;
        if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
        const size_t digits_from = k;
        while (k < t.size() && t[k] >= '0' && t[k] <= '9') ++k;
        if (k == digits_from) return false;
        bool is_float = false;
        if (k < t.size() && t[k] == '.') {
            is_float = true;
            ++k;
            while (k < t.size() && t[k] >= '0' && t[k] <= '9') ++k;
        }
        if (k < t.size() && (t[k] == 'e' || t[k] == 'E')) {
            is_float = true;
            ++k;
            if (k < t.size() && (t[k] == '+' || t[k] == '-')) ++k;
            while (k < t.size() && t[k] >= '0' && t[k] <= '9') ++k;
        }
        if (k != t.size()) return false;
        const std::string text(t);
        if (is_float) {
            set_float(out, std::strtod(text.c_str(), nullptr));
            return true;
        }
        const long long v = std::strtoll(text.c_str(), nullptr, 10);
        if (v < INT32_MIN || v > INT32_MAX || text.size() > 12) return false;
        set_integer(out, static_cast<int32_t>(v));
        return true;
    }

    std::string_view token() {
        const size_t from = i;
        while (i < s.size() && !stop(s[i])) ++i;
        return s.substr(from, i - from);
    }

    kel_value string_value() {
        const size_t from = i++;
        std::vector<uint32_t> cps;
        while (true) {
            if (i >= s.size()) invalid(from);
            uint32_t c = static_cast<uint8_t>(s[i++]);
            if (c == '"') break;
            if (c == '^' && i < s.size()) {
                const char e = s[i++];
                c = e == '/' ? '\n' : static_cast<uint8_t>(e);
            } else if (c >= 0x80) {
                const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
                c &= extra == 3 ? 0x07u : extra == 2 ? 0x0Fu : 0x1Fu;
                for (int k = 0; k < extra && i < s.size(); ++k) c = (c << 6) | (static_cast<uint8_t>(s[i++]) & 0x3Fu);
            }
            cps.push_back(c);
        }
        kel_value text;
        text_out::new_buffer(&text, static_cast<uint32_t>(cps.size() + 1));
        kel_value* held = block::ks_add(block::root(), &text);
        symbol::append_code_points(held, cps.data(), static_cast<uint32_t>(cps.size()));
        return *(block::ks_tail(block::root()) - 1);
    }

    // One element after a "/" of a path.
    kel_value path_element() {
        const size_t from = i;
        if (i < s.size() && s[i] == '(') {
            ++i;
            return block_of(values(')'), types::paren);
        }
        uint32_t type = types::word;
        if (i < s.size() && s[i] == ':') {
            type = types::get_word;
            ++i;
        }
        const std::string_view t = token();
        if (t.empty()) invalid(from);
        kel_value v;
        if (type == types::word && number(t, &v)) return v;
        return word_of(t, type);
    }

    kel_value word_or_path() {
        const size_t from = i;
        uint32_t prefix = 0;
        const char c = s[i];
        if (c == '/') {
            // "/" and "//" are words; "/name" a refinement.
            size_t k = i;
            while (k < s.size() && s[k] == '/') ++k;
            if (k == s.size() || stop(s[k])) {
                const std::string_view name = s.substr(i, k - i);
                i = k;
                return word_of(name, types::word);
            }
            ++i;
            const std::string_view name = token();
            if (name.empty()) invalid(from);
            return word_of(name, types::refinement);
        }
        if (c == '\'' || c == ':' || c == '#') {
            prefix = static_cast<uint8_t>(c);
            ++i;
        }
        const std::string_view first = token();
        if (first.empty()) invalid(from);
        kel_value head;
        if (prefix == 0 && number(first, &head)) {
            if (i < s.size() && (s[i] == '/' || s[i] == ':')) invalid(from);
            return head;
        }
        if (prefix == '#') return word_of(first, types::issue);
        head = word_of(first, types::word);
        if (i < s.size() && s[i] == '/') {
            std::vector<kel_value> elements{head};
            while (i < s.size() && s[i] == '/') {
                ++i;
                elements.push_back(path_element());
            }
            uint32_t type = prefix == '\'' ? types::lit_path : prefix == ':' ? types::get_path : types::path;
            if (i < s.size() && s[i] == ':') {
                if (prefix) invalid(from);
                ++i;
                type = types::set_path;
            }
            return block_of(elements, type);
        }
        uint32_t type = prefix == '\'' ? types::lit_word : prefix == ':' ? types::get_word : types::word;
        if (i < s.size() && s[i] == ':') {
            if (prefix) invalid(from);
            ++i;
            type = types::set_word;
        }
        set_type(&head, type);
        return head;
    }

    std::vector<kel_value> values(char close) {
        std::vector<kel_value> out;
        while (true) {
            new_line = false;
            skip_blanks();
            const bool line = new_line;
            if (i >= s.size()) {
                if (close) invalid(s.size() > 0 ? s.size() - 1 : 0);
                return out;
            }
            const char c = s[i];
            kel_value v;
            if (c == close) {
                ++i;
                return out;
            }
            if (c == '[') {
                ++i;
                v = block_of(values(']'), types::block);
            } else if (c == '(') {
                ++i;
                v = block_of(values(')'), types::paren);
            } else if (c == '"') {
                v = string_value();
            } else if (c == ']' || c == ')') {
                invalid(i);
            } else {
                v = word_or_path();
            }
            if (line) v.header |= header_new_line;
            out.push_back(v);
        }
    }
};

}  // namespace

void read(const char* text, kel_value* out) {
    reader r{std::string_view(text ? text : "")};
    *out = reader::block_of(r.values(0), types::block);
}

}  // namespace kel::provisional
