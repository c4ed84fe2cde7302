// held_value: the store-back of a path set on a value held by value. See
// held_value.h.
#include "datatypes/held_value.h"

#include "datatypes/context.h"
#include "kernel/actions.h"

namespace kel::held_value {

signal_code store_back(const path_step_args& step, const kel_value* changed) {
    const kel_value* held_as = step.previous_element;
    if (!held_as) return signal_code::none;
    if (step.step == 0) {
        if (!in_family(type_of(held_as), family::word)) return signal_code::none;
        kel_value w = *held_as;
        _context::set_bound(&w, changed);
        return signal_code::none;
    }
    if (!step.grandparent) return signal_code::none;
    kel_value scratch;
    set_unset(&scratch);
    path_step_args up{};
    // The walk's own work cell, which the holder's step may rebind in place.
    up.parent = const_cast<kel_value*>(step.grandparent);
    up.element = held_as;
    up.value_to_set = changed;
    up.path = step.path;
    up.step = step.step - 1;
    up.last = true;
    up.result = &scratch;
    return actions::eval_path_value(up);
}

}  // namespace kel::held_value
