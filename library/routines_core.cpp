// routines_core: see routines_core.h.
#include "library/routines_core.h"

#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/routine.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_sets.h"
#include "evaluator/routines.h"
#include "kernel/collector.h"
#include "kernel/native_api.h"
#include "kernel/print.h"
#include "kernel/registry.h"
#include "kernel/signals.h"
#include "kernel/stack.h"
#include "kernel/unicode.h"
#include "library/boot.h"
#include "library/kelbin_routines.h"
#include "library/csv_rows.h"
#include "library/routines_join.h"
#include "library/json_decode.h"
#include "library/json_encode.h"
#include "library/json_unescape.h"
#include "library/react_check.h"
#include "library/react_index.h"
#include "library/routines_text.h"
#include "platform/platform.h"
#include "services/simple_io.h"

namespace kel::library_routines {

clipboard_service clipboard;

namespace {

using routines::machine_value;
using routines::nothing;

machine_value integer_answer(int32_t i) {
    machine_value v;
    v.i = i;
    return v;
}
machine_value logic_answer(bool b) { return integer_answer(b ? 1 : 0); }
using routines::answer_cell;

// The routines whose specs name no return type (their reflection shows the
// spec as written) box their answer themselves, through the result slot.
machine_value integer_cell_answer(int32_t i) {
    kel_value v;
    set_integer(&v, i);
    return answer_cell(&v);
}
machine_value logic_cell_answer(bool b) {
    kel_value v;
    set_logic(&v, b);
    return answer_cell(&v);
}

// --- the bound routines ---------------------------------------------------------------

machine_value quit_return(const machine_value* a, int32_t) {
    std_output::flush();
    _exit(a[0].i & 0xFF);
}

bool any_word_q(uint32_t t) {
    return t == types::word || t == types::set_word || t == types::lit_word || t == types::get_word;
}

machine_value set_quiet(const machine_value* a, int32_t) {
    kel_value word = *a[0].cell;
    if (!any_word_q(type_of(&word))) {
        kel_value name, datatype, arg;
        const error_arg who = stack::innermost_name_arg(&name);
        set_datatype(&datatype, type_of(&word));
        init_cell(&arg, types::word);
        arg.w2 = symbol::intern("word");
        fire(error_category::script, "expect-arg", who, &datatype, &arg);
    }
    const kel_value value = *a[1].cell;
    (void)_context::set_in(&word, &value, word_context(&word), false);
    return answer_cell(&value);
}

machine_value set_slot_quiet(const machine_value* a, int32_t) {
    const kel_value series = *a[0].cell;
    const uint32_t t = type_of(&series);
    if (!in_family(t, family::list | family::path) || t == types::hash) {
        kel_value name, datatype, arg;
        const error_arg who = stack::innermost_name_arg(&name);
        set_datatype(&datatype, t);
        init_cell(&arg, types::word);
        arg.w2 = symbol::intern("series");
        fire(error_category::script, "expect-arg", who, &datatype, &arg);
    }
    if (block::ks_length_q(&series) > 0) *block::ks_abs_at(&series, series_head(&series)) = *a[1].cell;
    return nothing();
}

machine_value shift_right(const machine_value* a, int32_t) {
    return integer_cell_answer(natives::shift_bits(a[0].i, a[1].i, natives::shift_way::right));
}
machine_value shift_left(const machine_value* a, int32_t) {
    return integer_cell_answer(natives::shift_bits(a[0].i, a[1].i, natives::shift_way::left));
}
machine_value shift_logical(const machine_value* a, int32_t) {
    return integer_cell_answer(natives::shift_bits(a[0].i, a[1].i, natives::shift_way::logical));
}

machine_value last_lf_q(const machine_value*, int32_t) { return logic_cell_answer(natives::last_line_end); }

machine_value get_current_dir(const machine_value*, int32_t) {
    kel_value* dir = file::get_current_dir();
    const kel_value made = *dir;
    stack::drop_cells(1);
    return answer_cell(&made);
}

machine_value set_current_dir(const machine_value* a, int32_t) {
    const kel_value path = *a[0].cell;
    if (!platform::set_current_dir(file::to_os_path(&path))) fire(error_category::access, "cannot-open", &path);
    return nothing();
}

machine_value create_dir(const machine_value* a, int32_t) {
    const kel_value path = *a[0].cell;
    if (!simple_io::make_dir(file::to_os_path(&path))) fire(error_category::access, "no-create", &path);
    return nothing();
}

machine_value exists_q(const machine_value* a, int32_t) {
    const kel_value path = *a[0].cell;
    return logic_answer(simple_io::file_exists_q(file::to_os_path(&path)));
}

// The components are tested in order; the first negative one is refused.
void refuse_negative(const machine_value* a, int32_t count) {
    for (int32_t i = 0; i < count; ++i)
        if (a[i].i < 0) {
            kel_value bad;
            set_integer(&bad, a[i].i);
            fire(error_category::script, "invalid-arg", &bad);
        }
}

machine_value as_color(const machine_value* a, int32_t) {
    refuse_negative(a, 3);
    const uint8_t bytes[3] = {static_cast<uint8_t>(a[0].i), static_cast<uint8_t>(a[1].i),
                              static_cast<uint8_t>(a[2].i)};
    kel_value t;
    tuple::init_cell(&t, bytes, 3);
    return answer_cell(&t);
}

// One 32-bit value: a component above 255 spills into the next bytes.
machine_value as_ipv4(const machine_value* a, int32_t) {
    refuse_negative(a, 4);
    const uint32_t packed = static_cast<uint32_t>(a[0].i) | (static_cast<uint32_t>(a[1].i) << 8) |
                            (static_cast<uint32_t>(a[2].i) << 16) | (static_cast<uint32_t>(a[3].i) << 24);
    const uint8_t bytes[4] = {static_cast<uint8_t>(packed), static_cast<uint8_t>(packed >> 8),
                              static_cast<uint8_t>(packed >> 16), static_cast<uint8_t>(packed >> 24)};
    kel_value t;
    tuple::init_cell(&t, bytes, 4);
    return answer_cell(&t);
}

// pos's index is read in start's buffer, so it is clamped to start's tail,
// and every sequence is bounded by the bytes left: a sequence cut short there
// counts as one character, like an invalid one.
machine_value count_chars(const machine_value* a, int32_t) {
    const kel_value start = *a[0].cell;
    const kel_value pos = *a[1].cell;
    const int32_t length = binary::ks_length_q(&start);
    if (length <= 0) return integer_answer(0);
    const uint8_t* p = binary::ks_head(&start);
    const int32_t from = series_head(&start);
    const int32_t to = series_head(&pos);
    if (to <= from) return integer_answer(0);
    const uint8_t* end = p + (to - from < length ? to - from : length);
    int32_t count = 0;
    while (p < end) {
        int32_t cp;
        const uint8_t* next = unicode::decode_utf8_char_bounded(p, end, &cp);
        p = next > p ? next : p + 1;
        ++count;
    }
    return integer_answer(count);
}

machine_value stack_size_q(const machine_value*, int32_t) { return integer_answer(stack::depth()); }

machine_value pick_stack(const machine_value* a, int32_t) {
    const int32_t idx = a[0].i;
    kel_value v;
    if (idx > 0 && idx < stack::depth()) v = *(stack::bottom() + (idx - 1));
    else set_none(&v);
    return answer_cell(&v);
}

machine_value frame_index_q(const machine_value*, int32_t) {
    return integer_answer(static_cast<int32_t>(stack::arguments() - stack::bottom()));
}

machine_value collect_calls(const machine_value* a, int32_t) {
    kel_value* blk = a[0].cell;
    stack::collect_calls(
        _context::global(),
        [](const kel_value* word, int32_t base, void* user) {
            const kel_value* b = static_cast<const kel_value*>(user);
            block::ks_add(b, word);
            kel_value at;
            set_integer(&at, base);
            block::ks_add(b, &at);
        },
        blk);
    return nothing();
}

machine_value tracing_q(const machine_value*, int32_t) { return logic_cell_answer(interpreter::trace.active); }

// `trace true|false`: tracing comes back on only under an installed tracer.
machine_value set_tracing(const machine_value* a, int32_t) {
    interpreter::trace.active = a[0].i != 0 && type_of(&interpreter::trace.callback) == types::function;
    return nothing();
}

machine_value read_clipboard(const machine_value*, int32_t) {
    kel_value out;
    if (!clipboard.read || !clipboard.read(&out)) set_logic(&out, false);
    return answer_cell(&out);
}

// What the clipboard cannot hold is refused before the clipboard is asked,
// so the error is the same with or without a clipboard to open.
machine_value write_clipboard(const machine_value* a, int32_t) {
    const uint32_t t = type_of(a[0].cell);
    if (t != types::none && t != types::string && t != types::block && t != types::image) {
        const kel_value v = *a[0].cell;
        fire(error_category::script, "invalid-arg", &v);
    }
    return logic_answer(clipboard.write && clipboard.write(a[0].cell));
}

machine_value write_stdout(const machine_value* a, int32_t) {
    (void)simple_io::write(nullptr, a[0].cell, nullptr, nullptr, false, false, false);
    return nothing();
}

// --- the collector routines -------------------------------------------------------------

machine_value gc_active_q(const machine_value*, int32_t) { return logic_answer(collector::active_q()); }
machine_value gc_series_cycles(const machine_value*, int32_t) { return integer_answer(collector::stats.cycles); }
machine_value gc_nodes_cycles(const machine_value*, int32_t) {
    return integer_answer(collector::stats.nodes_cycles);
}

// The object view of the global context: class id -1, no change handlers,
// kept as the context's owner so that every holder of the context finds it.
machine_value system_words(const machine_value*, int32_t) {
    const uint32_t global = _context::global();
    kel_value view;
    object::set_cell(&view, global, static_cast<uint32_t>(-1), 0);
    *_context::owner(global) = view;
    return answer_cell(&view);
}

// The float formatting flags live in C++ (the molder reads them on every
// float); system/options/float's handler hands both over on each change.
machine_value float_flags(const machine_value* a, int32_t) {
    float_::pretty_print_q = logic::truthy(a[0].cell);
    float_::full_support_q = logic::truthy(a[1].cell);
    return nothing();
}

machine_value interpreted_q(const machine_value*, int32_t) { return logic_answer(stack::eval_q()); }

struct bound {
    int32_t number;
    const char* name;
    const char* spec;
    routines::routine_fn fn;
};

const bound bound_routines[] = {
    {1, "quit-return",
     R"k("Stops evaluation and exits the program with a given status"
        status [integer!] "Process termination value to return")k",
     quit_return},
    {2, "set-quiet",
     R"k("Set an object's field to a value without triggering eventual object's events"
        word [any-type!] value [any-type!] return: [any-type!])k",
     set_quiet},
    {3, "set-slot-quiet",
     R"k("Set a value in series without triggering eventual owner's events"
        series [any-type!] value [any-type!])k",
     set_slot_quiet},
    {4, "shift-right", R"k("Shift bits to the right" data [integer!] bits [integer!])k", shift_right},
    {5, "shift-left", R"k("Shift bits to the left" data [integer!] bits [integer!])k", shift_left},
    {6, "shift-logical", R"k("Shift bits to the right (unsigned)" data [integer!] bits [integer!])k",
     shift_logical},
    {7, "last-lf?", R"k("Internal Use Only")k", last_lf_q},
    {8, "get-current-dir", R"k("Returns the platform's current directory for the process")k", get_current_dir},
    {9, "set-current-dir", R"k("Sets the platform's current process directory" path [file!])k", set_current_dir},
    {10, "create-dir", R"k("Create the given directory" path [file!])k", create_dir},
    {11, "exists?", R"k("Returns TRUE if the file exists" path [file!] return: [logic!])k", exists_q},
    {13, "as-color",
     R"k("Combine R, G and B values into a tuple" r [integer!] g [integer!] b [integer!])k", as_color},
    {14, "as-ipv4",
     R"k("Combine a, b, c and d values into a tuple" a [integer!] b [integer!] c [integer!] d [integer!])k", as_ipv4},
    {15, "as-rgba",
     R"k("Combine R, G, B and A color components into a tuple" r [integer!] g [integer!] b [integer!] a [integer!])k",
     as_ipv4},
    {16, "count-chars",
     R"k("Count UTF-8 encoded characters between two positions in a binary series"
        start [binary!] pos [binary!] return: [integer!])k",
     count_chars},
    {17, "stack-size?", "return: [integer!]", stack_size_q},
    {18, "pick-stack", "idx [integer!]", pick_stack},
    {19, "frame-index?", "return: [integer!]", frame_index_q},
    {20, "collect-calls", "blk [block!]", collect_calls},
    {21, "tracing?", "", tracing_q},
    {22, "read-clipboard",
     R"k("Return the contents of the system clipboard"
        return: [any-type!] "false on failure, none if empty, otherwise: string!, block! of files!, or an image!")k",
     read_clipboard},
    {23, "write-clipboard",
     R"k("Write content to the system clipboard"
        data [any-type!] "string!, block! of files!, an image! or none!"
        return: [logic!] "indicates success")k",
     write_clipboard},
    {24, "write-stdout", R"k("Write data to STDOUT" data [any-type!])k", write_stdout},
    {routine_numbers::core_system, "GC/active?", "return: [logic!]", gc_active_q},
    {routine_numbers::core_system + 1, "GC/series-cycles", "return: [integer!]", gc_series_cycles},
    {routine_numbers::core_system + 2, "GC/nodes-cycles", "return: [integer!]", gc_nodes_cycles},
    {routine_numbers::core_system + 3, "system/words", "", system_words},
    {routine_numbers::core_system + 4, "float/flags", "pretty? [any-type!] full? [any-type!]", float_flags},
    {routine_numbers::core_system + 5, "state/interpreted?", "return: [logic!]", interpreted_q},
    {routine_numbers::core_system + 6, "tracers/set-tracing", "on? [logic!]", set_tracing},
};

// --- the type predicates ----------------------------------------------------------------

// Exact predicates name their datatype; class predicates their class word,
// whose typeset is read at each call.
struct predicate {
    const char* name;  // "block?"; the type or class word is the name with "!" for "?"
    bool klass;
};

const predicate predicates[predicate_count] = {
    {"bitset?", false},     {"binary?", false},      {"block?", false},       {"char?", false},
    {"email?", false},      {"file?", false},        {"float?", false},       {"get-path?", false},
    {"get-word?", false},   {"hash?", false},        {"integer?", false},     {"issue?", false},
    {"lit-path?", false},   {"lit-word?", false},    {"logic?", false},       {"map?", false},
    {"none?", false},       {"pair?", false},        {"paren?", false},       {"path?", false},
    {"percent?", false},    {"refinement?", false},  {"set-path?", false},    {"set-word?", false},
    {"string?", false},     {"tag?", false},         {"time?", false},        {"typeset?", false},
    {"tuple?", false},      {"unset?", false},       {"url?", false},         {"word?", false},
    {"image?", false},      {"date?", false},        {"money?", false},       {"ref?", false},
    {"point2D?", false},    {"point3D?", false},     {"handle?", false},      {"error?", false},
    {"action?", false},     {"native?", false},      {"datatype?", false},    {"function?", false},
    {"object?", false},     {"op?", false},          {"routine?", false},     {"vector?", false},
    {"any-list?", true},    {"any-block?", true},    {"any-function?", true}, {"any-object?", true},
    {"any-path?", true},    {"any-string?", true},   {"any-word?", true},     {"series?", true},
    {"number?", true},      {"immediate?", true},    {"scalar?", true},       {"all-word?", true},
    {"any-point?", true},   {"planar?", true},
};

std::string predicate_spec[predicate_count];
std::string predicate_type_name[predicate_count];  // "block!" or "any-list!"
uint32_t predicate_key[predicate_count];           // the type id, or the class word's symbol

template <int N>
machine_value predicate_fn(const machine_value* a, int32_t) {
    const uint32_t t = type_of(a[0].cell);
    if (!predicates[N].klass) return logic_answer(t == predicate_key[N]);
    const kel_value* set = _context::symbol_value(predicate_key[N], _context::global());
    return logic_answer(set && type_of(set) == types::typeset && typeset_has(set, t));
}

template <int... N>
constexpr auto predicate_fns(std::integer_sequence<int, N...>) {
    return std::array<routines::routine_fn, sizeof...(N)>{predicate_fn<N>...};
}
const auto predicate_table = predicate_fns(std::make_integer_sequence<int, predicate_count>{});

uint32_t type_by_name(const std::string& name) {
    for (uint32_t t = 0; t < types::table_rows; ++t)
        if (name == registry::type_name(t)) return t;
    return 0;
}

// --- binding by name --------------------------------------------------------------------

bool bind_by_name(const kel_value* name, kel_value* out) {
    if (boot::done_q()) return false;
    std::string wanted;
    uint32_t symbol;
    if (in_family(type_of(name), family::word)) symbol = word_symbol(name);
    else if (type_of(name) == types::string) symbol = symbol::intern_string(name);
    else return false;
    uint32_t length = 0;
    const char* bytes = symbol::name_bytes(symbol, &length);
    wanted.assign(bytes, length);
    for (int32_t n = 1; n <= routines::table_size; ++n) {
        const routines::entry& e = routines::at(n);
        if (e.fn && e.name && wanted == e.name) {
            routines::make_value(n, out);
            return true;
        }
    }
    return false;
}

}  // namespace

void install() {
    for (const bound& b : bound_routines) {
        routines::entry e;
        e.name = b.name;
        e.spec = b.spec;
        e.fn = b.fn;
        routines::define(b.number, e);
    }
    for (int32_t i = 0; i < predicate_count; ++i) {
        const predicate& p = predicates[i];
        std::string type = p.name;
        type.back() = '!';
        predicate_type_name[i] = type;
        predicate_key[i] = p.klass ? symbol::intern(type.c_str()) : type_by_name(type);
        predicate_spec[i] = p.klass ? "\"Returns true if the value is any type of " + type + "\""
                                    : std::string("\"Returns true if the value is this type\"");
        predicate_spec[i] += " value [any-type!] return: [logic!]";
        routines::entry e;
        e.name = p.name;
        e.spec = predicate_spec[i].c_str();
        e.fn = predicate_table[static_cast<size_t>(i)];
        routines::define(routine_numbers::core_predicates + i, e);
    }
    kelbin_routines::install();
    json_unescape::install();
    text_routines::install();
    join_routines::install();
    json_decode::install();
    json_encode::install();
    csv_rows::install();
    react_check::install();
    react_index::install();
    routine::bind_by_name = bind_by_name;
}

}  // namespace kel::library_routines
