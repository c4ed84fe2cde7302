// compression: the system's own deflate compressor and inflate decompressor,
// with the zlib and gzip framings, behind the `compress` and `decompress`
// natives. Every routine works on caller-provided memory: it never allocates
// its output (its tables live on the call's stack), it reports the size it
// needed when the output was too small, and the caller retries with that
// size.
//
// The compressor is deliberately simple and fixed: one final block of fixed
// Huffman codes, a 1024 x 4 match table and first-match selection, so the
// same input gives the same bytes on every run and machine.
//
// Inflate reads bytes from anywhere: no input, however crafted, makes it read
// or write outside its buffers. Past the output capacity it keeps decoding
// and counting, so a run with no buffer reports the size the output needs.
//
// The trailers' CRC-32 and Adler-32 live in the evaluator's checksum module;
// they reach this layer through `install_checks`, done by the start-up step
// "compression".
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::compression {

// Result codes of inflate (the framings use 0, 1 and 2 only).
enum code : int {
    done = 0,
    too_small = 1,       // size = bytes needed
    bad_data = 2,        // malformed stream, header, trailer check or size
    stored_short = 3,    // a stored block longer than the remaining input
    bad_block_type = 4,  // block type 3
    bad_distance = 5,    // a distance reaching before the start of the output
    too_large = 6,       // the output passes the largest binary (the framings too)
};

// The most output a stream may have: the largest binary!. Counting stops
// as soon as a stream passes it, so a bomb is refused for what it would
// produce without decoding the rest of it.
constexpr size_t most_output = 0x7FFFFFF0u;
// Deflate expands at most 1032 to 1 (a 258-byte match in under two bits):
// no stream of `length` bytes gives more.
constexpr uint64_t most_output_of(size_t length) { return 1032 * uint64_t(length) + 64; }

using running_check = uint32_t (*)(uint32_t running, const uint8_t* bytes, size_t length);
// Start-up: the CRC-32 and Adler-32 with their running forms.
void install_checks(running_check crc32_continue, running_check adler32_continue);

// The method words `zlib`, `deflate` and `gzip`.
enum class method : uint8_t { zlib, deflate, gzip, count };
void init_words();
// The method a symbol names (compared by resolved symbol), or method::count.
method method_of(uint32_t symbol);

// All take the output (may be null when *size is 0), the in/out size
// (in: capacity; out: bytes produced or needed) and the input.

// Raw deflate: 0 when the output fit, 1 when not (size = bytes needed).
int deflate(uint8_t* out, size_t* size, const uint8_t* in, size_t length);
// Raw inflate: codes above; a stream that ends before its final block does
// is bad_data.
int inflate(uint8_t* out, size_t* size, const uint8_t* in, size_t length);

// 0 done, 1 output too small (size = needed), 2 capacity below the framing
// (size = input length + 6 for zlib, + 18 for gzip).
int zlib_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t length);
int gzip_compress(uint8_t* out, size_t* size, const uint8_t* in, size_t length);
// 0 done, 1 output too small (size = needed; gzip: the stored size), 2 bad
// data, too_large past most_output.
int zlib_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t length);
int gzip_decompress(uint8_t* out, size_t* size, const uint8_t* in, size_t length);

// The compressor or decompressor of a method.
using codec = int (*)(uint8_t* out, size_t* size, const uint8_t* in, size_t length);
codec compressor(method m);
codec decompressor(method m);

}  // namespace kel::compression
