// url_ports: the library's side of a url that is not http. The url! module
// (datatypes/url.h) turns such a url into a port through two hooks it cannot
// fill itself, since the parser is script code of the library and the port
// is made by a datatype it does not know: this module fills them with a call
// of `url-parser/parse-url` (boot phase 7) and port!'s make.
#pragma once

#include "kernel/value.h"

namespace kel::url_ports {

// `url-parser/parse-url` of the url (without /throw-error), through a call
// frame of its own; its answer into *result. Raises internal `not-done` while
// the boot has not yet defined the parser.
void parse_url(const kel_value* url, kel_value* result);
// make port! from the parsed parts.
void make_port(const kel_value* spec, kel_value* result);

// Start-up step "url ports": fills url::hooks.parse_url and make_port.
void install_hooks();

}  // namespace kel::url_ports
