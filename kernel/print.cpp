// print: hook lists and the staged UTF-8 writer behind every byte Kel sends to
// standard output. Invariant: the stage holds at most `stage_limit` bytes plus
// one encoded character; anything staged is written before an escape sequence
// is handled and before the process reports a fatal error.
#include "kernel/print.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "kernel/heap.h"
#include "kernel/unicode.h"

namespace kel::dyn_print {
namespace {

template <class F>
struct hook_list {
    F* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    void init() {
        capacity = 5;
        count = 0;
        items = heap::allocate_array<F>(capacity);
    }
    void add(F f) {
        if (!items) init();
        if (count == capacity) {
            capacity += 5;
            items = static_cast<F*>(heap::resize(items, capacity * sizeof(F)));
        }
        items[count++] = f;
    }
    void remove(F f) {
        for (size_t i = 0; i < count; ++i) {
            if (items[i] == f) {
                std::memmove(items + i, items + i + 1, (count - i - 1) * sizeof(F));
                --count;
                return;
            }
        }
    }
};

hook_list<value_printer> value_hooks;
hook_list<string_printer> string_hooks;

}  // namespace

void init() {
    heap::free(value_hooks.items);
    heap::free(string_hooks.items);
    value_hooks.init();
    string_hooks.init();
}

void add(value_printer vp, string_printer sp) {
    if (vp) value_hooks.add(vp);
    if (sp) string_hooks.add(sp);
}

void remove(value_printer vp, string_printer sp) {
    if (vp) value_hooks.remove(vp);
    if (sp) string_hooks.remove(sp);
}

void run(const kel_value* value, bool line_end) {
    for (size_t i = 0; i < value_hooks.count; ++i) value_hooks.items[i](value, line_end);
}

void run_strings(const char* utf8, size_t length, int flag) {
    for (size_t i = 0; i < string_hooks.count; ++i) string_hooks.items[i](utf8, length, flag);
}

size_t value_printer_count() { return value_hooks.count; }
size_t string_printer_count() { return string_hooks.count; }

}  // namespace kel::dyn_print

namespace kel::std_output {

namespace {

constexpr size_t stage_limit = 1020;  // write once the stage holds more than this

struct output_state {
    int fd = 1;
    bool terminal = false;
    char stage[1024 + 8];
    size_t used = 0;
} out;

void write_fd(const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(out.fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;  // output errors are ignored, as a closed pipe is
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void stage_bytes(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out.stage[out.used++] = p[i];
        if (out.used > stage_limit) flush();
    }
}

// A code point beyond Unicode is written as U+FFFD rather than dropped.
size_t encode_utf8(uint32_t c, char* o) {
    return static_cast<size_t>(unicode::encode_utf8_char(c > 0x10FFFF ? 0xFFFD : c, reinterpret_cast<uint8_t*>(o)));
}

void stage_code_point(uint32_t c) {
    char buf[4];
    size_t n = encode_utf8(c, buf);
    if (out.used + n > stage_limit + 1) flush();
    std::memcpy(out.stage + out.used, buf, n);
    out.used += n;
    if (out.used > stage_limit) flush();
}

uint32_t unit_at(const uint8_t* p, int unit) {
    switch (unit) {
        case 1: return p[0];
        case 2: return static_cast<uint32_t>(p[0] | (p[1] << 8));
        default: {
            uint32_t c;
            std::memcpy(&c, p, 4);
            return c;
        }
    }
}

// Answers the screen-buffer query from the terminal's window size. The cursor
// position is not known without a round trip to the terminal and reads 0x0.
void print_screen_info() {
    unsigned cols = 80, rows = 50;
    screen_size(&cols, &rows);
    char line[128];
    print_line_text("Screen buffer info:");
    std::snprintf(line, sizeof line, "   size______ %ux%u", cols, rows);
    print_line_text(line);
    print_line_text("   cursor____ 0x0");
    print_line_text("   attribute_ 00000007 00000007");
    print_line_text("   left______ 0 top: 0");
    std::snprintf(line, sizeof line, "   right_____ %u bottom: %u", cols - 1, rows - 1);
    print_line_text(line);
    std::snprintf(line, sizeof line, "   max_______ %ux%u", cols, rows);
    print_line_text(line);
}

// True when the units at `i` are ESC [ ? not followed by a digit: the query.
// DEC private modes (ESC[?25l and the like) go to the terminal untouched.
bool is_screen_query(const uint8_t* p, size_t i, size_t count, int unit) {
    if (i + 2 >= count) return false;
    if (unit_at(p + (i + 1) * unit, unit) != '[' || unit_at(p + (i + 2) * unit, unit) != '?') return false;
    if (i + 3 < count) {
        uint32_t next = unit_at(p + (i + 3) * unit, unit);
        if (next >= '0' && next <= '9') return false;
    }
    return true;
}

std::string format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string non_finite(double v) {
    if (std::isnan(v)) return "1.#NaN";
    return v < 0 ? "-1.#INF" : "1.#INF";
}

void emit(const std::string& s) { write_utf8(s.data(), s.size(), false); }

}  // namespace

void init() {
    out.fd = 1;
    out.terminal = isatty(1) == 1;
    out.used = 0;
}

bool is_terminal() { return out.terminal; }

void set_descriptor(int fd, bool terminal) {
    flush();
    out.fd = fd;
    out.terminal = terminal;
}

void screen_size(unsigned* cols, unsigned* rows) {
    struct winsize ws {};
    *cols = 80;
    *rows = 50;
    if (ioctl(out.fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col && ws.ws_row) {
        *cols = ws.ws_col;
        *rows = ws.ws_row;
    }
}

void flush() {
    if (out.used) write_fd(out.stage, out.used);
    out.used = 0;
}

namespace {

// The one writer. Units are code points (a 1-byte unit is Latin-1, so U+0080
// and above are encoded like any other width); `utf8` says the 1-byte units
// are already UTF-8 bytes, as the runtime's own C texts are.
void write_units(const uint8_t* p, size_t count, int unit, bool utf8, bool line_end) {
    const bool hooks = dyn_print::string_printer_count() > 0;
    std::string hook_text;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = unit_at(p + i * unit, unit);
        if (c == 27 && out.terminal && is_screen_query(p, i, count, unit)) {
            flush();
            print_screen_info();
            i += 2;
            continue;
        }
        if (unit == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
            uint32_t lo = unit_at(p + (i + 1) * unit, unit);
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80 || utf8) {
            char b = static_cast<char>(c);
            stage_bytes(&b, 1);
            if (hooks) hook_text.push_back(b);
        } else {
            stage_code_point(c);
            if (hooks) {
                char buf[4];
                hook_text.append(buf, encode_utf8(c, buf));
            }
        }
    }
    if (line_end) {
        stage_bytes("\n", 1);
        if (hooks) hook_text.push_back('\n');
    }
    // The stage batches within one call; what is left is written at its end.
    flush();
    if (hooks) dyn_print::run_strings(hook_text.data(), hook_text.size(), 0);
}

}  // namespace

void write(const void* units, size_t length_bytes, int unit, bool line_end) {
    if (unit != 1 && unit != 2 && unit != 4) unit = 1;
    write_units(static_cast<const uint8_t*>(units), length_bytes / static_cast<size_t>(unit), unit, false, line_end);
}

void write_utf8(const char* text, size_t length, bool line_end) {
    write_units(reinterpret_cast<const uint8_t*>(text), length, 1, true, line_end);
}

void print_c_string(const char* text) { write_utf8(text, std::strlen(text), false); }

void print_char(uint8_t byte) { write(&byte, 1, 1, false); }

void print_integer(int32_t v) { emit(std::to_string(v)); }

void print_byte_hex(uint8_t v) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", v);
    emit(buf);
}

void print_hex(uint32_t v) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "%08X", v);
    emit(buf);
}

std::string format_float64(double v) { return std::isfinite(v) ? format("%.16g", v) : non_finite(v); }
std::string format_float32(float v) {
    double d = static_cast<double>(v);
    return std::isfinite(d) ? format("%.7g", d) : non_finite(d);
}

void print_float64(double v) { emit(format_float64(v)); }
void print_float32(float v) { emit(format_float32(v)); }

void print_bounded(const char* text, size_t count) {
    size_t n = 0;
    while (n < count && text[n]) ++n;
    write_utf8(text, n, false);
}

std::string char_literal(uint8_t byte) {
    std::string s = "#\"";
    switch (byte) {
        case 0: s += "^@"; break;
        case 9: s += "^-"; break;
        case 10: s += "^/"; break;
        case 27: s += "^["; break;
        default:
            if (byte < 32) {
                s += '^';
                s += static_cast<char>(byte + 64);
            } else if (byte < 128) {
                s += static_cast<char>(byte);
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "^(%02X)", byte);
                s += buf;
            }
    }
    s += '"';
    return s;
}

void print_char_literal(uint8_t byte) { emit(char_literal(byte)); }

void print_line_text(std::string_view text) { write_utf8(text.data(), text.size(), true); }

void print_typed(size_t count, const typed_item* items) {
    for (size_t i = 0; i < count; ++i) {
        const typed_item& it = items[i];
        switch (static_cast<item_type>(it.type)) {
            case item_type::logic: emit(it.u ? "true" : "false"); break;
            case item_type::int32: print_integer(it.i); break;
            case item_type::byte: print_char(static_cast<uint8_t>(it.u)); break;
            case item_type::float32: print_float32(it.f); break;
            case item_type::float64: print_float64(it.d); break;
            case item_type::c_string: print_c_string(it.s ? it.s : ""); break;
            default: print_hex(it.u); break;
        }
    }
    flush();
}

void print_line(size_t count, const typed_item* items) {
    print_typed(count, items);
    write_utf8("\n", 1, false);
}

const char* build_date() {
    // __DATE__ is "Mmm dd yyyy"; the stamp is "d-Mmm-yyyy/hh:mm:ss".
    static char stamp[32];
    if (!stamp[0]) {
        const char* d = __DATE__;
        int day = (d[4] == ' ' ? 0 : d[4] - '0') * 10 + (d[5] - '0');
        std::snprintf(stamp, sizeof stamp, "%d-%.3s-%.4s/%s", day, d, d + 7, __TIME__);
    }
    return stamp;
}

}  // namespace kel::std_output
