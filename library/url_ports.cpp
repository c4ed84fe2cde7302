// url_ports: see url_ports.h.
#include "library/url_ports.h"

#include "datatypes/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "kernel/native_api.h"
#include "kernel/registry.h"
#include "kernel/signals.h"
#include "kernel/stack.h"

namespace kel::url_ports {

void parse_url(const kel_value* url, kel_value* result) {
    // Looked up at each call: a script may replace the parser or its function.
    const kel_value parser_word = *word::from_c_string("url-parser");
    const kel_value* parser = _context::bound_slot(&parser_word);
    if (!parser || type_of(parser) != types::object) fire(error_category::internal, "not-done");
    const kel_value name = *word::from_c_string("parse-url");
    const kel_value parser_object = *parser;
    const kel_value fn = *object::value_of_word(&parser_object, &name);
    if (type_of(&fn) != types::function) fire(error_category::internal, "not-done");
    kel_value args[2];
    args[0] = *url;
    set_logic(&args[1], false);  // no /throw-error: an unparsable url answers none
    kel_value* answer = stack::push_unset();  // where the collector sees it
    const signal_code c = interpreter::call_function(&fn, &name, args, 2, 0, answer);
    if (c != signal_code::none) stack::throw_code(c);
    *result = *answer;
    stack::drop_cells(1);
}

void make_port(const kel_value* spec, kel_value* result) {
    const kel_value s = *spec;
    kel_value type;
    set_datatype(&type, types::port);
    // The action's own calling shape: a native mark, the type and the spec
    // as its arguments, the answer in the base cell.
    stack::open_native_frame(nullptr);
    kel_value* base = stack::arguments();
    stack::push_copy(&type);
    stack::push_copy(&s);
    const signal_code c = registry::handler(types::port, act::make)(refinements::none());
    if (c != signal_code::none) stack::throw_code(c);
    const kel_value port = *base;
    stack::close_frame_discard();
    *result = port;
}

void install_hooks() {
    url::hooks.parse_url = parse_url;
    url::hooks.make_port = make_port;
}

}  // namespace kel::url_ports
