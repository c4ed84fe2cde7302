// native_table: the list of the 107 natives and the start-up step that fills
// the native table from it.
#include "evaluator/native_table.h"

#include <cmath>

#include "datatypes/block.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_api_words.h"
#include "evaluator/natives_clock.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_errors.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_os.h"
#include "evaluator/natives_sets.h"
#include "evaluator/natives_system.h"
#include "evaluator/natives_words.h"
#include "evaluator/parse.h"
#include "kernel/native_api.h"

namespace kel::natives {

namespace {

// Who builds a native still missing (the `area` column): the control and
// signal natives are built here, the word, value and comparison natives in
// natives_words; the others belong to
//   words   print and prin
//   sets    set operation and text coding natives
//   math    math natives
//   system  system and service natives
//   parse   the parse engine
struct row {
    const char* name;
    const char* spec;
    native_fn fn;  // null: not built yet (its entry raises internal `not-done`)
    const char* area;
    int32_t compare = -1;  // the comparison code of an operator's integer fast path
};

// In native order: row i is native i + 1.
const row rows[number::count] = {
    {"if", "cond [any-type!] then-blk [block!]", if_star, "control"},
    {"unless", "cond [any-type!] then-blk [block!]", unless_star, "control"},
    {"either", "cond [any-type!] true-blk [block!] false-blk [block!]", either_star, "control"},
    {"any", "conds [block!]", any_star, "control"},
    {"all", "conds [block!]", all_star, "control"},
    {"while", "cond [block!] body [block!]", while_star, "control"},
    {"until", "body [block!]", until_star, "control"},
    {"loop", "count [integer! float!] body [block!]", loop_star, "control"},
    {"repeat", "'word [word!] value [integer! float!] body [block!]", repeat_star, "control"},
    {"forever", "body [block!]", forever_star, "control"},
    {"foreach", "'word [word! block!] series [series! map!] body [block!]", foreach_star, "control"},
    {"forall", "'word [word!] body [block!]", forall_star, "control"},
    {"remove-each", "'word [word! block!] data [series!] body [block!]", remove_each_star, "control"},
    {"func", "spec [block!] body [block!]", func_star, "control"},
    {"function", "spec [block!] body [block!] /extern", function_star, "control"},
    {"does", "body [block!]", does_star, "control"},
    {"has", "vars [block!] body [block!]", has_star, "control"},
    {"switch", "value [any-type!] cases [block!] /default case [block!]", switch_star, "control"},
    {"case", "cases [block!] /all", case_star, "control"},
    {"do", "value [any-type!] /expand /args arg /next position [word!] /trace callback [function!]", do_star,
     "control"},
    {"get", "word [any-word! any-path! object!] /any /case return: [any-type!]", get_star, "words"},
    {"set", "word [any-word! block! object! any-path!] value [any-type!] /any /case /only /some return: [any-type!]",
     set_star, "words"},
    {"print", "value [any-type!]", print_star, "words"},
    {"prin", "value [any-type!]", prin_star, "words"},
    {"equal?", "value1 [any-type!] value2 [any-type!]", equal_q_star, "words", cmp::equal},
    {"not-equal?", "value1 [any-type!] value2 [any-type!]", not_equal_q_star, "words", cmp::not_equal},
    {"strict-equal?", "value1 [any-type!] value2 [any-type!]", strict_equal_q_star, "words", cmp::strict_equal},
    {"lesser?", "value1 [any-type!] value2 [any-type!]", lesser_q_star, "words", cmp::lesser},
    {"greater?", "value1 [any-type!] value2 [any-type!]", greater_q_star, "words", cmp::greater},
    {"lesser-or-equal?", "value1 [any-type!] value2 [any-type!]", lesser_or_equal_q_star, "words",
     cmp::lesser_or_equal},
    {"greater-or-equal?", "value1 [any-type!] value2 [any-type!]", greater_or_equal_q_star, "words",
     cmp::greater_or_equal},
    {"same?", "value1 [any-type!] value2 [any-type!]", same_q_star, "words"},
    {"not", "value [any-type!]", not_star, "words"},
    {"type?", "value [any-type!] /word", type_q_star, "words"},
    {"reduce", "value [any-type!] /into out [any-block!]", reduce_star, "control"},
    {"compose", "value [block!] /deep /only /into out [any-block!]", compose_star, "control"},
    {"stats", "/show /info return: [integer! block!]", stats_star, "system"},
    {"bind", "word [block! any-word!] context [any-word! any-object! function!] /copy return: [block! any-word!]",
     bind_star, "words"},
    {"in", "object [any-object! any-function!] word [any-word! refinement!]", in_star, "words"},
    {"parse",
     "input [binary! any-block! any-string!] rules [block!] /case /part length [number! series!] "
     "/trace callback [function!] return: [logic! block!]",
     parse_star, "parse"},
    {"union",
     "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] /case "
     "/skip size [integer!] return: [block! hash! string! bitset! typeset!]",
     union_star, "sets"},
    {"intersect",
     "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] /case "
     "/skip size [integer!] return: [block! hash! string! bitset! typeset!]",
     intersect_star, "sets"},
    {"unique", "set [block! hash! string!] /case /skip size [integer!] return: [block! hash! string!]", unique_star,
     "sets"},
    {"difference",
     "set1 [block! hash! string! bitset! typeset! date!] set2 [block! hash! string! bitset! typeset! date!] "
     "/case /skip size [integer!] return: [block! hash! string! bitset! typeset! time!]",
     difference_star, "sets"},
    {"exclude",
     "set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] /case "
     "/skip size [integer!] return: [block! hash! string! bitset! typeset!]",
     exclude_star, "sets"},
    {"complement?", "bits [bitset!]", complement_q_star, "sets"},
    {"dehex", "value [any-string!] return: [string!]", dehex_star, "sets"},
    {"enhex", "value [any-string!] return: [string!]", enhex_star, "sets"},
    {"negative?", "number [number! money! time!] return: [logic!]", negative_q_star, "math"},
    {"positive?", "number [number! money! time!] return: [logic!]", positive_q_star, "math"},
    {"max", "value1 [scalar! series!] value2 [scalar! series!]", max_star, "math"},
    {"min", "value1 [scalar! series!] value2 [scalar! series!]", min_star, "math"},
    {"shift", "data [integer!] bits [integer!] /left /logical return: [integer!]", shift_star, "math"},
    {"to-hex", "value [integer!] /size length [integer!] return: [issue!]", to_hex_star, "math"},
    {"sine", "angle [float! integer!] /radians return: [float!]", sine_star, "math"},
    {"cosine", "angle [float! integer!] /radians return: [float!]", cosine_star, "math"},
    {"tangent", "angle [float! integer!] /radians return: [float!]", tangent_star, "math"},
    {"arcsine", "sine [float! integer!] /radians return: [float!]", arcsine_star, "math"},
    {"arccosine", "cosine [float! integer!] /radians return: [float!]", arccosine_star, "math"},
    {"arctangent", "tangent [float! integer!] /radians return: [float!]", arctangent_star, "math"},
    {"arctangent2", "y [float! integer!] x [float! integer!] /radians return: [float!]", arctangent2_star, "math"},
    {"NaN?", "value [number!] return: [logic!]", nan_q_star, "math"},
    {"log-2", "value [float! integer! percent!] return: [float!]", log_2_star, "math"},
    {"log-10", "value [float! integer! percent!] return: [float!]", log_10_star, "math"},
    {"log-e", "value [float! integer! percent!] return: [float!]", log_e_star, "math"},
    {"exp", "value [float! integer! percent!] return: [float!]", exp_star, "math"},
    {"square-root", "value [float! integer! percent!] return: [float!]", square_root_star, "math"},
    {"construct", "block [block!] /with object [object!] /only", construct_star, "words"},
    {"value?", "value [word!] return: [logic!]", value_q_star, "words"},
    {"try", "block [block!] /all /keep", try_star, "control"},
    {"uppercase", "string [any-string! char!] /part limit [number! any-string!] return: [any-string! char!]", uppercase_star,
     "sets"},
    {"lowercase", "string [any-string! char!] /part limit [number! any-string!] return: [any-string! char!]", lowercase_star,
     "sets"},
    {"as-pair", "x [integer! float!] y [integer! float!]", as_pair_star, "math"},
    {"as-point2D", "x [integer! float!] y [integer! float!]", as_point2d_star, "math"},
    {"as-point3D", "x [integer! float!] y [integer! float!] z [integer! float!]", as_point3d_star, "math"},
    {"as-money", "currency [word!] amount [integer! float!] return: [money!]", as_money_star, "math"},
    {"break", "/return value [any-type!]", break_star, "control"},
    {"continue", "", continue_star, "control"},
    {"exit", "", exit_star, "control"},
    {"return", "value [any-type!]", return_star, "control"},
    {"throw", "value [any-type!] /name word [word!]", throw_star, "control"},
    {"catch", "block [block!] /name word [word! block!]", catch_star, "control"},
    {"extend", "obj [object! map!] spec [block! hash! map!] /case", extend_star, "words"},
    {"debase", "value [string!] /base base-value [integer!]", debase_star, "sets"},
    {"to-local-file", "path [file! string!] /full return: [string!]", to_local_file_star, "system"},
    {"wait", "value [number! time! block! none!] /all", wait_star, "system"},
    {"checksum",
     "data [binary! string! file!] method [word!] /with spec [any-string! binary! integer!] "
     "return: [integer! binary!]",
     checksum_star, "system"},
    {"unset", "word [word! block!]", unset_star, "words"},
    {"new-line", "position [any-list!] value [logic!] /all /skip size [integer!] return: [any-list!]", new_line_star,
     "words"},
    {"new-line?", "position [any-list!] return: [logic!]", new_line_q_star, "words"},
    {"enbase", "value [binary! string!] /base base-value [integer!]", enbase_star, "sets"},
    {"context?", "word [any-word!] return: [object! function! none!]", context_q_star, "words"},
    {"set-env", "var [any-string! any-word!] value [string! none!]", set_env_star, "system"},
    {"get-env", "var [any-string! any-word!] return: [string! none!]", get_env_star, "system"},
    {"list-env", "return: [map!]", list_env_star, "system"},
    {"now",
     "/year /month /day /time /zone /date /weekday /yearday /precise /utc return: [date! time! integer!]",
     now_star, "system"},
    {"sign?", "number [number! money! time!] return: [integer!]", sign_q_star, "math"},
    {"as", "type [datatype! block! paren! any-path! any-string!] spec [block! paren! any-path! any-string!]",
     as_star, "system"},
    {"call",
     "cmd [string! file!] /wait /show /console /shell /input in [string! file! binary!] "
     "/output out [string! file! binary!] /error err [string! file! binary!] return: [integer!]",
     call_star, "system"},
    {"zero?", "value [number! money! pair! time! char! tuple! any-point!] return: [logic!]", zero_q_star, "math"},
    {"size?", "file [file!] return: [integer! none!]", size_q_star, "system"},
    {"browse", "url [url! file!]", browse_star, "system"},
    {"compress", "data [any-string! binary!] method [word!] return: [binary!]", compress_star, "system"},
    {"decompress", "data [binary!] method [word!] /size sz [integer!] return: [binary!]", decompress_star, "system"},
    {"recycle", "/on /off return: [integer! unset!]", recycle_star, "system"},
    {"transcode",
     "src [binary! string!] /next /one /prescan /scan /part length [integer! binary! string!] /into dst [block!] "
     "/trace callback [function! routine!] return: [block!]",
     transcode_star, "system"},
    {"apply", "func [word! path! any-function!] args [block!] /all /safer", apply_star, "system"},
};

int32_t filled = 1;
kel_value print_block{types::unset, 0, 0, 0};
// One native! value per number, made for the argument checks at their first
// use and kept in the root block (these are copies).
kel_value checked_values[table_size + 1];

signal_code not_done(bool, const refinements&) { fire(error_category::internal, "not-done"); }

// The native! value whose argument cache describes native n's spec.
kel_value checked_value(int32_t n) {
    kel_value& v = checked_values[n];
    if (type_of(&v) != types::native) {
        kel_value* held = stack::push_unset();
        make_native(n, held);
        v = *block::ks_add(block::root(), held);
        stack::drop_cells(1);
    }
    return v;
}

}  // namespace

void copy_entries(int32_t count, const entry* list) {
    for (int32_t i = 0; i < count; ++i) {
        if (filled > table_size) fire(error_category::internal, "not-done");
        (void)define(filled, list[i]);
        set_unset(&checked_values[filled]);
        ++filled;
    }
}

void fill_table() {
    if (filled > number::count) return;  // filled once per process
    entry list[number::count];
    for (int32_t i = 0; i < number::count; ++i) {
        const row& r = rows[i];
        entry e;
        e.name = r.name;
        e.spec = r.spec;
        e.fn = r.fn ? r.fn : not_done;
        // An operator's integer fast path stands for the native only once the
        // native itself exists.
        if (r.fn && r.compare >= 0) {
            e.fast = fast_path::compare;
            e.fast_code = r.compare;
        }
        list[i] = e;
    }
    copy_entries(number::count, list);
    kel_value* b = block::make_at_tail(nullptr, 32);
    print_block = *b;
}

int32_t filled_count() { return filled; }

bool built_q(int32_t n) { return n >= 1 && n <= number::count && rows[n - 1].fn != nullptr; }

const char* listed_name(int32_t n) { return n >= 1 && n <= number::count ? rows[n - 1].name : nullptr; }
const char* listed_spec(int32_t n) { return n >= 1 && n <= number::count ? rows[n - 1].spec : nullptr; }

const kel_value* print_buffer() { return &print_block; }

void check_arguments(int32_t n, const refinements& refs) {
    const kel_value fn = checked_value(n);
    const kel_value cache = interpreter::cache_of(&fn);
    const int32_t length = block::ks_length_q(&cache);
    kel_value* base = stack::arguments();
    int32_t argument = 0;     // arguments counted over the whole spec (names the word)
    int32_t fixed = 0;        // cells of the fixed arguments
    int32_t slot = -1;        // the refinement being walked (-1: the fixed arguments)
    int32_t in_refinement = 0;  // arguments of that refinement so far
    for (int32_t i = 0; i < length; ++i) {
        const kel_value e = *block::ks_abs_at(&cache, series_head(&cache) + i);
        const uint32_t t = type_of(&e);
        if (t == types::refinement) {
            slot = static_cast<int32_t>(e.w3) - 1;
            in_refinement = 0;
            continue;
        }
        if (t != types::typeset || (e.header & interpreter::class_mask) == interpreter::class_return) continue;
        ++argument;
        if (slot < 0) {
            (void)typecheck::check_arg(&e, argument, base + fixed);
            ++fixed;
        } else if (refs.at[slot] >= 0) {
            (void)typecheck::check_arg(&e, argument, base + refs.at[slot] + in_refinement);
            ++in_refinement;
        }
    }
}

void integer_count(kel_value* cell) {
    if (type_of(cell) != types::float_) return;
    const double f = get_float(cell);
    const int32_t n = int32_range_q(f) ? truncate_int32(f) : INT32_MIN;
    set_integer(cell, n);
}

}  // namespace kel::natives
