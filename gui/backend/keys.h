// keys: the translation of key codes. The window adapter hands the core key
// codes in one numbering (a letter key is its capital, a digit its digit;
// the other keys have the codes below); this module says which codes give a
// character, which character a key-down reports, which keys have a word for
// the `key` field, and keeps the code of the last key-down that gave no
// character (the "special key"), which the `key` field of the key events
// that follow reads.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::keys {

namespace code {
enum : int32_t {
    shift = 16, control = 17, alt = 18,
    pause = 19, caps_lock = 20, page_up = 33, page_down = 34, end = 35, home = 36,
    left = 37, up = 38, right = 39, down = 40, insert = 45, delete_ = 46,
    left_command = 91, right_command = 92, f1 = 112, f12 = 123, num_lock = 144, scroll_lock = 145,
    left_shift = 160, right_shift = 161, left_control = 162, right_control = 163, left_alt = 164, right_alt = 165,
    processed = 229,  // an input method is handling the key
};
}  // namespace code

// True for the codes of keys that produce a character.
bool character_key_q(int32_t code);
// The character a character key's down reports (0: none).
uint32_t character_of(int32_t code);
// A modifier without a side becomes its left one.
int32_t side_key(int32_t code);
// The word of a key code into `out`; false when it has none.
bool key_word(int32_t code, kel_value* out);

// The special key: -1, or the code of the last key-down that gave no
// character.
extern int32_t special;
// Set while an input method composes.
extern bool composing;

}  // namespace kel::keys
