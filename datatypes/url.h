// url: the url! datatype (id 9, parent string!) and the percent-encoding
// rules of the whole runtime. A url is a string value whose text is stored
// decoded ("a b", not "a%20b"); it is encoded again when molded. Escapes of
// the url's own delimiters ("%40", "%2F" ...) are the exception: a literal
// keeps them encoded and mold writes them back, so that loading and molding
// never turn data into syntax (see reserved_q). file!
// (datatypes/file.h) inherits make, to, form, path steps and the series
// actions from here.
//
// Two byte classes decide what encoding keeps: the url class keeps the
// letters, digits and "!#$&'()*+,-./:=?@_~"; the string class keeps only the
// letters, digits and "-._~". Every other byte, and every byte from 0x80 up,
// becomes "%" and two upper-case hex digits. Encoding works on the UTF-8 of
// the source; decoding joins escaped UTF-8 sequences back into characters and
// copies a "%" that does not start a usable escape as it stands.
//
// Reading, writing and opening urls go to services of modules written later
// (the HTTP request of the loader, the url parser of the library, the port
// datatype), installed in `hooks`; while a hook is null, the action that
// needs it raises internal `not-done`.
#pragma once
#include <cstdint>

#include "kernel/registry.h"
#include "kernel/signal.h"
#include "kernel/value.h"

namespace kel::url {

// The codes the natives pass: `enhex` of a string! encodes with the string
// class, of any other value with the url class.
enum char_class : uint8_t { string_class = 0xFE, url_class = 0xFF };

// Does the class keep this byte as it is? (false from 0x80 up)
bool keeps_q(char_class c, uint8_t byte);
// Is this byte a delimiter of url syntax that the url class keeps as it is
// ("@", "/", "#", "?", ":" ...)? An escape of it means the byte as data, yet
// would mold as the delimiter itself ("u:p%40w@h" as "u:p@w@h", a url of
// another host). So the url literal leaves such escapes encoded in the text
// it stores, and url! mold writes them back as they stand.
bool reserved_q(uint8_t byte);
// The value of a hex digit ("0"-"9", "A"-"F", "a"-"f"), or -1.
int hex_digit(uint32_t c);
// True when the bytes at p (before end) are "%" and two hex digits; *byte
// gets their value.
bool hex_pair_q(const uint8_t* p, const uint8_t* end, uint8_t* byte);
// The text of one byte under a class: the byte itself (returns 1) or "%XX"
// (returns 3), written to out.
int escape_byte(char_class c, uint8_t byte, char out[3]);

// Appends the percent-encoding of the source's text (from its head; any
// string-like value) to the target string. A code point beyond U+10FFFF
// raises script `invalid-char`.
void encode(const kel_value* source, kel_value* target, char_class c);
// Appends the percent-decoding of the source's text (from its head) to the
// target string: "%XX" gives the code point XX when XX is not a UTF-8 lead
// byte; a lead byte followed by the escapes of its continuation bytes gives
// the character they encode (a malformed sequence raises access
// `invalid-utf8`); anything else, a "%" without two hex digits or a lead
// whose continuations are missing included, is copied as it stands.
void decode(const kel_value* source, kel_value* target);

// A new value of a string type (url!, file! ...) in `cell` from UTF-8 text
// (malformed text raises access `invalid-utf8`), percent-decoded when asked.
// The lexer makes its url! and file! values this way. Returns the cell.
kel_value* make_at(kel_value* cell, uint32_t type, const uint8_t* utf8, uint32_t size, bool percent_decode);

// --- handlers -----------------------------------------------------------------------
// make and to url! from a block!, paren! or hash! build the url from its
// parts (scheme, host, optional port number, path segments and an issue!
// fragment); any other spec or target type is string!'s make and to.
void make(kel_value* result, const kel_value* spec, uint32_t type);
void to(kel_value* result, const kel_value* spec, uint32_t type);
// The text encoded with the url class; /part stops after `part` characters.
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);
// A path step: the key formed and joined to the parent's text with exactly
// one "/" between them, as a new value of the parent's type; a get-word! key
// stands for its value. Setting through a url raises script `bad-path-set`.
signal_code eval_path(const path_step_args& step);

// --- services of later modules --------------------------------------------------------
struct http_request {
    const kel_value* method;   // word!: get, post, put ...
    const kel_value* url;
    const kel_value* headers;  // block! or null
    const kel_value* data;     // block!, string!, binary!, or null
    bool binary, lines, info;
};
struct services {
    // The HTTP request service; answers false when it has no answer (none!),
    // with the reason, a string!, in `result`.
    bool (*http_call)(const http_request& request, kel_value* result);
    // The library's url parser, on a copy of the url: an object! of its
    // parts, or any other value when it cannot parse it.
    void (*parse_url)(const kel_value* url, kel_value* result);
    // A port! made from the parsed url.
    void (*make_port)(const kel_value* spec, kel_value* result);
};
extern services hooks;

// The port of a url: parsed, made into a port! and, with `open`, opened with
// the options. An unparsable url raises script `invalid-arg`.
void to_port(const kel_value* url, bool new_, bool read, bool write, bool seek, const kel_value* allow, bool open,
             kel_value* result);

registry::registration row();

}  // namespace kel::url
