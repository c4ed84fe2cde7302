// http: the HTTP request service. `read` and `write` of http and https urls
// reach it through url::hooks.http_call, which the start-up step "http" fills
// (install_hooks); the transfer itself is platform/http's.
//
// A request is a method word, the url, an optional block of header pairs and
// an optional body. A status of any value is an answer: the result is the
// response body as a string!, a block of lines or a binary!, or with /info a
// block of the status, the headers as a map! and the body. A transfer that
// fails gives no answer (false), which the url! actions raise as access
// `no-connect`.
#pragma once
#include <cstddef>

#include "datatypes/url.h"
#include "kernel/value.h"

namespace kel::http {

// Sets up the transfer layer and fills url::hooks.http_call.
void install_hooks();

// One request; false when the transfer failed. `result` is a cell the
// caller keeps rooted.
bool call(const url::http_request& request, kel_value* result);

// A map! (room for 20 entries) of the header lines in `text`: the lines are
// split at LF with a CR before it dropped; a line without ":" is skipped;
// the text up to the first ":" is the name (a word key) and the rest without
// its leading blanks and tabs the value (a string!). A name met again turns
// its value into a block of strings, extended by each further value.
void parse_headers(const char* text, size_t size, kel_value* result);

}  // namespace kel::http
