// port: the port! datatype (id 48, parent object!), an object standing for an
// external resource handled by a scheme. The datatype does no I/O itself:
// every series and port action applied to a port calls the function of the
// same name in the port's actor, an object of functions the scheme supplies,
// or, for a native scheme, a handler of a C++ table the actor's handle!
// names.
//
// A port is a copy of `system/standard/port` (spec scheme actor awake state
// data extra) with its type set to port!. Making one finds the scheme with
// `select system/schemes <scheme word>` and copies the scheme's `actor`
// field. The system object belongs to the script library, above this layer:
// its fields come through `system`, installed by a start-up step.
//
// Calling an actor function: a call mark named by the action's word, the
// port, then the action's arguments in spec order (each refinement as a
// logic! followed by its arguments, none! for an absent one), the function's
// remaining slots (its /local as false, the locals as none!), and the body
// run by the object module's handler hook; the result becomes the action's.
#pragma once
#include <cstdint>

#include "kernel/actions.h"
#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::port {

// The system object's fields by name: `field("standard", "port")`, and the
// system object itself. Null until installed: making a port then raises
// internal `not-done`.
struct system_hooks {
    kel_value* (*field)(const char* object, const char* field) = nullptr;
    const kel_value* (*root)() = nullptr;
};
extern system_hooks hooks;

// The handlers of a native scheme, by action number (null: the scheme does
// not take that action, access `no-port-action`). A native scheme's actor is
// a handle! to such a table; the table must outlive every port using it.
struct native_actor {
    action_fn handlers[act::count];
};
// A handle! (into out) naming the table.
void native_actor_handle(const native_actor* table, kel_value* out);
// The dispatcher's question for actions 25-62 of a port (installed as
// actions::port_actor by a start-up step): a handle! actor answers from its
// table; an object actor takes the port's row.
actions::port_lookup native_lookup(const kel_value* port, int action);

registry::registration row();

}  // namespace kel::port
