// lz: the runtime's own LZ77 block codec. The decompressor restores
// compressed Kelbin payloads and a compressed stack map at start-up; the
// compressor mirrors the format and has no caller in the runtime.
//
// Block: packed size (u32 LE, bytes after the 8-byte header), unpacked size
// (u32 LE), then independent chunks: a u32 LE chunk length (1 to 1,048,576
// bytes of output) followed by a bit stream of tokens that starts on a byte
// boundary and is padded with zero bits to the next one. Bits are taken from
// the low end of each byte first; a field's first bit is its lowest.
//   literal: 0, then 8 bits of the byte
//   match:   1, a length code, a distance code; copies (extra + 3) bytes
//            from (d + 1) bytes back, never reaching before the chunk start.
//
// Invariants of the decoder: it reads only bytes inside the block it is
// given (header, chunk lengths and bit stream alike), writes only inside its
// output block, and allocates nothing but that block. Any inconsistency is a
// corrupt block: null, nothing leaked.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::lz {

constexpr uint32_t max_chunk = 1048576;  // bytes of output per chunk
constexpr uint32_t window = 262144;      // farthest match distance
constexpr uint32_t min_match = 3;
constexpr uint32_t max_match = 566;

// Decompresses the block at `block` (block_size bytes available there).
// Returns a heap block (kernel/heap) holding the unpacked bytes, with room for
// unpacked size + 8, and stores the bytes produced in *out_size when given;
// null for a corrupt block. Free the result with free_output.
uint8_t* decompress(const uint8_t* block, size_t block_size, size_t* out_size);
void free_output(void* p);

// Compresses `length` bytes of src into dst, which has room for `length`
// bytes. Returns the bytes written, header included, or -1 when the input is
// 127 bytes or fewer, longer than a block can describe, or does not shrink
// (the chunks would not fit in length - 8 bytes after the header).
long compress(const uint8_t* src, size_t length, uint8_t* dst);

}  // namespace kel::lz
