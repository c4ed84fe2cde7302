// point: the point2D! and point3D! rows, one implementation over the
// component count N (2 or 3). See point.h.
#include "datatypes/point.h"

#include <cmath>
#include <cstring>

#include "datatypes/float.h"
#include "datatypes/held_value.h"
#include "datatypes/integer.h"
#include "datatypes/pair.h"
#include "kernel/actions.h"
#include "kernel/collector.h"
#include "kernel/hashtable.h"
#include "kernel/murmur3.h"
#include "kernel/native_api.h"
#include "kernel/number_text.h"
#include "kernel/random.h"
#include "kernel/stack.h"

namespace kel::point {
namespace {

using namespace scalar;

template <int N>
constexpr uint32_t own_type = N == 2 ? uint32_t(types::point2d) : uint32_t(types::point3d);

// Components widened to float64, in component order.
struct components {
    double c[3] = {0.0, 0.0, 0.0};
};

template <int N>
components read(const kel_value* v) {
    components r;
    for (int i = 0; i < N; ++i) r.c[i] = get_float32(v, i + 1);
    return r;
}

// The cell becomes a point of N components (flags kept), each narrowed.
template <int N>
void write(kel_value* v, const components& r) {
    set_type(v, own_type<N>);
    v->w3 = 0;
    for (int i = 0; i < N; ++i) put_float32(v, i + 1, float_::to_single(r.c[i]));
}

components all(double value) {
    components r;
    r.c[0] = r.c[1] = r.c[2] = value;
    return r;
}

// The second operand of the arithmetic as a component per axis.
template <int N>
components operand(const kel_value* v) {
    const uint32_t t = type_of(v);
    switch (t) {
        case types::integer: return all(double(get_integer(v)));
        case types::float_:
        case types::percent: return all(double(float_::to_single(get_float(v))));
        case types::pair:
            if (N == 2) {
                components r;
                r.c[0] = double(float_::to_single(double(pair_x(v))));
                r.c[1] = double(float_::to_single(double(pair_y(v))));
                return r;
            }
            break;
        default:
            if (t == own_type<N>) return read<N>(v);
            break;
    }
    invalid_type(t);
}

template <int N>
signal_code math_op(int op) {
    kel_value* left = arg(1);
    const components a = read<N>(left);
    const components b = operand<N>(arg(2));
    components r;
    for (int i = 0; i < N; ++i) r.c[i] = float_::arith_op(op, a.c[i], b.c[i]);
    write<N>(left, r);
    return signal_code::none;
}

template <int N>
signal_code add(const refinements&) { return math_op<N>(op_add); }
template <int N>
signal_code subtract(const refinements&) { return math_op<N>(op_subtract); }
template <int N>
signal_code multiply(const refinements&) { return math_op<N>(op_multiply); }
template <int N>
signal_code divide(const refinements&) { return math_op<N>(op_divide); }
template <int N>
signal_code remainder(const refinements&) { return math_op<N>(op_remainder); }

template <int N>
signal_code make(const refinements&) {
    kel_value* result = arg(1);
    const kel_value* spec = arg(2);
    const uint32_t st = type_of(spec);
    components c;
    switch (st) {
        case types::integer: c = all(double(get_integer(spec))); break;
        case types::float_: c = all(get_float(spec)); break;
        case types::pair:
            c.c[0] = double(pair_x(spec));
            c.c[1] = double(pair_y(spec));
            break;
        case types::block: {
            const units_view u = units_from_head(spec);
            const auto* cells = reinterpret_cast<const kel_value*>(u.data);
            if (u.count < N) fire(error_category::syntax, "malconstruct", spec);
            for (int i = 0; i < N; ++i) {
                const uint32_t et = type_of(&cells[i]);
                if (et == types::integer) c.c[i] = double(get_integer(&cells[i]));
                else if (et == types::float_) c.c[i] = get_float(&cells[i]);
                else fire(error_category::syntax, "malconstruct", spec);
            }
            break;
        }
        default:
            if (st == own_type<N>) {
                *result = *spec;
                return signal_code::none;
            }
            if (N == 3 && st == types::point2d) {
                c = read<2>(spec);
                break;
            }
            if (!in_family(st, family::string_like)) bad_to_arg(own_type<N>, spec);
            if (!hooks.scan_value) fire(error_category::internal, "not-done");
            kel_value scanned;
            if (!hooks.scan_value(spec, &scanned) || type_of(&scanned) != own_type<N>) bad_to_arg(own_type<N>, spec);
            *result = scanned;
            return signal_code::none;
    }
    kel::init_cell(result, own_type<N>);
    write<N>(result, c);
    return signal_code::none;
}

// mold/all writes each component with the digits that read back as it.
template <int N>
int32_t write_components(const kel_value* value, kel_value* buffer, bool exact, int32_t part) {
    const components c = read<N>(value);
    text_out::append(buffer, "(", 1);
    int32_t used = 0;
    for (int i = 0; i < N; ++i) {
        if (i) text_out::append(buffer, ", ", 2);
        const short_text t = exact ? float_::format_exact_single(static_cast<float>(c.c[i]), float_::point_kind,
                                                                 float_::pretty_print_q)
                                   : float_::format(c.c[i], float_::point_kind);
        text_out::append(buffer, t.chars, t.length);
        used += static_cast<int32_t>(t.length);
    }
    text_out::append(buffer, ")", 1);
    return part - used - (N == 2 ? 4 : 6);
}

template <int N>
int32_t form(const kel_value* value, kel_value* buffer, const kel_value*, int32_t part) {
    return write_components<N>(value, buffer, false, part);
}

template <int N>
int32_t mold(const kel_value* value, kel_value* buffer, bool, bool all, bool, const kel_value*, int32_t part,
             int32_t) {
    return write_components<N>(value, buffer, all, part);
}

// The component a selector names, 1..N; a word that names no component of
// this point raises `cannot-use`; any other selector answers 0.
template <int N>
int32_t component_of(const kel_value* selector, const kel_value* point) {
    const uint32_t t = type_of(selector);
    if (t == types::integer) {
        const int32_t i = get_integer(selector);
        return i >= 1 && i <= N ? i : 0;
    }
    if (!in_family(t, family::word)) return 0;
    const int32_t i = pair::axis_letter(selector);
    if (i < 1 || i > N) fire(error_category::script, "cannot-use", selector, point);
    return i;
}

template <int N>
signal_code eval_path(const path_step_args& step) {
    const int32_t i = component_of<N>(step.element, step.parent);
    if (i == 0) fire(error_category::script, "invalid-path", step.path, step.element);
    if (!step.value_to_set) {
        set_float(step.result, get_float32(step.parent, i));
        return signal_code::none;
    }
    const kel_value* value = step.value_to_set;
    const uint32_t vt = type_of(value);
    double d;
    if (vt == types::integer) d = double(get_integer(value));
    else if (vt == types::float_) d = get_float(value);
    else invalid_type(vt);
    put_float32(step.parent, i, float_::to_single(d));
    const kel_value answer = *value;
    const kel_value changed = *step.parent;
    KEL_PROPAGATE(held_value::store_back(step, &changed));
    if (step.result) *step.result = answer;
    return signal_code::none;
}

template <int N>
signal_code pick(const refinements&) {
    const kel_value* point = arg(1);
    const kel_value* index = arg(2);
    // A coordinate word, or the index as the action dispatch reads it (true
    // picks x, false y, a char by its code).
    const int32_t i = in_family(type_of(index), family::word) ? component_of<N>(index, point)
                                                                : actions::index_argument(index);
    if (i < 1 || i > N) out_of_range(index);
    set_float(stack::arguments(), get_float32(point, i));
    return signal_code::none;
}

int32_t sign_of(double d) { return (d > 0.0) - (d < 0.0); }

template <int N>
int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    const uint32_t ot = type_of(other);
    float a[3] = {0, 0, 0}, b[3] = {0, 0, 0};
    for (int i = 0; i < N; ++i) a[i] = get_float32(value, i + 1);
    if (N == 2 && ot == types::pair) {
        b[0] = float_::to_single(double(pair_x(other)));
        b[1] = float_::to_single(double(pair_y(other)));
    } else if (ot == own_type<N>) {
        for (int i = 0; i < N; ++i) b[i] = get_float32(other, i + 1);
    } else {
        return cmp::not_comparable;
    }
    switch (op) {
        case cmp::equal:
        case cmp::not_equal:
        case cmp::equal10:
        case cmp::equal11:
            for (int i = 0; i < N; ++i)
                if (!float_::single_almost_equal_q(a[i], b[i])) return 1;
            return 0;
        case cmp::strict_equal:
        case cmp::find:
            for (int i = 0; i < N; ++i)
                if (!(a[i] == b[i])) return 1;
            return 0;
        case cmp::same: return std::memcmp(a, b, sizeof a) == 0 ? 0 : 1;
        default:
            // Ordering: the first component not almost equal decides; the
            // last one decides by its difference alone.
            for (int i = 0; i < N - 1; ++i)
                if (!float_::single_almost_equal_q(a[i], b[i])) return sign_of(double(a[i]) - double(b[i]));
            return sign_of(double(a[N - 1]) - double(b[N - 1]));
    }
}

template <int N>
signal_code absolute(const refinements&) {
    kel_value* v = arg(1);
    components c = read<N>(v);
    for (int i = 0; i < N; ++i) c.c[i] = std::fabs(c.c[i]);
    write<N>(v, c);
    return signal_code::none;
}

template <int N>
signal_code negate(const refinements&) {
    kel_value* v = arg(1);
    components c = read<N>(v);
    for (int i = 0; i < N; ++i) c.c[i] = -c.c[i];
    write<N>(v, c);
    return signal_code::none;
}

template <int N>
signal_code reverse(const refinements&) {
    kel_value* v = arg(1);
    components c = read<N>(v);
    const double first = c.c[0];
    c.c[0] = c.c[N - 1];
    c.c[N - 1] = first;
    write<N>(v, c);
    return signal_code::none;
}

template <int N>
signal_code round(const refinements& refs) {
    kel_value* v = arg(1);
    const kel_value* scale = refs.has(0) ? stack::arguments() + refs.at[0] : nullptr;
    components s;
    bool has[3] = {false, false, false};
    if (scale) {
        const uint32_t st = type_of(scale);
        int given = 3;  // components the scale supplies; the rest round by the default scale
        if (st == types::money) not_related("round", types::money);
        if (st == types::integer) s = all(double(get_integer(scale)));
        else if (st == types::float_ || st == types::percent) s = all(get_float(scale));
        else if (st == types::pair) {
            s.c[0] = double(pair_x(scale));
            s.c[1] = double(pair_y(scale));
            given = 2;
        } else if (st == types::point2d) {
            s = read<2>(scale);
            given = 2;
        } else if (st == types::point3d) s = read<3>(scale);
        else expect_arg("round", st, "scale");
        for (int i = 0; i < given; ++i) has[i] = true;
    }
    components c = read<N>(v);
    for (int i = 0; i < N; ++i) {
        bool unchanged;
        const double r = float_::round_value(c.c[i], false, has[i], s.c[i], refs, &unchanged);
        if (!unchanged) c.c[i] = r;
    }
    write<N>(v, c);
    return signal_code::none;
}

template <int N>
signal_code random(const refinements& refs) {
    kel_value* v = arg(1);
    if (refs.has(0)) {
        random::seed(hashtable::murmur3(&v->w1, 4u * N));
        set_unset(stack::arguments());
        return signal_code::none;
    }
    components c = read<N>(v);
    for (int i = 0; i < N; ++i)
        if (c.c[i] != 0.0) c.c[i] = float_::random_up_to(c.c[i], refs.has(1));
    write<N>(v, c);
    return signal_code::none;
}

template <int N>
registry::registration row() {
    registry::registration r;
    r.id = own_type<N>;
    r.parent = 0;
    r.name = N == 2 ? "point2D!" : "point3D!";
    r.hash = hashtable::hash_by::float32s;
    r.marker = collector::cell_markers::nothing;
    r.families = family::scalar | family::point;
    r[act::make] = static_cast<action_fn>(make<N>);
    r[act::random] = static_cast<action_fn>(random<N>);
    r[act::to] = static_cast<action_fn>(make<N>);
    r[act::form] = static_cast<form_fn>(form<N>);
    r[act::mold] = static_cast<mold_fn>(mold<N>);
    r[act::path_step] = static_cast<path_fn>(eval_path<N>);
    r[act::compare] = static_cast<compare_fn>(compare<N>);
    r[act::absolute] = static_cast<action_fn>(absolute<N>);
    r[act::add] = static_cast<action_fn>(add<N>);
    r[act::subtract] = static_cast<action_fn>(subtract<N>);
    r[act::multiply] = static_cast<action_fn>(multiply<N>);
    r[act::divide] = static_cast<action_fn>(divide<N>);
    r[act::remainder] = static_cast<action_fn>(remainder<N>);
    r[act::negate] = static_cast<action_fn>(negate<N>);
    r[act::round] = static_cast<action_fn>(round<N>);
    r[act::pick] = static_cast<action_fn>(pick<N>);
    r[act::reverse] = static_cast<action_fn>(reverse<N>);
    return r;
}

}  // namespace
}  // namespace kel::point

namespace kel::point2d {

kel_value* init_cell(kel_value* cell, float x, float y) {
    set_type(cell, types::point2d);
    put_float32(cell, 1, x);
    put_float32(cell, 2, y);
    cell->w3 = 0;
    return cell;
}

kel_value* push(float x, float y) {
    kel_value* c = stack::alloc_cell();
    set_point2d(c, x, y);
    return c;
}

signal_code math_op(int op) { return point::math_op<2>(op); }
int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    return point::compare<2>(value, other, op);
}
registry::registration row() { return point::row<2>(); }

}  // namespace kel::point2d

namespace kel::point3d {

kel_value* init_cell(kel_value* cell, float x, float y, float z) {
    set_type(cell, types::point3d);
    put_float32(cell, 1, x);
    put_float32(cell, 2, y);
    put_float32(cell, 3, z);
    return cell;
}

kel_value* push(float x, float y, float z) {
    kel_value* c = stack::alloc_cell();
    set_point3d(c, x, y, z);
    return c;
}

signal_code math_op(int op) { return point::math_op<3>(op); }
int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    return point::compare<3>(value, other, op);
}
registry::registration row() { return point::row<3>(); }

}  // namespace kel::point3d
