// print: the runtime's lowest output layer. `dyn_print` holds the two hook
// lists through which the console and `print` redirect output; `std_output`
// writes text to the process's standard output as UTF-8 with write(2), staged
// in about 1 KB batches. String hooks always receive UTF-8 with its length.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/value.h"

namespace kel::dyn_print {

using value_printer = void (*)(const kel_value* value, bool line_end);
using string_printer = void (*)(const char* utf8, size_t length, int flag);

void init();
// Appends each non-null printer to its list; the lists grow by 5.
void add(value_printer vp, string_printer sp);
// Removes the first occurrence of each non-null printer.
void remove(value_printer vp, string_printer sp);
void run(const kel_value* value, bool line_end);
void run_strings(const char* utf8, size_t length, int flag);
size_t value_printer_count();
size_t string_printer_count();

}  // namespace kel::dyn_print

namespace kel::std_output {

// Probes the standard output (terminal or redirected) and sets up the stage.
void init();
bool is_terminal();
// Tests redirect the output to another descriptor; init() resets it to 1.
void set_descriptor(int fd, bool terminal);

// Writes `length` bytes of 1-, 2- or 4-byte code units, each unit a code point
// (a 1-byte unit is Latin-1), as UTF-8; then LF when `line_end`. On a terminal the screen-buffer query ESC[? is
// answered by Kel itself; every other escape sequence passes through.
void write(const void* units, size_t length_bytes, int unit, bool line_end);
// Writes bytes that are already UTF-8 (the runtime's own texts) unchanged.
void write_utf8(const char* text, size_t length, bool line_end);
void flush();
// The terminal's columns and rows on standard output; 80x50 when it is not a
// terminal (redirected output has no size).
void screen_size(unsigned* cols, unsigned* rows);

void print_c_string(const char* text);  // UTF-8 bytes, written unchanged
void print_char(uint8_t byte);
void print_integer(int32_t v);          // "%i"
void print_byte_hex(uint8_t v);         // "%02X"
void print_hex(uint32_t v);             // "%08X"
void print_float64(double v);           // "%.16g"; non-finite as 1.#INF, -1.#INF, 1.#NaN
void print_float32(float v);            // "%.7g"
void print_bounded(const char* text, size_t count);
void print_char_literal(uint8_t byte);  // #"^@", #"^[", #"^(80)" ...
void print_line_text(std::string_view text);  // text then LF

// Typed print list items.
enum class item_type : uint32_t { logic = 1, int32 = 2, byte = 3, float32 = 4, float64 = 5, c_string = 6 };
struct typed_item {
    uint32_t type;
    union {
        uint64_t bits;
        int32_t i;
        uint32_t u;
        float f;
        double d;
        const char* s;
    };
};
void print_typed(size_t count, const typed_item* items);
void print_line(size_t count, const typed_item* items);

// The text the number printers produce, for reuse.
std::string format_float64(double v);
std::string format_float32(float v);
std::string char_literal(uint8_t byte);

// The build stamp, e.g. "9-Dec-2026/21:20:12".
const char* build_date();

}  // namespace kel::std_output
