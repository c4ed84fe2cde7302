// char: the char! datatype (id 10, parent integer!), one Unicode code point
// in word 2, always within 0..0x10FFFF. It inherits integer!'s random,
// absolute, even? and odd?; its own arithmetic keeps the result a valid code
// point (anything outside the range is a math `overflow`, never a wrap), and
// its conversions check the range before a char! is made.
//
// Also here, as functions over plain memory so that binary! and the string
// writers can use them: the first character of UTF-8 bytes (never reading
// past the end), the mold escape of one code point, and appending one code
// point to a string buffer, widening its units when the code point needs it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::char_ {

constexpr uint32_t max_code_point = 0x10FFFF;

kel_value* make_at_tail(const kel_value* block, uint32_t code_point);
kel_value* push(uint32_t code_point);

// The math actions of char!: argument 1 a char!, argument 2 the operand.
signal_code arith_action(int op);

// The first UTF-8 character of bytes[0, count): its code point and length.
// An empty input raises script `bad-to-arg` (char!, `spec`); a sequence cut
// short by the end, or malformed, raises access `invalid-utf8` with the
// bytes from the fault (at most 4, never past the end).
uint32_t first_utf8_char(const uint8_t* bytes, size_t count, const kel_value* spec);

// The mold escape of one code point into out (at least 12 bytes), without
// the surrounding quotes; answers its length.
int escape(uint32_t code_point, bool all, char* out);

// Appends one code point to a string buffer: 1-byte units keep 0-0x7F,
// 0x80-0xFFFF needs 2-byte units, above that 4-byte units; a narrower buffer
// is widened whole first.
void append_code_point(kel_value* buffer, uint32_t code_point);

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);

registry::registration row();

}  // namespace kel::char_
