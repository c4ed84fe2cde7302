// lexer_tables: the constant data of the lexer's state machine, built at
// compile time. Every byte maps to one of 40 character classes (low 8 bits of
// its entry) plus token flag bits that are ORed over a token's bytes; the
// transition table leads from 66 scanning states to the next state or to one
// of 36 token states (66-101); small per-state tables give the skip count of
// leading blanks, the datatype a state stands for, and the line feed count of
// a class. Nothing here allocates or changes after start-up: the tables are
// constexpr, so the scanning loop reads them without any set-up step.
#pragma once
#include <array>
#include <cstdint>

#include "kernel/value.h"

namespace kel::lexer {

// --- character classes -----------------------------------------------------
enum char_class : uint8_t {
    c_blank, c_line, c_digit, c_zero, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
    c_open_brace, c_close_brace, c_dquote, c_sharp, c_quote, c_colon, c_x, c_T, c_h, c_e, c_E,
    c_hex_lower, c_hex_upper, c_slash, c_backslash, c_less, c_greater, c_equal, c_percent, c_comma,
    c_semicolon, c_at, c_dot, c_dollar, c_plus, c_minus, c_caret, c_control, c_high, c_word, c_invalid,
    c_end,
};
constexpr int class_count = 40;

// --- token flags (bits above the class byte) --------------------------------
constexpr uint32_t flag_line = 1u << 15;      // a line feed (the scanner counts lines only then)
constexpr uint32_t flag_high = 1u << 16;      // a byte 127-191 (DEL or a UTF-8 continuation byte)
constexpr uint32_t flag_new_line = 1u << 17;  // set by the brace scanner only
constexpr uint32_t flag_percent = 1u << 18;
constexpr uint32_t flag_greater = 1u << 19;
constexpr uint32_t flag_less = 1u << 20;
constexpr uint32_t flag_sign = 1u << 21;
constexpr uint32_t flag_nul = 1u << 22;
constexpr uint32_t flag_sharp = 1u << 23;
constexpr uint32_t flag_exponent = 1u << 24;
constexpr uint32_t flag_quote = 1u << 25;
constexpr uint32_t flag_colon = 1u << 26;
constexpr uint32_t flag_comma = 1u << 27;
constexpr uint32_t flag_dot = 1u << 28;
constexpr uint32_t flag_caret = 1u << 29;
constexpr uint32_t flag_lead_2_3 = 1u << 30;  // lead byte of a two- or three-byte sequence
constexpr uint32_t flag_lead_4 = 1u << 31;    // lead byte of a four-byte sequence
// Any byte that is not ASCII below 127.
constexpr uint32_t flags_non_ascii = flag_high | flag_lead_2_3 | flag_lead_4;

// --- scanning states -----------------------------------------------------------
enum scan_state : uint8_t {
    s_start, s_comment, s_string, s_string_escape, s_braced, s_braced_escape, s_file_start, s_file,
    s_file_quoted, s_raw_percent, s_raw_string, s_raw_close, s_raw_close_percent, s_slash, s_refinement,
    s_slash_word, s_sharp, s_binary, s_binary_comment, s_char, s_char_escape, s_sharp_paren, s_issue,
    s_integer, s_decimal_point, s_fraction, s_exponent, s_digits_E, s_special_float, s_tuple, s_date,
    s_time_colon, s_time, s_pair_x, s_pair, s_point, s_money_start, s_money, s_money_fraction,
    s_hex_digits, s_hex_word, s_hex_word_h, s_digits_h, s_less, s_tag, s_tag_dquote, s_tag_quote, s_sign,
    s_quote_sign, s_dot, s_dot_fraction, s_word_prefix, s_word, s_word_colon, s_word_percent, s_url,
    s_email, s_ref, s_equal, s_path_item, s_path_integer, s_path_word_prefix, s_path_word, s_path_sharp,
    s_path_sign, s_path_issue, s_url_caret, s_url_colon_caret,
};
constexpr int scan_state_count = 68;

// --- token states -----------------------------------------------------------------
enum token_state : uint8_t {
    t_end_of_input = 68, t_error, t_block_open, t_block_close, t_paren_open, t_paren_close, t_brace_open,
    t_brace_close, t_map_open, t_path_head, t_construct, t_comment_end, t_comma, t_string, t_word, t_issue,
    t_integer, t_refinement, t_char, t_file, t_binary, t_percent, t_float, t_float_special, t_tuple, t_date,
    t_pair, t_point, t_time, t_money, t_tag, t_url, t_email, t_hex_integer, t_raw_string, t_ref,
};
constexpr int state_count = 104;
constexpr int token_count = 36;
constexpr int first_token = t_end_of_input;
// A prescan event for a token the scanner has not typed yet carries the token
// state as a negative type counted from here: -1 for end of input, -2 for an
// error, and so on in token order.
constexpr int untyped_token_base = first_token - 1;
static_assert(first_token == scan_state_count, "token states follow the scanning states");

// --- the byte table ---------------------------------------------------------------
constexpr std::array<uint32_t, 256> make_class_table() {
    std::array<uint32_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
        uint32_t c = c_word;
        if (b == 0) c = c_end | flag_nul;
        else if (b == 9 || b == 13 || b == ' ') c = c_blank;
        else if (b == 10) c = c_line | flag_line;
        else if (b < 32) c = c_control;
        else if (b >= '1' && b <= '9') c = c_digit;
        else if (b == '0') c = c_zero;
        else if (b >= 127 && b <= 191) c = c_high | flag_high;
        else if (b == 192 || b == 193 || b >= 248) c = c_invalid;
        else if (b >= 194 && b <= 239) c = c_word | flag_lead_2_3;
        else if (b >= 240) c = c_word | flag_lead_4;
        else if ((b >= 'a' && b <= 'd') || b == 'f') c = c_hex_lower;
        else if ((b >= 'A' && b <= 'D') || b == 'F') c = c_hex_upper;
        else {
            switch (b) {
                case '[': c = c_open_bracket; break;
                case ']': c = c_close_bracket; break;
                case '(': c = c_open_paren; break;
                case ')': c = c_close_paren; break;
                case '{': c = c_open_brace; break;
                case '}': c = c_close_brace; break;
                case '"': c = c_dquote; break;
                case '#': c = c_sharp | flag_sharp; break;
                case '\'': c = c_quote | flag_quote; break;
                case ':': c = c_colon | flag_colon; break;
                case 'x': case 'X': c = c_x; break;
                case 'T': c = c_T; break;
                case 'h': c = c_h; break;
                case 'e': c = c_e | flag_exponent; break;
                case 'E': c = c_E | flag_exponent; break;
                case '/': c = c_slash; break;
                case '\\': c = c_backslash; break;
                case '<': c = c_less | flag_less; break;
                case '>': c = c_greater | flag_greater; break;
                case '=': c = c_equal; break;
                case '%': c = c_percent | flag_percent; break;
                case ',': c = c_comma | flag_comma; break;
                case ';': c = c_semicolon; break;
                case '@': c = c_at; break;
                case '.': c = c_dot | flag_dot; break;
                case '$': c = c_dollar; break;
                case '+': c = c_plus | flag_sign; break;
                case '-': c = c_minus | flag_sign; break;
                case '^': c = c_caret | flag_caret; break;
                default: c = c_word; break;  // ! & * ? G-S U-W Y Z _ ` g i-w y z | ~
            }
        }
        t[b] = c;
    }
    return t;
}
inline constexpr std::array<uint32_t, 256> class_table = make_class_table();

// --- transitions --------------------------------------------------------------------
using transition_table = std::array<std::array<uint8_t, class_count>, scan_state_count>;

namespace detail {
struct row_builder {
    transition_table& t;
    int state;
    constexpr row_builder& all(int next) {
        for (auto& x : t[state]) x = static_cast<uint8_t>(next);
        return *this;
    }
    template <class... C>
    constexpr row_builder& on(int next, C... classes) {
        ((t[state][classes] = static_cast<uint8_t>(next)), ...);
        return *this;
    }
};
}  // namespace detail

// The classes that end most tokens; each row names its own set explicitly
// where it differs.
#define KEL_LEX_DELIMS c_blank, c_line, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace, c_close_brace

constexpr transition_table make_transitions() {
    transition_table t{};
    auto row = [&](int s, int fallback) { return detail::row_builder{t, s}.all(fallback); };
    row(s_start, s_word)
        .on(s_start, c_blank, c_line, c_control)
        .on(s_integer, c_digit, c_zero)
        .on(t_block_open, c_open_bracket).on(t_block_close, c_close_bracket)
        .on(t_paren_open, c_open_paren).on(t_paren_close, c_close_paren)
        .on(t_brace_open, c_open_brace)
        .on(t_error, c_close_brace, c_backslash, c_high, c_invalid)
        .on(s_string, c_dquote).on(s_sharp, c_sharp).on(s_word_prefix, c_quote, c_colon)
        .on(s_hex_word, c_E, c_hex_upper).on(s_slash, c_slash).on(s_less, c_less).on(s_equal, c_equal)
        .on(s_file_start, c_percent).on(t_comma, c_comma).on(s_comment, c_semicolon).on(s_ref, c_at)
        .on(s_dot, c_dot).on(s_money_start, c_dollar).on(s_sign, c_plus, c_minus).on(t_end_of_input, c_end);
    row(s_comment, s_comment).on(t_comment_end, c_line, c_end).on(t_error, c_invalid);
    row(s_string, s_string).on(t_error, c_line, c_invalid, c_end).on(t_string, c_dquote).on(s_string_escape, c_caret);
    row(s_string_escape, s_string).on(t_error, c_invalid, c_end);
    row(s_braced, s_braced)
        .on(t_brace_open, c_open_brace).on(t_brace_close, c_close_brace).on(s_braced_escape, c_caret)
        .on(t_error, c_invalid, c_end);
    row(s_braced_escape, s_braced).on(t_error, c_invalid, c_end);
    row(s_file_start, s_file)
        .on(t_word, KEL_LEX_DELIMS, c_semicolon, c_at, c_control, c_end)  // "{" is overridden next
        .on(s_raw_string, c_open_brace).on(s_file_quoted, c_dquote).on(s_word_percent, c_colon)
        .on(s_raw_percent, c_percent).on(t_error, c_invalid);
    row(s_file, s_file)
        .on(t_file, KEL_LEX_DELIMS, c_colon, c_semicolon, c_at, c_end)
        .on(t_error, c_dquote, c_invalid);
    row(s_file_quoted, s_file_quoted).on(t_error, c_line, c_invalid, c_end).on(t_file, c_dquote);
    row(s_raw_percent, s_file)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_backslash, c_semicolon, c_control, c_end)
        .on(s_raw_string, c_open_brace).on(s_raw_percent, c_percent).on(t_error, c_invalid);
    row(s_raw_string, s_raw_string).on(s_raw_close, c_close_brace).on(t_error, c_invalid, c_end);
    row(s_raw_close, s_raw_string)
        .on(s_raw_close, c_close_brace).on(s_raw_close_percent, c_percent).on(t_error, c_invalid, c_end);
    // A "}" and a run of "%" that does not end the token is content: only the
    // scanner knows whether the run was long enough to close the string.
    row(s_raw_close_percent, s_raw_string)
        .on(t_raw_string, c_blank, c_line, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
            c_open_brace, c_dquote, c_less, c_semicolon, c_control, c_end)
        .on(s_raw_close_percent, c_percent).on(s_raw_close, c_close_brace).on(t_error, c_invalid);
    row(s_slash, s_refinement)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_sharp, c_semicolon, c_at, c_control, c_end)
        .on(s_word_colon, c_colon).on(s_slash_word, c_slash).on(t_error, c_comma, c_invalid);
    row(s_refinement, s_refinement)
        .on(t_refinement, KEL_LEX_DELIMS, c_dquote, c_slash, c_semicolon, c_at, c_control, c_end)
        .on(t_error, c_colon, c_comma, c_invalid);
    row(s_slash_word, s_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_sharp, c_semicolon, c_at, c_control, c_end)
        .on(s_slash_word, c_slash).on(t_error, c_percent, c_comma, c_dollar, c_invalid);
    row(s_sharp, s_issue)
        .on(t_error, c_blank, c_line, c_close_bracket, c_close_paren, c_close_brace, c_colon, c_less, c_greater,
            c_comma, c_invalid)
        .on(t_map_open, c_open_bracket).on(s_sharp_paren, c_open_paren).on(s_binary, c_open_brace)
        .on(s_char, c_dquote).on(t_issue, c_semicolon, c_at, c_control, c_end);
    row(s_binary, t_error)
        .on(s_binary, c_blank, c_line, c_digit, c_zero, c_x, c_T, c_h, c_e, c_E, c_hex_lower, c_hex_upper, c_slash,
            c_equal, c_plus, c_word)
        .on(t_binary, c_close_brace).on(s_binary_comment, c_semicolon);
    row(s_binary_comment, s_binary_comment).on(s_binary, c_line).on(t_error, c_invalid, c_end);
    row(s_char, s_char).on(t_char, c_dquote).on(s_char_escape, c_caret).on(t_error, c_invalid, c_end);
    row(s_char_escape, s_char).on(t_error, c_invalid, c_end);
    row(s_sharp_paren, s_sharp_paren).on(t_construct, c_close_paren).on(t_error, c_invalid, c_end);
    row(s_issue, s_issue)
        .on(t_issue, KEL_LEX_DELIMS, c_dquote, c_semicolon, c_at, c_control, c_end)
        .on(t_error, c_colon, c_slash, c_invalid);
    row(s_integer, t_integer)
        .on(s_integer, c_digit, c_zero, c_quote).on(s_sharp, c_sharp).on(s_time_colon, c_colon)
        .on(s_pair_x, c_x).on(s_date, c_T, c_slash, c_minus).on(s_digits_h, c_h).on(s_exponent, c_e)
        .on(s_digits_E, c_E)
        .on(t_error, c_hex_lower, c_backslash, c_greater, c_equal, c_dollar, c_plus, c_caret, c_high, c_word,
            c_invalid)
        .on(s_hex_digits, c_hex_upper).on(t_percent, c_percent).on(s_email, c_at).on(s_decimal_point, c_dot);
    row(s_decimal_point, t_error)
        .on(t_float, KEL_LEX_DELIMS, c_dquote, c_slash, c_less, c_comma, c_semicolon, c_control, c_end)
        .on(s_fraction, c_digit, c_zero, c_quote).on(s_special_float, c_sharp).on(s_pair_x, c_x)
        .on(s_exponent, c_e, c_E).on(t_percent, c_percent);
    row(s_fraction, t_float)
        .on(s_fraction, c_digit, c_zero, c_quote)
        .on(t_error, c_sharp, c_T, c_h, c_hex_lower, c_hex_upper, c_backslash, c_greater, c_equal, c_dollar,
            c_plus, c_minus, c_caret, c_high, c_word, c_invalid)
        .on(s_pair_x, c_x).on(s_exponent, c_e, c_E).on(t_percent, c_percent).on(s_email, c_at)
        .on(s_tuple, c_dot);
    // A percent in exponent form ends here too: percent! molds its large and
    // small values that way ("1e-8%", "1e22%").
    row(s_exponent, t_error)
        .on(t_float, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_less, c_comma, c_semicolon, c_control, c_end)
        .on(s_exponent, c_digit, c_zero, c_plus, c_minus).on(s_email, c_at).on(t_percent, c_percent);
    row(s_digits_E, t_error)
        .on(t_float, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_less, c_comma, c_control, c_end)
        .on(s_digits_E, c_digit, c_zero).on(s_digits_h, c_h).on(s_hex_word, c_E, c_hex_upper)
        .on(t_percent, c_percent).on(s_email, c_at).on(s_tuple, c_dot).on(s_exponent, c_plus, c_minus);
    row(s_special_float, t_float_special)
        .on(t_float, c_digit)
        .on(t_error, c_sharp, c_quote, c_colon, c_percent, c_at, c_dollar, c_caret, c_invalid)
        .on(s_special_float, c_x, c_T, c_h, c_e, c_E, c_hex_lower, c_hex_upper, c_greater, c_equal, c_dot,
            c_plus, c_minus, c_high, c_word);
    row(s_tuple, t_error)
        .on(t_tuple, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_less, c_semicolon, c_control, c_end)
        .on(s_tuple, c_digit, c_zero, c_dot);
    row(s_date, s_date)
        .on(t_date, KEL_LEX_DELIMS, c_dquote, c_less, c_semicolon, c_dollar, c_control, c_end)
        .on(t_error, c_percent, c_comma, c_at, c_caret, c_high, c_invalid);
    row(s_time_colon, t_error).on(s_time, c_digit, c_zero);
    row(s_time, t_error)
        .on(t_time, KEL_LEX_DELIMS, c_dquote, c_slash, c_less, c_semicolon, c_control, c_end)
        .on(s_time, c_digit, c_zero, c_colon, c_dot);
    row(s_pair_x, t_error).on(s_pair, c_digit, c_zero, c_plus, c_minus).on(s_email, c_at);
    row(s_pair, t_error)
        .on(t_pair, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_less, c_semicolon, c_control, c_end)
        .on(s_pair, c_digit, c_zero, c_e, c_E, c_dot).on(s_email, c_at);
    row(s_point, t_error)
        .on(s_point, c_blank, c_digit, c_zero, c_close_bracket, c_sharp, c_e, c_E, c_hex_lower, c_hex_upper,
            c_comma, c_dot, c_plus, c_minus, c_word)
        .on(t_point, c_close_paren);
    row(s_money_start, t_error).on(s_money, c_digit, c_zero);
    row(s_money, t_error)
        .on(t_money, KEL_LEX_DELIMS, c_dquote, c_sharp, c_colon, c_slash, c_less, c_semicolon, c_control, c_end)
        .on(s_money, c_digit, c_zero, c_quote).on(s_money_fraction, c_dot, c_comma);
    row(s_money_fraction, t_error)
        .on(t_money, KEL_LEX_DELIMS, c_dquote, c_sharp, c_colon, c_slash, c_less, c_semicolon, c_control, c_end)
        .on(s_money_fraction, c_digit, c_zero, c_quote);
    row(s_hex_digits, t_error)
        .on(s_hex_digits, c_digit, c_zero, c_E, c_hex_upper).on(s_hex_word_h, c_h).on(s_email, c_at);
    row(s_hex_word, s_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_sharp, c_backslash, c_semicolon, c_control, c_end)
        .on(s_hex_word, c_digit, c_zero, c_E, c_hex_upper).on(s_word_colon, c_colon).on(s_hex_word_h, c_h)
        .on(t_path_head, c_slash).on(t_error, c_percent, c_comma, c_invalid).on(s_email, c_at)
        .on(s_money, c_dollar);
    row(s_hex_word_h, s_word)
        .on(t_hex_integer, KEL_LEX_DELIMS, c_dquote, c_backslash, c_semicolon, c_control, c_end)
        .on(t_error, c_sharp, c_percent, c_comma, c_invalid).on(s_word_colon, c_colon).on(t_path_head, c_slash)
        .on(s_email, c_at).on(s_money, c_dollar);
    row(s_digits_h, t_error)
        .on(t_hex_integer, KEL_LEX_DELIMS, c_dquote, c_backslash, c_less, c_semicolon, c_control, c_end)
        .on(t_path_head, c_slash).on(s_email, c_at).on(s_money, c_dollar);
    row(s_less, s_tag)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_semicolon, c_control, c_end)
        .on(s_tag_quote, c_quote).on(s_word_colon, c_colon).on(s_less, c_less)
        .on(s_word, c_greater, c_equal, c_minus).on(t_error, c_invalid);
    row(s_tag, s_tag)
        .on(s_tag_dquote, c_dquote).on(s_tag_quote, c_quote).on(t_tag, c_greater).on(t_error, c_invalid, c_end);
    row(s_tag_dquote, s_tag_dquote).on(s_tag, c_dquote).on(t_error, c_invalid, c_end);
    row(s_tag_quote, s_tag_quote).on(s_tag, c_quote).on(t_error, c_invalid, c_end);
    row(s_sign, s_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_sharp, c_backslash, c_semicolon, c_control, c_end)
        .on(s_integer, c_digit, c_zero).on(t_error, c_quote, c_percent, c_caret, c_invalid)
        .on(t_path_head, c_slash).on(s_dot, c_dot).on(s_money, c_dollar);
    row(s_quote_sign, s_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_sharp, c_backslash, c_semicolon, c_control, c_end)
        .on(t_error, c_quote, c_percent, c_dollar, c_caret, c_invalid).on(t_path_head, c_slash);
    row(s_dot, s_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_sharp, c_backslash, c_semicolon, c_control, c_end)
        .on(s_dot_fraction, c_digit, c_zero, c_plus, c_minus).on(s_word_colon, c_colon)
        .on(t_path_head, c_slash).on(t_error, c_percent, c_comma, c_dollar, c_invalid).on(s_email, c_at);
    row(s_dot_fraction, t_error)
        .on(t_float, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_less, c_control, c_end)
        .on(s_dot_fraction, c_digit, c_zero, c_e, c_E, c_plus, c_minus).on(s_pair_x, c_x)
        .on(t_percent, c_percent).on(s_email, c_at);
    row(s_word_prefix, t_error)
        .on(s_word, c_x, c_T, c_h, c_e, c_E, c_hex_lower, c_hex_upper, c_greater, c_dot, c_caret, c_high, c_word)
        .on(s_slash, c_slash).on(s_less, c_less).on(s_equal, c_equal).on(s_word_percent, c_percent)
        .on(s_quote_sign, c_plus, c_minus);
    row(s_word, s_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_sharp, c_backslash, c_less, c_semicolon, c_control, c_end)
        .on(s_word_colon, c_colon).on(t_path_head, c_slash).on(t_error, c_percent, c_comma, c_invalid)
        .on(s_email, c_at).on(s_money_start, c_dollar);
    row(s_word_colon, s_url)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_backslash, c_semicolon, c_control, c_end)
        .on(s_url_colon_caret, c_caret).on(t_error, c_less, c_invalid);
    row(s_word_percent, t_error)
        .on(t_word, KEL_LEX_DELIMS, c_backslash, c_semicolon, c_control, c_end).on(s_word_percent, c_percent);
    row(s_url, s_url)
        .on(t_url, KEL_LEX_DELIMS, c_dquote, c_backslash, c_less, c_semicolon, c_control, c_end)
        .on(s_url_caret, c_caret).on(t_error, c_greater, c_invalid);
    // "^(" and "^)" are a paren in a url (a paren alone ends it); a caret
    // that begins the url after its scheme is text otherwise, as it was
    row(s_url_caret, t_error).on(s_url, c_open_paren, c_close_paren);
    row(s_url_colon_caret, s_url)
        .on(s_url, c_open_paren, c_close_paren)
        .on(t_url, c_blank, c_line, c_open_bracket, c_close_bracket, c_open_brace, c_close_brace, c_dquote,
            c_backslash, c_less, c_semicolon, c_control, c_end)
        .on(s_url_caret, c_caret).on(t_error, c_greater, c_invalid);
    row(s_email, s_email)
        .on(t_email, KEL_LEX_DELIMS, c_dquote, c_slash, c_backslash, c_less, c_semicolon, c_control, c_end)
        .on(t_error, c_sharp, c_quote, c_colon, c_greater, c_equal, c_comma, c_at, c_dollar, c_caret, c_invalid);
    row(s_ref, s_ref)
        .on(t_ref, KEL_LEX_DELIMS, c_dquote, c_less, c_semicolon, c_control, c_end)
        .on(t_error, c_sharp, c_quote, c_backslash, c_greater, c_equal, c_comma, c_at, c_dollar, c_caret,
            c_invalid);
    row(s_equal, s_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_colon, c_backslash, c_semicolon, c_control, c_end)
        .on(t_error, c_sharp, c_percent, c_comma, c_at, c_dollar, c_invalid).on(t_path_head, c_slash);
    row(s_path_item, t_error)
        .on(s_path_integer, c_digit, c_zero).on(t_paren_open, c_open_paren).on(t_paren_close, c_close_paren)
        .on(s_string, c_dquote).on(s_path_sharp, c_sharp).on(s_path_word_prefix, c_quote, c_colon)
        .on(s_path_word, c_x, c_T, c_h, c_e, c_E, c_hex_lower, c_hex_upper, c_greater, c_equal, c_dot, c_high,
            c_word)
        .on(s_less, c_less).on(s_ref, c_at).on(s_money_start, c_dollar).on(s_path_sign, c_plus, c_minus);
    row(s_path_integer, t_error)
        .on(t_integer, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_less, c_semicolon, c_control, c_end)
        .on(s_path_integer, c_digit, c_zero, c_quote).on(s_pair_x, c_x).on(s_exponent, c_e, c_E)
        .on(t_percent, c_percent).on(s_email, c_at).on(s_decimal_point, c_dot);
    row(s_path_word_prefix, t_error)
        .on(s_path_word, c_x, c_T, c_h, c_e, c_E, c_hex_lower, c_hex_upper, c_less, c_greater, c_equal, c_dot,
            c_plus, c_minus, c_high, c_word);
    row(s_path_word, s_path_word)
        .on(t_word, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_backslash, c_semicolon, c_control, c_end)
        .on(t_error, c_sharp, c_percent, c_comma, c_invalid).on(s_email, c_at).on(s_money_start, c_dollar);
    // A binary ends at its "}", so one inside a path (as mold writes it) is
    // read like any other element.
    row(s_path_sharp, s_path_issue)
        .on(t_error, c_blank, c_line, c_close_bracket, c_open_paren, c_close_paren, c_close_brace, c_colon,
            c_slash, c_less, c_greater, c_equal, c_comma, c_semicolon, c_at, c_control, c_invalid, c_end)
        .on(s_sharp_paren, c_open_bracket).on(s_char, c_dquote).on(s_binary, c_open_brace);
    row(s_path_sign, t_word)
        .on(s_path_integer, c_digit, c_zero)
        .on(t_error, c_sharp, c_quote, c_less, c_percent, c_comma, c_caret, c_invalid)
        .on(s_path_word, c_x, c_T, c_h, c_e, c_E, c_hex_lower, c_hex_upper, c_greater, c_equal, c_dot, c_high,
            c_word)
        .on(s_email, c_at).on(s_money_start, c_dollar).on(s_path_sign, c_plus, c_minus);
    // An issue inside a path ends at the "/" or ":" that goes on with or
    // ends the path, as a word there does: mold writes such paths.
    row(s_path_issue, s_path_issue)
        .on(t_issue, KEL_LEX_DELIMS, c_dquote, c_colon, c_slash, c_semicolon, c_at, c_control, c_end)
        .on(t_error, c_invalid);
    return t;
}
#undef KEL_LEX_DELIMS

inline constexpr transition_table transitions = make_transitions();

// 1 for the start state only: blanks consumed there are not part of a token.
constexpr std::array<uint8_t, state_count> make_skip() {
    std::array<uint8_t, state_count> t{};
    t[s_start] = 1;
    return t;
}
inline constexpr std::array<uint8_t, state_count> skip_table = make_skip();

// 1 for the line class.
constexpr std::array<uint8_t, class_count> make_line_table() {
    std::array<uint8_t, class_count> t{};
    t[c_line] = 1;
    return t;
}
inline constexpr std::array<uint8_t, class_count> line_table = make_line_table();

// The datatype a state stands for: for a token state the type of its token
// (0 for structure), for a scanning state the type an error met there is
// reported for (0: an invalid character).
constexpr std::array<uint8_t, state_count> make_type_table() {
    namespace ty = types;
    std::array<uint8_t, state_count> t{};
    const uint8_t scanning[scan_state_count] = {
        0, 0, ty::string, ty::string, ty::string, ty::string, ty::file, ty::file,                       // 0-7
        ty::file, ty::string, ty::string, ty::string, ty::string, ty::word, ty::refinement,                 // 8-14
        ty::word, ty::issue, ty::binary, ty::binary, ty::char_, ty::char_, ty::datatype, ty::issue,             // 15-22
        ty::integer, ty::float_, ty::float_, ty::float_, ty::float_, ty::float_, ty::tuple, ty::date,           // 23-30
        ty::time, ty::time, ty::pair, ty::pair, ty::point2d, ty::money, ty::money, ty::money,                   // 31-38
        ty::integer, ty::word, ty::word, ty::integer, ty::word, ty::tag, ty::tag, ty::tag,                      // 39-46
        ty::word, ty::lit_word, ty::word, ty::float_, ty::word, ty::word, ty::url, ty::word,                    // 47-54
        ty::url, ty::email, ty::ref, ty::word, ty::path, ty::integer, ty::word, ty::word,                       // 55-62
        ty::issue, ty::word, ty::issue, ty::url, ty::url,                               // 63-67
    };
    for (int i = 0; i < scan_state_count; ++i) t[i] = scanning[i];
    t[t_error] = ty::error;
    t[t_brace_close] = ty::string;
    t[t_string] = ty::string;
    t[t_word] = ty::word;
    t[t_issue] = ty::issue;
    t[t_integer] = ty::integer;
    t[t_refinement] = ty::refinement;
    t[t_char] = ty::char_;
    t[t_file] = ty::file;
    t[t_binary] = ty::binary;
    t[t_percent] = ty::percent;
    t[t_float] = ty::float_;
    t[t_float_special] = ty::float_;
    t[t_tuple] = ty::tuple;
    t[t_date] = ty::date;
    t[t_pair] = ty::pair;
    t[t_point] = ty::point2d;
    t[t_time] = ty::time;
    t[t_money] = ty::money;
    t[t_tag] = ty::tag;
    t[t_url] = ty::url;
    t[t_email] = ty::email;
    t[t_hex_integer] = ty::integer;
    t[t_raw_string] = ty::string;
    t[t_ref] = ty::ref;
    return t;
}
inline constexpr std::array<uint8_t, state_count> type_table = make_type_table();

// Bytes past the token end that belong to the token: the closing character of
// strings, chars, tags, binaries, percents, points, constructions, and the
// one byte of structural tokens (a quoted file is decided by its scanner).
constexpr std::array<uint8_t, state_count> make_advance_table() {
    std::array<uint8_t, state_count> t{};
    for (int s : {t_block_open, t_block_close, t_paren_open, t_paren_close, t_brace_open, t_brace_close,
                  t_map_open, t_path_head, t_construct, t_comma, t_string, t_char, t_binary, t_percent, t_point,
                  t_tag})
        t[s] = 1;
    return t;
}
inline constexpr std::array<uint8_t, state_count> advance_table = make_advance_table();

// The 22 code points that act as blanks between tokens and end a word.
constexpr bool unicode_space_q(uint32_t cp) {
    switch (cp) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        case 0x180E: case 0x200B: case 0x200C:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

// Hexadecimal digit values (255 for any other byte).
constexpr std::array<uint8_t, 256> make_hex_table() {
    std::array<uint8_t, 256> t{};
    for (auto& x : t) x = 255;
    for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 6; ++i) {
        t['A' + i] = static_cast<uint8_t>(10 + i);
        t['a' + i] = static_cast<uint8_t>(10 + i);
    }
    return t;
}
inline constexpr std::array<uint8_t, 256> hex_table = make_hex_table();

}  // namespace kel::lexer
