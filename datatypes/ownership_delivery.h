// ownership_delivery: hands the ownership module's change notifications to
// the owner object's on-deep-change* handler.
//
// The ownership module keeps the owner table (which object and which field
// word own a series) and, when an owned series changes in place, calls one
// dispatch function with (owner object, field word, changed value, action
// name, new value or null, index, part). `deliver` is that function: it
// turns the action name into its runtime word (the notification vocabulary:
// change/changed, clear/cleared, append/appended ... set-path) and calls
// object::call_on_deep_change. `each_field` is the field walk the ownership
// module uses to bind an object's fields. Wiring, once both modules are in
// one tree: ownership::dispatch = ownership_delivery::deliver;
// ownership::each_field = ownership_delivery::each_field; and the object
// module's `object::hooks` take ownership::bind, bind_object and unbind.
#pragma once
#include <cstdint>

#include "kernel/value.h"

namespace kel::ownership_delivery {

void deliver(const kel_value* owner, const kel_value* word, const kel_value* target, const char* action,
             const kel_value* new_value, int32_t index, int32_t part);

using field_visitor = void (*)(kel_value* value, const kel_value* word, void* context);
void each_field(const kel_value* object, field_visitor visit, void* context);

// The runtime word of a notification name (a word made by name when it is
// not one of the vocabulary's).
kel_value action_word(const char* action);

}  // namespace kel::ownership_delivery
