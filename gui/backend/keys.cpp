// keys: see keys.h.
#include "gui/backend/keys.h"

#include <cstring>

#include "datatypes/symbol.h"
#include "datatypes/word.h"

namespace kel::keys {

int32_t special = -1;
bool composing = false;

namespace {

struct range {
    int32_t first, last;
};
const range character_keys[] = {{8, 9},     {13, 13},   {27, 27},   {32, 32},   {48, 57},   {65, 90},
                                {96, 107},  {109, 111}, {186, 192}, {219, 223}, {226, 228}, {233, 245}};

struct named {
    int32_t code;
    const char* word;
};
const named key_words[] = {
    {code::pause, "pause"},           {code::caps_lock, "caps-lock"},       {code::page_up, "page-up"},
    {code::page_down, "page-down"},   {code::end, "end"},                   {code::home, "home"},
    {code::left, "left"},             {code::up, "up"},                     {code::right, "right"},
    {code::down, "down"},             {code::insert, "insert"},             {code::delete_, "delete"},
    {code::num_lock, "num-lock"},     {code::scroll_lock, "scroll-lock"},   {code::left_shift, "left-shift"},
    {code::right_shift, "right-shift"}, {code::left_control, "left-control"}, {code::right_control, "right-control"},
    {code::left_alt, "left-alt"},     {code::right_alt, "right-alt"},       {code::left_command, "left-command"},
    {code::right_command, "right-command"},
};

}  // namespace

bool character_key_q(int32_t c) {
    for (const range& r : character_keys)
        if (c >= r.first && c <= r.last) return true;
    return false;
}

uint32_t character_of(int32_t c) {
    if (c == 8 || c == 9 || c == 13 || c == 27 || c == 32 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))
        return static_cast<uint32_t>(c);
    if (c >= 96 && c <= 105) return static_cast<uint32_t>('0' + c - 96);  // the number pad
    static const char pad[] = "*+\0-./";                                 // 106-111
    if (c >= 106 && c <= 111) return static_cast<uint8_t>(pad[c - 106]);
    static const char punctuation[] = ";=,-./`";                         // 186-192
    if (c >= 186 && c <= 192) return static_cast<uint8_t>(punctuation[c - 186]);
    static const char brackets[] = "[\\]'";                              // 219-222
    if (c >= 219 && c <= 222) return static_cast<uint8_t>(brackets[c - 219]);
    if (c == 226) return '\\';
    return 0;
}

int32_t side_key(int32_t c) {
    switch (c) {
        case code::shift: return code::left_shift;
        case code::control: return code::left_control;
        case code::alt: return code::left_alt;
        default: return c;
    }
}

bool key_word(int32_t c, kel_value* out) {
    if (c >= code::f1 && c <= code::f12) {
        char name[4] = {'F', 0, 0, 0};
        const int n = c - code::f1 + 1;
        if (n < 10) name[1] = static_cast<char>('0' + n);
        else {
            name[1] = '1';
            name[2] = static_cast<char>('0' + n - 10);
        }
        word::init_cell(symbol::intern(name), out);
        return true;
    }
    for (const named& k : key_words)
        if (k.code == c) {
            word::init_cell(symbol::intern(k.word), out);
            return true;
        }
    return false;
}

}  // namespace kel::keys
