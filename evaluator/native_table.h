// native_table: the 107 natives of the language in their fixed numbers, with
// their spec texts, filled into the native table once at start-up; the
// argument check every native runs when its caller did not check; and the
// count helpers the loop natives share.
//
// The numbers are part of the contract (native! values, the boot's literal
// pool and the Kelbin format name natives by them), and so are the argument
// names of the specs, which error messages show. A native whose module is
// not written yet has an entry that raises internal `not-done`; `built_q`
// tells which is which, and the row list in native_table.cpp names the owner
// of each one still missing.
//
// The count of filled slots (`filled_count`) starts at 1 and is 108 once the
// 107 natives are in; a native number below it names a native that exists.
#pragma once
#include <cstdint>

#include "evaluator/natives.h"
#include "kernel/stack.h"
#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::natives {

// Native numbers.
namespace number {
enum : int32_t {
    if_ = 1, unless, either, any, all, while_, until, loop, repeat, forever, foreach, forall, remove_each, func,
    function, does, has, switch_, case_, do_, get, set, print, prin, equal_q, not_equal_q, strict_equal_q,
    lesser_q, greater_q, lesser_or_equal_q, greater_or_equal_q, same_q, not_, type_q, reduce, compose, stats,
    bind, in, parse, union_, intersect, unique, difference, exclude, complement_q, dehex, enhex, negative_q,
    positive_q, max, min, shift, to_hex, sine, cosine, tangent, arcsine, arccosine, arctangent, arctangent2,
    nan_q, log_2, log_10, log_e, exp, square_root, construct, value_q, try_, uppercase, lowercase, as_pair,
    as_point2d, as_point3d, as_money, break_, continue_, exit, return_, throw_, catch_, extend, debase,
    to_local_file, wait, checksum, unset, new_line, new_line_q, enbase, context_q, set_env, get_env, list_env,
    now, sign_q, as, call, zero_q, size_q, browse, compress, decompress, recycle, transcode, apply,
};
constexpr int32_t count = 107;
}  // namespace number

// Start-up step (after build_table): fills slots 1 to 107 through
// copy_entries and makes the print buffer.
void fill_table();
// Appends `count` entries at the next free numbers, raising the filled count.
void copy_entries(int32_t count, const entry* list);
// The next free 1-based native number.
int32_t filled_count();
// True when native `n` has its own entry (not the shared not-done entry).
bool built_q(int32_t n);
// The name and spec text of native `n` as the table lists them (null
// outside 1..107), whether or not it is built.
const char* listed_name(int32_t n);
const char* listed_spec(int32_t n);

// The 32-cell block into which print and prin reduce a block argument.
const kel_value* print_buffer();

// The check of a native called with the check flag set: each fixed argument
// against the typeset of its spec entry, and each argument of a refinement in
// use; a mismatch raises script `expect-arg` (the innermost call's name, the
// value's datatype, the argument's word).
void check_arguments(int32_t n, const refinements& refs);

// Loop counts: a float! becomes an integer! truncated toward zero, in place;
// a float outside the int32 range (int32_range_q), or NaN, becomes
// -2147483648, so the loop does not run. An
// integer! stays. truncate_count works on the arguments base cell.
void integer_count(kel_value* cell);
inline void truncate_count() { integer_count(stack::arguments()); }

}  // namespace kel::natives
