// random: the one process-wide pseudo-random generator behind the `random`
// actions (drawing, and reseeding with /seed), the secure source behind
// /secure, and the per-process seed of every hash table.
//
// The generator keeps 624 32-bit words and a read index. It uses the
// Mersenne Twister constants but every right shift is arithmetic (on the word
// read as signed) and seeding does not twist, so its sequences are its own:
// after a seed the first 624 draws are the tempered seeding words, the 625th
// twists first. The last tempering step clears bit 31, so every draw lies in
// 0..2147483647. The state always holds a seeded generator (seed 19650218
// until someone reseeds), so a draw is valid even before start-up ran.
//
// The secure source keeps no state: each call asks the kernel (getrandom).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kel::random {

// Start-up: seeds with 19650218 and fixes the hash seed for the process.
void setup();

// Replaces the whole state by the one `seed_value` gives.
void seed(uint32_t seed_value);

// The next draw, 0..2147483647.
uint32_t next();

// Four bytes of the secure source, little-endian, masked to 0..2147483647.
uint32_t secure_next();

// A uniform integer: 0 for n = 0; 1..n for n > 0 (by rejection, so every value
// is equally likely); -1..-|n| for n < 0; for n = -2147483648 one draw d gives
// -1 - d. Draws from the secure source when `secure` is set.
int32_t int_upto(int32_t n, bool secure = false);

// The 32-bit seed every hash of the hash tables starts from: the same in every
// run (the first draw of the start-up generator), so hash-seeded sequences of
// the random generator are reproducible; hashes are never stored outside a table.
uint32_t hash_seed();

}  // namespace kel::random

namespace kel::crypto {

// Fills `buffer` with `count` bytes from the kernel's secure random source.
// A kernel that offers no source at all is fatal: nothing secure can go on.
void random_bytes(size_t count, void* buffer);

}  // namespace kel::crypto
