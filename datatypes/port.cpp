// port: see port.h. The stubs share one worker, instantiated per action so
// that each row entry knows its action; the shape of an action's arguments
// (plain arguments, refinements and their argument counts) is read once from
// its spec text.
#include "datatypes/port.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "kernel/action_specs.h"
#include "kernel/collector.h"
#include "kernel/cycle_guard.h"
#include "kernel/handles.h"
#include "kernel/hashtable.h"
#include "kernel/native_api.h"
#include "kernel/stack.h"

namespace kel::port {

system_hooks hooks;

namespace {

// The trace filter the actor bodies run under (the interpreter's port events).
constexpr uint32_t port_events = 32;

inline kel_value* arg(int n) { return stack::argument(n); }

// --- the action shapes ------------------------------------------------------------------

struct shape {
    int8_t plain = 0;                 // arguments after the first, before any refinement
    int8_t refinements = 0;
    int8_t refinement_args[12] = {};  // arguments of each refinement
};

shape shape_from_text(const char* text) {
    shape s;
    std::string_view t(text ? text : "");
    bool first = true;
    size_t i = 0;
    while (i < t.size()) {
        const char c = t[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '[') {
            int depth = 0;
            for (; i < t.size(); ++i) {
                if (t[i] == '[') ++depth;
                else if (t[i] == ']' && --depth == 0) break;
            }
            ++i;
        } else if (c == '"') {
            i = t.find('"', i + 1);
            i = (i == std::string_view::npos) ? t.size() : i + 1;
        } else {
            size_t j = i;
            while (j < t.size() && !std::isspace(static_cast<unsigned char>(t[j])) && t[j] != '[') ++j;
            if (c == '/') {
                ++s.refinements;
            } else if (first) {
                first = false;
            } else if (s.refinements == 0) {
                ++s.plain;
            } else {
                ++s.refinement_args[s.refinements - 1];
            }
            i = j;
        }
    }
    return s;
}

const shape& shape_of(int action) {
    static shape shapes[act::count];
    static bool ready[act::count];
    if (!ready[action - 1]) {
        shapes[action - 1] = shape_from_text(action_specs::of(action).text);
        ready[action - 1] = true;
    }
    return shapes[action - 1];
}

// --- fields ---------------------------------------------------------------------------------

const kel_value* field_of(const kel_value* object, const char* name) {
    if (object->w1 == 0) return none::value;  // a bare cell has no fields
    const kel_value w = *word::from_c_string(name);
    return object::value_of_word(object, &w);
}

void set_field(const kel_value* object, const char* name, const kel_value* value) {
    const kel_value v = *value;
    const kel_value w = *word::from_c_string(name);
    const int32_t i = object::index_of_word(object, &w);
    if (i >= 0) object::get_values(object)[i] = v;
}

const kel_value* system_field(const char* object, const char* name) {
    if (!hooks.field) fire(error_category::internal, "not-done");
    const kel_value* f = hooks.field(object, name);
    if (!f || type_of(f) != types::object) fire(error_category::internal, "not-done");
    return f;
}

// `select system/schemes word`: the value after the first word of the same
// spelling in the block (an object of schemes answers its field).
kel_value find_scheme(const kel_value* word) {
    kel_value found;
    set_none(&found);
    if (!hooks.root) fire(error_category::internal, "not-done");
    const kel_value root = *hooks.root();
    const kel_value schemes = *field_of(&root, "schemes");
    if (type_of(&schemes) == types::object) return *object::value_of_word(&schemes, word);
    if (!in_family(type_of(&schemes), family::block_like)) return found;
    const uint32_t wanted = symbol::resolve(word_symbol(word));
    const int32_t head = std::max(series_head(&schemes), 0);
    const int32_t n = block::ks_length_q(&schemes);
    for (int32_t i = 0; i + 1 < n; ++i) {
        const kel_value* c = block::ks_abs_at(&schemes, head + i);
        if (in_family(type_of(c), family::word) && symbol::resolve(word_symbol(c)) == wanted)
            return *block::ks_abs_at(&schemes, head + i + 1);
    }
    return found;
}

// --- make, form, mold -------------------------------------------------------------------------

signal_code a_make(const refinements&) {
    kel_value* const entry = stack::top();
    kel_value* spec = stack::push_copy(arg(2));
    if (type_of(spec) != types::object) {
        kel_value* made = stack::push_unset();
        KEL_PROPAGATE(object::make(made, system_field("standard", "url-parts"), spec));
        *spec = *made;
    }
    const kel_value scheme = object::word_count(spec) > 0 ? *object::get_values(spec) : kel_value{};
    if (!in_family(type_of(&scheme), family::word) || type_of(&scheme) == types::refinement)
        fire(error_category::access, "no-scheme", spec);
    kel_value* port = stack::push_unset();
    object::duplicate(system_field("standard", "port"), port, false, nullptr, true);
    set_type(port, types::port);
    set_field(port, "spec", spec);
    set_field(port, "scheme", &scheme);
    kel_value* found = stack::push_unset();
    *found = find_scheme(&scheme);
    if (type_of(found) != types::object) fire(error_category::access, "unknown-scheme", spec);
    kel_value* actor = stack::push_copy(field_of(found, "actor"));
    if (type_of(actor) == types::object) {
        const kel_value source = *actor;
        object::duplicate(&source, actor, false, nullptr, true);
    } else if (type_of(actor) != types::handle) {
        fire(error_category::access, "invalid-actor", spec);
    }
    set_field(port, "actor", actor);
    *stack::arguments() = *port;
    stack::regs.top = entry;
    return signal_code::none;
}

// An object body after "make port! [", laid out as object! lays it out.
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg_part,
             int32_t part, int32_t indent) {
    if (cycles::find_q(value->w1)) {
        text_out::append(buffer, "make port! [...]");
        return part - 16;
    }
    text_out::append(buffer, "make port! [");
    part -= 12;
    part = object::mold_fields(value, buffer, only, all, flat, arg_part, part, true, indent + 1, true);
    if (!flat && indent > 0 && object::word_count(value) > 0) part = mold::indent(buffer, indent, part);
    text_out::append(buffer, "]");
    return part - 1;
}

int32_t form(const kel_value* value, kel_value* buffer, const kel_value* arg_part, int32_t part) {
    return mold(value, buffer, false, false, false, arg_part, part, 0);
}

// Ports compare as objects do, by their contexts; object!'s own handler
// answers "not comparable" for any value that is not an object!, which made
// a port unequal to itself (and never found in a block).
int32_t compare(const kel_value* value, const kel_value* other, int32_t op) {
    if (type_of(other) != types::port) return cmp::not_comparable;
    return object::compare_contexts(value, other, op);
}

// --- calling the actor ------------------------------------------------------------------------

// Runs the actor's function for `action` with the port in argument 1 and
// the action's arguments as the dispatcher left them; the answer into *out.
signal_code call_actor(int action, const refinements& r, kel_value* out) {
    const kel_value port = *arg(1);
    const kel_value actor = *field_of(&port, "actor");
    if (type_of(&actor) != types::object) fire(error_category::access, "invalid-port", &port);
    const kel_value name = *word::from_c_string(action_specs::of(action).word);
    const kel_value fn = *object::value_of_word(&actor, &name);
    if (type_of(&fn) != types::function) fire(error_category::access, "no-port-action", &name);

    const shape& s = shape_of(action);
    kel_value* const entry = stack::top();
    kel_value* const base = stack::arguments();
    const int32_t slots = _context::length(fn.w1);
    const int32_t locals = object::count_locals(fn.w2, false);
    const int32_t fixed = std::max(slots - locals, 0);
    stack::open_call_frame(&name, fn.w1);
    int32_t pushed = 0;
    auto push = [&](const kel_value* v) {
        if (pushed < fixed) stack::push_copy(v);
        ++pushed;
    };
    push(&port);
    for (int i = 0; i < s.plain; ++i) push(base + 1 + i);
    for (int k = 0; k < s.refinements; ++k) {
        kel_value used;
        set_logic(&used, r.has(k));
        push(&used);
        for (int j = 0; j < s.refinement_args[k]; ++j) {
            if (r.has(k)) push(base + r.at[k] + j);
            else push(none::value);
        }
    }
    for (int32_t i = pushed; i < fixed; ++i) stack::push_copy(none::value);
    if (locals > 0) function::push_unused_refinement(locals);
    if (stack::contexts::hooks.set_values) stack::contexts::hooks.set_values(fn.w1, stack::offset_of(stack::arguments()));
    if (!object::invoke_hook) fire(error_category::internal, "not-done");
    const kel_value* owner_cell = function::more_cell(&fn, function::more::object);
    const uint32_t owner = type_of(owner_cell) == types::integer ? static_cast<uint32_t>(get_integer(owner_cell)) : 0;
    KEL_PROPAGATE(object::invoke_hook(&fn, owner, port_events));
    const kel_value result = *stack::arguments();
    stack::close_call_frame();
    stack::regs.top = entry;
    *out = result;
    return signal_code::none;
}

template <int A>
signal_code stub(const refinements& r) {
    return call_actor(A, r, stack::arguments());
}

// read and write: open, (insert the data,) copy, close; the copy is the
// answer. Each step is its own actor call in a mark of its own name, with
// the port (and for insert the data) as its arguments.
signal_code step(int action, const kel_value* port, const kel_value* data, kel_value* out) {
    kel_value* const entry = stack::top();
    stack::open_native_frame(nullptr);
    stack::push_copy(port);
    if (data) stack::push_copy(data);
    const signal_code c = call_actor(action, refinements::none(), out);
    KEL_PROPAGATE(c);
    stack::close_frame();
    stack::regs.top = entry;
    return signal_code::none;
}

signal_code a_read(const refinements&) {
    const kel_value port = *arg(1);
    kel_value* answer = stack::push_unset();
    kel_value scratch;
    KEL_PROPAGATE(step(act::open, &port, nullptr, &scratch));
    KEL_PROPAGATE(step(act::copy, &port, nullptr, answer));
    KEL_PROPAGATE(step(act::close, &port, nullptr, &scratch));
    *stack::arguments() = *answer;
    return signal_code::none;
}

signal_code a_write(const refinements&) {
    const kel_value port = *arg(1);
    kel_value* data = stack::push_copy(arg(2));
    kel_value* answer = stack::push_unset();
    kel_value scratch;
    KEL_PROPAGATE(step(act::open, &port, nullptr, &scratch));
    KEL_PROPAGATE(step(act::insert, &port, data, &scratch));
    KEL_PROPAGATE(step(act::copy, &port, nullptr, answer));
    KEL_PROPAGATE(step(act::close, &port, nullptr, &scratch));
    *stack::arguments() = *answer;
    return signal_code::none;
}

// --- native actors ---------------------------------------------------------------------------

uint32_t native_kind = 0;

}  // namespace

void native_actor_handle(const native_actor* table, kel_value* out) {
    if (!native_kind) native_kind = externals::register_kind("port actor", nullptr);
    if (!native_kind) fire(error_category::internal, "no-memory");
    const int32_t index = externals::store(reinterpret_cast<uintptr_t>(table), native_kind);
    init_cell(out, types::handle);
    out->w3 = static_cast<uint32_t>(index);
}

actions::port_lookup native_lookup(const kel_value* port, int action) {
    const kel_value actor = *field_of(port, "actor");
    if (type_of(&actor) != types::handle) return {false, nullptr};
    const int32_t index = static_cast<int32_t>(actor.w3);
    if (!native_kind || !externals::live_q(index) ||
        (externals::kind_word_of(index) & externals::kind_mask) != native_kind)
        return {true, nullptr};
    const auto* table = reinterpret_cast<const native_actor*>(externals::data_of(index));
    return {true, table->handlers[action - 1]};
}

registry::registration row() {
    registry::registration r;
    r.id = types::port;
    r.parent = types::object;
    r.name = "port!";
    r.hash = hashtable::hash_by::w1;
    r.marker = kel::collector::cell_markers::object;
    r.families = family::object;
    r.inherit_all();
    r[act::make] = static_cast<action_fn>(a_make);
    r[act::form] = static_cast<form_fn>(form);
    r[act::mold] = static_cast<mold_fn>(mold);
    r[act::compare] = static_cast<compare_fn>(compare);
    r[act::at] = static_cast<action_fn>(stub<act::at>);
    r[act::pick] = static_cast<action_fn>(stub<act::pick>);
    r[act::skip] = static_cast<action_fn>(stub<act::skip>);
    r[act::back] = static_cast<action_fn>(stub<act::back>);
    r[act::clear] = static_cast<action_fn>(stub<act::clear>);
    r[act::head] = static_cast<action_fn>(stub<act::head>);
    r[act::head_q] = static_cast<action_fn>(stub<act::head_q>);
    r[act::index_q] = static_cast<action_fn>(stub<act::index_q>);
    r[act::length_q] = static_cast<action_fn>(stub<act::length_q>);
    r[act::next] = static_cast<action_fn>(stub<act::next>);
    r[act::tail] = static_cast<action_fn>(stub<act::tail>);
    r[act::tail_q] = static_cast<action_fn>(stub<act::tail_q>);
    r[act::create] = static_cast<action_fn>(stub<act::create>);
    r[act::close] = static_cast<action_fn>(stub<act::close>);
    r[act::delete_] = static_cast<action_fn>(stub<act::delete_>);
    r[act::query] = static_cast<action_fn>(stub<act::query>);
    r[act::update] = static_cast<action_fn>(stub<act::update>);
    r[act::change] = static_cast<action_fn>(stub<act::change>);
    r[act::append] = static_cast<action_fn>(stub<act::append>);
    r[act::insert] = static_cast<action_fn>(stub<act::insert>);
    r[act::find] = static_cast<action_fn>(stub<act::find>);
    r[act::select] = static_cast<action_fn>(stub<act::select>);
    r[act::move] = static_cast<action_fn>(stub<act::move>);
    r[act::copy] = static_cast<action_fn>(stub<act::copy>);
    r[act::modify] = static_cast<action_fn>(stub<act::modify>);
    r[act::open] = static_cast<action_fn>(stub<act::open>);
    r[act::poke] = static_cast<action_fn>(stub<act::poke>);
    r[act::put] = static_cast<action_fn>(stub<act::put>);
    r[act::remove] = static_cast<action_fn>(stub<act::remove>);
    r[act::reverse] = static_cast<action_fn>(stub<act::reverse>);
    r[act::rename] = static_cast<action_fn>(stub<act::rename>);
    r[act::sort] = static_cast<action_fn>(stub<act::sort>);
    r[act::swap] = static_cast<action_fn>(stub<act::swap>);
    r[act::take] = static_cast<action_fn>(stub<act::take>);
    r[act::trim] = static_cast<action_fn>(stub<act::trim>);
    r[act::read] = static_cast<action_fn>(a_read);
    r[act::write] = static_cast<action_fn>(a_write);
    return r;
}

}  // namespace kel::port
