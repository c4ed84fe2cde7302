// string: the string! datatype (id 7, parent series!) and its action
// handlers, over the storage and workers of string_api.h. file!, url!, tag!,
// email!, ref!, binary! and vector! take these handlers wherever their own
// rows inherit; the position actions (at, back, clear, copy, head, ... take's
// core) are series!'s.
//
// Each handler has an explicit-argument form here (a refinement absent is a
// null pointer or false), which the stack entries of the row wrap. Changing
// handlers check every refinement and argument before they touch the series,
// and tell the buffer's owner before and after a change (append/appended,
// insert/inserted, change/changed, sort/sorted, swap/swaped, trim/trimmed).
#pragma once
#include <cstdint>

#include "datatypes/string_api.h"
#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::string {

// --- make, to, form, mold, compare, path ------------------------------------
// The requested type is a string type id (or binary!).
void make(kel_value* result, const kel_value* spec, uint32_t type);
void to(kel_value* result, const kel_value* spec, uint32_t type);
int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg, int32_t part);
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
// The mold in double quotes whatever the text holds (escapes for quotes and
// line feeds): where braces would not load back, as an element of a path.
int32_t mold_quoted(const kel_value* value, kel_value* buffer, bool all, const kel_value* arg, int32_t part);
int32_t compare(const kel_value* value, const kel_value* other, int32_t op);
signal_code eval_path(const path_step_args& step);

// Mold helpers: the double quotes and line feeds of the units [start, end);
// whether the "{" at unit `index` is closed by a "}" before `end` (nesting
// counted from it).
void count_quotes_lines(const kel_value* s, int64_t start, int64_t end, int64_t* quotes, int64_t* lines);
bool brace_closed_q(const kel_value* s, int64_t index, int64_t end);

// The mold escape of one code point (quote form), appended to the buffer.
void mold_char(kel_value* buffer, uint32_t cp, bool all);
// The same escape as text: its length (at most 10 code points) in out.
int escape_char(uint32_t cp, bool all, uint32_t* out);

// --- find and select ---------------------------------------------------------
using find_options = kel::find_options;
// Where a search found its value: the unit index of the match's start and
// its length in units; index -1 when nothing matched.
struct found {
    int64_t index;
    int64_t length;
};
found search(const kel_value* series, const kel_value* value, const find_options& o);
// The series at the found place (past it with tail), or none!.
void find(const kel_value* series, const kel_value* value, const find_options& o, kel_value* result);
// The element after the match (char!, integer! for binary!, the element for
// vector!), or none!.
void select(const kel_value* series, const kel_value* value, const find_options& o, kel_value* result);

// --- sort --------------------------------------------------------------------
void sort(kel_value* series, bool case_, const kel_value* skip, const kel_value* compare_arg,
          const kel_value* part, bool all, bool reverse, bool stable);
// Record comparators (flags: bit 0 reverse, bit 1 whole records, flags >> 2
// the record length in units for whole records, else the offset of the
// compared unit). Folding, when not case-sensitive, goes through the case
// tables at every unit width.
int32_t sort_compare_1(const char* a, const char* b, bool case_sensitive, uint32_t flags);
int32_t sort_compare_2(const char* a, const char* b, bool case_sensitive, uint32_t flags);
int32_t sort_compare_4(const char* a, const char* b, bool case_sensitive, uint32_t flags);
int32_t sort_compare_f32(const char* a, const char* b, bool case_sensitive, uint32_t flags);
int32_t sort_compare_f64(const char* a, const char* b, bool case_sensitive, uint32_t flags);

// --- append, insert, change --------------------------------------------------
// part: -1 for none; dup: the repeat count (1 without /dup); notify: tell
// the owner (append/appended).
void append(kel_value* series, const kel_value* value, int32_t part, bool only, int32_t dup, bool notify);
void insert(kel_value* series, const kel_value* value, int32_t part, bool only, int32_t dup);
// part: the count of units replaced, negative when absent.
void change(kel_value* series, const kel_value* value, int32_t part, bool only, int32_t dup);

// --- swap, take, trim, set operations ---------------------------------------
void swap(kel_value* series1, const kel_value* series2);
void take(kel_value* series, const kel_value* part, bool deep, bool last, kel_value* result);
void trim(kel_value* series, bool head, bool tail, bool auto_, bool lines, bool all, const kel_value* with);
// Whitespace for trimming (1-0x20, 0x85, 0xA0, 0x1680, 0x180E,
// 0x2000-0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000), and the blanks
// within a line (space, tab and that list above 0x20).
bool whitespace_q(uint32_t cp);
bool blank_q(uint32_t cp);
// The workers of trim, on the text from the head. strip_chars removes every
// code point of the set (a char! or integer!, or the code points of a string
// or binary!; without one tab, line feed, return and space); an empty set
// removes nothing. collapse_whitespace makes every run of whitespace one
// space and leaves none at either end. trim_whitespace removes leading
// whitespace (head), trailing whitespace (tail), or with neither both and the
// blanks around each line break inside, ending the text with one line feed
// when the trailing whitespace held one.
void strip_chars(kel_value* series, const kel_value* with);
void collapse_whitespace(kel_value* series);
void trim_whitespace(kel_value* series, bool head, bool tail);
// The set natives on the two series at the arguments base (op 8 unique, 9
// union, 10 intersect, 11 exclude, 12 difference); the result replaces the
// first argument cell, which is returned.
kel_value* set_operation(bool case_, const kel_value* skip, int32_t op);

// Shared with binary!'s append, insert and change: the /dup count at
// refinement slot `i` (1 without it), and a negative /part count on an
// inserted series, which takes the units before its head: the head moves
// back (never before 0) and *n becomes the units from there to the old head.
int32_t dup_count(const refinements& r, int i);
void part_before_head(kel_value* value, int64_t* n);

registry::registration row();

}  // namespace kel::string
