// http: see http.h. Kel values become the request's UTF-8 texts here, and
// the response becomes Kel values through the file service's text
// conversions, so a body reads the same from a url as from a file.
#include "services/http.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "datatypes/word.h"
#include "kernel/actions.h"
#include "kernel/native_api.h"
#include "kernel/series_memory.h"
#include "kernel/stack.h"
#include "platform/http.h"
#include "services/simple_io.h"

namespace kel::http {

namespace {

bool word_kind_q(uint32_t t) {
    return t == types::word || t == types::set_word || t == types::lit_word || t == types::get_word;
}

// The UTF-8 of a string! or the bytes of a binary!, from the value's head.
void append_bytes_of(const kel_value* value, std::string& out) {
    const int64_t n = binary::encode_value(nullptr, value, -1, false, binary::encode_mode::append);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(n));
    (void)binary::encode_value(reinterpret_cast<uint8_t*>(out.data() + at), value, -1, false,
                               binary::encode_mode::append);
}

// A word's name, a string! as it is, any other value formed.
std::string text_of(const kel_value* value) {
    std::string out;
    const uint32_t t = type_of(value);
    if (t == types::string) {
        append_bytes_of(value, out);
    } else if (word_kind_q(t)) {
        const kel_value* name = word::push_name_string(value);
        append_bytes_of(name, out);
        stack::drop_cells(1);
    } else {
        kel_value* text = stack::push_unset();
        string::init_cell(text, 16);
        (void)actions::form_value(value, text, nullptr, 0x7FFFFFFF);
        append_bytes_of(text, out);
        stack::drop_cells(1);
    }
    return out;
}

// A header text holding a line end (or a NUL) would write lines of its own
// into the request.
void check_header_text(const std::string& text, const kel_value* value) {
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        const kel_value v = *value;
        fire(error_category::script, "invalid-arg", &v);
    }
}

// The header pairs in block order; an unpaired last name is left out.
void collect_headers(const kel_value* block, std::vector<platform::http::header>& out) {
    const kel_value b = *block;
    const int32_t head = std::max(series_head(&b), 0);
    const int32_t n = std::max(block::ks_length_q(&b), 0);
    for (int32_t i = 0; i + 1 < n; i += 2) {
        // Read through the block each time: forming a value may move it.
        const kel_value name = *block::ks_abs_at(&b, head + i);
        const kel_value value = *block::ks_abs_at(&b, head + i + 1);
        platform::http::header h;
        h.name = text_of(&name);
        h.value = text_of(&value);
        check_header_text(h.name, &name);
        check_header_text(h.value, &value);
        out.push_back(std::move(h));
    }
}

// The url as it goes into the request line. A url's text is stored
// decoded ("a b", "%" for "%25"), so what cannot stand in a request as it is
// (controls, blanks, bytes from 0x80 up, the few marks no url may hold, a
// "%" that starts no escape) is escaped again. Everything a url may hold
// goes as it stands: delimiters must not turn into data, and an escape in
// the text ("%2F" that the literal kept, or one written into the string the
// url was made from) is already in its wire form.
std::string wire_url(const kel_value* url) {
    const std::string text = text_of(url);
    static const char hex[] = "0123456789ABCDEF";
    const auto hex_q = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        const bool escape_q = b == '%' && i + 2 < text.size() && hex_q(text[i + 1]) && hex_q(text[i + 2]);
        const bool as_is = escape_q || (b > 0x20 && b < 0x7F && b != '%' && !std::strchr("\"<>\\^`{|}", b));
        if (as_is) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back('%');
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
    }
    return out;
}

void body_result(const platform::http::received_bytes& body, bool binary, bool lines, kel_value* result) {
    const auto* p = reinterpret_cast<const uint8_t*>(body.data());
    if (binary) {
        if (body.size() > 0x7FFFFFFFu) fire(error_category::internal, "no-memory");
        binary::init_cell(result, static_cast<uint32_t>(body.size()));
        if (!body.empty()) binary::append_bytes(result, p, body.size());
    } else if (lines) {
        simple_io::lines_to_block(p, body.size(), result);
    } else {
        simple_io::utf8_to_string(p, body.size(), result);
    }
}

bool utf8_q(const uint8_t* p, const uint8_t* end) {
    while (p < end) {
        const uint8_t b = *p;
        int n;
        uint32_t cp;
        if (b < 0x80) { ++p; continue; }
        if (b >= 0xC2 && b <= 0xDF) { n = 1; cp = b & 0x1Fu; }
        else if (b >= 0xE0 && b <= 0xEF) { n = 2; cp = b & 0x0Fu; }
        else if (b >= 0xF0 && b <= 0xF4) { n = 3; cp = b & 0x07u; }
        else return false;
        if (end - p <= n) return false;
        for (int k = 1; k <= n; ++k) {
            if ((p[k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[k] & 0x3Fu);
        }
        if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        p += n + 1;
    }
    return true;
}

// A header text as a string!: UTF-8 when it is, else each byte its own code
// point (servers still send Latin-1 in headers; a header never fails a read).
void header_string(const uint8_t* p, size_t n, kel_value* cell) {
    if (utf8_q(p, p + n)) {
        simple_io::utf8_to_string(p, n, cell);
    } else {
        string::init_cell(cell, static_cast<uint32_t>(n));
        string::append_c_part(cell, reinterpret_cast<const char*>(p), n);
    }
}

}  // namespace

void parse_headers(const char* text, size_t size, kel_value* result) {
    // The lines first, grouped by name (as the map's word keys compare them,
    // without regard to case) in the order the names first appear.
    struct field {
        std::string name;
        std::vector<std::pair<const char*, const char*>> values;
    };
    std::vector<field> fields;
    // Each name's field by its lower-case spelling: a response may carry
    // thousands of names, which a search through the fields met so far would
    // make quadratic.
    std::unordered_map<std::string, size_t> index_of_name;
    const char* end = text + size;
    for (const char* p = text; p < end;) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = lf ? lf : end;
        const char* next = lf ? lf + 1 : end;
        if (stop > p && stop[-1] == '\r') --stop;
        const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(stop - p)));
        if (colon && colon > p) {
            const char* v = colon + 1;
            while (v < stop && (*v == ' ' || *v == '\t')) ++v;
            std::string name(p, colon);
            std::string key = name;
            for (char& c : key)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            const auto [at, added] = index_of_name.try_emplace(std::move(key), fields.size());
            if (added) fields.push_back(field{std::move(name), {}});
            fields[at->second].values.emplace_back(v, stop);
        }
        p = next;
    }
    kel_value* pairs = stack::push_unset();
    block::init_cell(pairs, static_cast<int32_t>(std::max<size_t>(40, 2 * fields.size())));
    kel_value* cell = stack::push_unset();
    for (const field& f : fields) {
        *cell = *word::from_c_string(f.name.c_str());
        block::ks_add(pairs, cell);
        const auto text_at = [](const std::pair<const char*, const char*>& v, kel_value* out) {
            header_string(reinterpret_cast<const uint8_t*>(v.first), static_cast<size_t>(v.second - v.first), out);
        };
        if (f.values.size() == 1) {
            text_at(f.values[0], cell);
        } else {
            block::init_cell(cell, static_cast<int32_t>(f.values.size()));
            kel_value* one = stack::push_unset();
            for (const auto& v : f.values) {
                text_at(v, one);
                block::ks_add(cell, one);
            }
            stack::drop_cells(1);
        }
        block::ks_add(pairs, cell);
    }
    map::init_cell(result, pairs, 0);
    stack::drop_cells(2);
}

bool call(const url::http_request& q, kel_value* result) {
    platform::http::request r;
    r.method = text_of(q.method);
    for (char& c : r.method)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    r.url = wire_url(q.url);
    if (q.headers) {
        collect_headers(q.headers, r.headers);
    } else {
        r.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                     {"Accept-Charset", "UTF-8"},
                     {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"}};
    }
    if (q.data && r.method != "GET" && r.method != "HEAD") {
        r.has_body = true;
        const uint32_t t = type_of(q.data);
        if (t == types::binary || t == types::string) append_bytes_of(q.data, r.body);
        else r.body = text_of(q.data);
    }
    r.most_bytes = memory::max_capacity(1);  // the largest binary! or string! a body can become
    platform::http::response answer;
    if (!platform::http::perform(r, answer)) {
        if (answer.too_large) fire(error_category::internal, "no-memory");
        simple_io::utf8_to_string(reinterpret_cast<const uint8_t*>(answer.failure.data()), answer.failure.size(),
                                  result);
        return false;
    }
    if (!q.info) {
        body_result(answer.body, q.binary, q.lines, result);
        return true;
    }
    block::init_cell(result, 3);
    kel_value* cell = stack::push_unset();
    set_integer(cell, static_cast<int32_t>(answer.status));
    block::ks_add(result, cell);
    parse_headers(answer.headers.data(), answer.headers.size(), cell);
    block::ks_add(result, cell);
    body_result(answer.body, q.binary, q.lines, cell);
    block::ks_add(result, cell);
    stack::drop_cells(1);
    return true;
}

void install_hooks() {
    url::hooks.http_call = call;
}

}  // namespace kel::http
