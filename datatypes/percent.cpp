// percent: the percent! row and its text. See percent.h.
#include "datatypes/percent.h"

#include "datatypes/float.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"

namespace kel::percent {

kel_value* init_cell(kel_value* cell, double fraction) {
    set_type(cell, types::percent);
    put_float(cell, fraction);
    return cell;
}

kel_value* make_at_tail(const kel_value* block, uint32_t low, uint32_t high) {
    kel_value* c = memory::claim_tail_cell(block);
    kel::init_cell(c, types::percent);
    c->w2 = low;
    c->w3 = high;
    return c;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    const short_text t = float_::format_percent(get_float(value));
    text_out::append(buffer, t.chars, t.length);
    return part - static_cast<int32_t>(t.length);
}

// mold/all writes the digits that read back as the fraction.
int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value* arg, int32_t part,
             int32_t) {
    if (!all) return form(value, buffer, arg, part);
    const short_text t = float_::format_exact_percent(get_float(value), float_::pretty_print_q);
    text_out::append(buffer, t.chars, t.length);
    return part - static_cast<int32_t>(t.length);
}

registry::registration row() {
    registry::registration r;
    r.id = types::percent;
    r.parent = types::float_;
    r.name = "percent!";
    r.hash = hashtable::hash_by::float64;
    r.marker = collector::cell_markers::nothing;
    r.families = family::scalar | family::number;
    // make, random, to, compare and the arithmetic are float!'s, which treat
    // a percent! as the fraction it holds.
    for (act::id a : {act::make, act::random, act::to, act::compare, act::absolute, act::add, act::divide,
                      act::multiply, act::negate, act::power, act::remainder, act::round, act::subtract,
                      act::even_q, act::odd_q})
        r[a] = registry::entry::inherit();
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    return r;
}

}  // namespace kel::percent
