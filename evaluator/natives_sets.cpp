// natives_sets: see natives_sets.h.
//
// The set natives share one core: the two sets must agree in type (block!
// and hash! mix; every other type only with itself), then the first set's
// type picks the worker, which leaves the new set in the arguments base cell.
// print and prin form their value (a block is reduced first) into a string
// and hand it to the print hooks.
#include "evaluator/natives_sets.h"

#include <algorithm>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/date.h"
#include "datatypes/block.h"
#include "datatypes/block_actions.h"
#include "datatypes/string.h"
#include "datatypes/string_api.h"
#include "datatypes/typeset.h"
#include "datatypes/url.h"
#include "kernel/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/native_table.h"
#include "kernel/stack.h"
#include "kernel/native_api.h"
#include "kernel/collector.h"
#include "kernel/print.h"

namespace kel::natives {

namespace {

inline bool list_type(uint32_t t) { return t == types::block || t == types::hash; }

// Raises script `expect-arg` for argument `word` of native `name`.
[[noreturn]] void refuse(const char* name, const kel_value* value, const char* word) {
    kel_value type;
    set_datatype(&type, type_of(value));
    fire(error_category::script, "expect-arg", error_arg::named(name), &type, error_arg::named(word));
}

signal_code set_operation(int32_t number, const char* name, int32_t op, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* set1 = stack::arguments();
    const uint32_t t1 = type_of(set1);
    if (op != block::set_op::unique) {
        const kel_value* set2 = set1 + 1;
        const uint32_t t2 = type_of(set2);
        const bool agree = list_type(t1) ? list_type(t2) : t1 == t2;
        if (!agree) {
            kel_value a, b;
            set_datatype(&a, t1);
            set_datatype(&b, t2);
            fire(error_category::script, "expect-val", &a, &b);
        }
    }
    const bool case_ = refs.has(0);
    const kel_value* skip = refs.has(1) ? set1 + refs.at[1] : nullptr;
    // Only the series walk records: bitsets, typesets and dates ignore /skip.
    const auto check_skip = [skip] {
        if (skip && type_of(skip) == types::integer && get_integer(skip) < 1)
            fire(error_category::script, "invalid-refine-arg", error_arg::named("skip"), skip);
    };
    switch (t1) {
        case types::block:
        case types::hash:
            check_skip();
            block::set_operation(op, case_, skip);
            break;
        case types::string:
            check_skip();
            string::set_operation(case_, skip, op);
            break;
        case types::bitset:
            bitset::set_operation(op);
            break;
        case types::typeset:
            typeset::set_op(op);
            break;
        case types::date:
            // only the difference of two dates has a meaning: the time between them
            if (op != block::set_op::difference) refuse(name, set1, "set1");
            set_float(set1, date::time_between(set1, set1 + 1), types::time);
            break;
        default:
            refuse(name, set1, op == block::set_op::unique ? "set" : "set1");
    }
    stack::rewind_to_result();
    return signal_code::none;
}

// The case conversion: in place, the argument returned.
signal_code convert_case(int32_t number, bool upper, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    kel_value* value = stack::arguments();
    const kel_value* part = refs.has(0) ? value + refs.at[0] : nullptr;
    kel_value* r = case_map::convert_value(value, part, upper);
    if (r != value) *value = *r;
    stack::rewind_to_result();
    return signal_code::none;
}

}  // namespace

bool last_line_end = false;

namespace {

// print and prin: a block is reduced first (into a new block kept on the
// stack), a string printed as it is, anything else formed.
signal_code print_value(int32_t number, bool line_end, bool check, const refinements& refs) {
    if (check) check_arguments(number, refs);
    const kel_value value = *stack::arguments();
    kel_value* const mark = stack::top();
    kel_value* shown = stack::push_copy(&value);
    if (type_of(&value) == types::block) {
        kel_value* reduced = block::push_only_star(block::ks_length_q(&value));
        kel_value* const inner = stack::top();
        interpreter::code_position c = interpreter::position_of(&value);
        while (c.pos < interpreter::end_of(c)) {
            KEL_PROPAGATE(interpreter::eval_next(c, true));
            kel_value* r = stack::top() - 1;
            clear_new_line(r);
            block::ks_add(reduced, r);
            stack::regs.top = inner;
        }
        *shown = *reduced;
    }
    if (type_of(shown) != types::string) {
        kel_value* text = stack::push_unset();
        text_out::new_buffer(text, 64);
        // The whole text: a budget of 0 would leave an object's fields out.
        (void)actions::form_value(shown, text, nullptr, 0x7FFFFFFF);
        *shown = *text;
    }
    dyn_print::run(shown, line_end);
    last_line_end = line_end;
    stack::regs.top = mark;
    set_unset(stack::arguments());
    stack::rewind_to_result();
    return signal_code::none;
}

}  // namespace

signal_code union_star(bool check, const refinements& refs) {
    return set_operation(number::union_, "union", block::set_op::union_, check, refs);
}
signal_code intersect_star(bool check, const refinements& refs) {
    return set_operation(number::intersect, "intersect", block::set_op::intersect, check, refs);
}
signal_code unique_star(bool check, const refinements& refs) {
    return set_operation(number::unique, "unique", block::set_op::unique, check, refs);
}
signal_code difference_star(bool check, const refinements& refs) {
    return set_operation(number::difference, "difference", block::set_op::difference, check, refs);
}
signal_code exclude_star(bool check, const refinements& refs) {
    return set_operation(number::exclude, "exclude", block::set_op::exclude, check, refs);
}

signal_code complement_q_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::complement_q, refs);
    kel_value* bits = stack::arguments();
    if (type_of(bits) != types::bitset) refuse("complement?", bits, "bits");
    const bool c = bitset::complemented_q(bits);
    set_logic(bits, c);
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code uppercase_star(bool check, const refinements& refs) {
    return convert_case(number::uppercase, true, check, refs);
}
signal_code lowercase_star(bool check, const refinements& refs) {
    return convert_case(number::lowercase, false, check, refs);
}

signal_code dehex_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::dehex, refs);
    const kel_value* source = stack::arguments();
    if (!in_family(type_of(source), family::string_like)) refuse("dehex", source, "value");
    kel_value* result = stack::push_unset();
    text_out::new_buffer(result, 16);
    url::decode(stack::arguments(), result);
    stack::set_last(result);
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code enhex_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::enhex, refs);
    const kel_value* source = stack::arguments();
    if (!in_family(type_of(source), family::string_like)) refuse("enhex", source, "value");
    const url::char_class c = type_of(source) == types::string ? url::string_class : url::url_class;
    kel_value* result = stack::push_unset();
    text_out::new_buffer(result, 16);
    url::encode(stack::arguments(), result, c);
    stack::set_last(result);
    stack::rewind_to_result();
    return signal_code::none;
}

// The base of debase and enbase: 64 unless /base names 64, 58, 16 or 2.
int32_t coding_base(const refinements& refs) {
    if (!refs.has(0)) return 64;
    const kel_value* base = stack::arguments() + refs.at[0];
    const int32_t b = get_integer(base);
    if (b != 64 && b != 58 && b != 16 && b != 2) fire(error_category::script, "invalid-arg", base);
    return b;
}

signal_code debase_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::debase, refs);
    const int32_t base = coding_base(refs);
    const kel_value text = *stack::arguments();
    uint32_t node;
    {
        // The decoders read the text in place while they allocate.
        collector::pin_guard pin(&text);
        memory::buffer_header* h = string::buffer(&text);
        const int64_t units = h->units();
        const int64_t head = std::clamp<int64_t>(series_head(&text), 0, units);
        const char* p = h->data() + h->head + (head << h->shift());
        const int32_t length = static_cast<int32_t>(units - head);
        const uint32_t unit = h->unit();
        node = base == 64   ? binary::debase_64(p, length, unit)
               : base == 58 ? binary::debase_58(p, length, unit)
               : base == 16 ? binary::debase_16(p, length, unit)
                            : binary::debase_2(p, length, unit);
    }
    kel_value* result = stack::arguments();
    if (node) set_series(result, types::binary, 0, node);
    else set_none(result);
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code enbase_star(bool check, const refinements& refs) {
    if (check) check_arguments(number::enbase, refs);
    const int32_t base = coding_base(refs);
    // A string is encoded as UTF-8 first; the bytes stay on the stack.
    kel_value* source = stack::arguments();
    if (type_of(source) != types::binary) {
        kel_value* bytes = stack::push_unset();
        binary::to_bytes(bytes, source);
        source = bytes;
    }
    const kel_value src = *source;
    const int64_t n = binary::ks_length_q(&src);
    const int64_t size = binary::enbase_size(base, n);
    if (size < 0) fire(error_category::script, "too-long");
    kel_value* result = stack::push_unset();
    string::init_cell(result, static_cast<uint32_t>(size));
    {
        collector::pin_guard pin(&src);
        memory::buffer_header* h = string::buffer(result);
        char* dst = h->data() + h->head;
        const uint8_t* bytes = binary::ks_head(&src);
        const size_t count = static_cast<size_t>(n);
        char* end = base == 64   ? binary::enbase_64(dst, bytes, count)
                    : base == 58 ? binary::enbase_58(dst, bytes, count)
                    : base == 16 ? binary::enbase_16(dst, bytes, count)
                                 : binary::enbase_2(dst, bytes, count);
        h->tail = h->head + static_cast<uint32_t>(end - dst);
    }
    stack::set_last(result);
    stack::rewind_to_result();
    return signal_code::none;
}

signal_code print_star(bool check, const refinements& refs) { return print_value(number::print, true, check, refs); }
signal_code prin_star(bool check, const refinements& refs) { return print_value(number::prin, false, check, refs); }

}  // namespace kel::natives
