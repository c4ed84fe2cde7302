// file: the file! datatype (id 8, parent url!) and the conversion between a
// file value and an operating-system path.
//
// A file! is a string value naming a file or folder in the language's own
// form: "/" between segments, a leading "/" for an absolute path. Its text is
// stored decoded (no percent escapes). It molds with a "%" in front, in
// double quotes when a character would not survive the bare form; it forms,
// searches and changes as url! and string! do.
//
// Operating-system paths are POSIX byte strings, so the language form is
// already the system's: conversion changes no separator, resolves no "." or
// "..", decodes no escape. Names that are not valid UTF-8 are never refused:
// each byte that does not start a well-formed sequence becomes the code point
// U+DC00 + byte (U+DC80-U+DCFF), and converting back turns exactly those code
// points into their bytes again, so every name read from the system names the
// same file when given back. Every other character goes out as UTF-8.
//
// Reading, writing, deleting, renaming and querying files are the file
// services' (a later module), installed in `hooks`; while a hook is null, the
// action that needs it raises internal `not-done`.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/registry.h"
#include "kernel/value.h"

namespace kel::file {

// --- making file values --------------------------------------------------------------
// A new file! in `cell` from UTF-8 text (malformed text raises access
// `invalid-utf8`), percent-decoded when asked (the lexer's unquoted form).
kel_value* make_from_utf8(kel_value* cell, const uint8_t* utf8, uint32_t size, bool percent_decode);
// A new file! in `cell` from an operating-system path, decoded leniently.
kel_value* make_from_os_path(kel_value* cell, const char* bytes, size_t size);
// Appends an operating-system path, decoded leniently, to a string.
void append_os_text(kel_value* target, const char* bytes, size_t size);
// Pushes a copy of a value on the argument stack.
kel_value* push(const kel_value* value);

// --- towards the system -----------------------------------------------------------------
// The bytes of the operating-system path of a file (any string-like value),
// from its head. A relative path stays relative: the system resolves it
// against the current directory. A NUL inside the name raises script
// `invalid-arg` (the system would see a shorter name); a code point beyond
// U+10FFFF raises script `invalid-char`.
std::string to_os_path(const kel_value* file);
// The same bytes for text that is not a name (what a child process reads):
// a NUL is a byte like any other.
std::string to_os_text(const kel_value* text);
// Appends the system form of the file's text to a string; with `full`, a
// relative path gets the current directory in front.
void convert_to_os_path(const kel_value* file, kel_value* target, bool full);
// Pushes a new file! holding the process's current directory, ending with "/".
kel_value* get_current_dir();

// --- handlers ----------------------------------------------------------------------------
// "%" and the text from the head (at most `part` characters with /part), in
// double quotes when a character below 0x7F is one url! mold would escape
// (or when the range is empty); inside the quotes, the characters the lexer
// reads as escapes ("^", the double quote, control characters) are written
// as string! mold writes them.
int32_t mold(const kel_value* value, kel_value* buffer, bool only, bool all, bool flat, const kel_value* arg,
             int32_t part, int32_t indent);

// --- services of later modules ---------------------------------------------------------
struct file_hooks {
    // A folder gives a block of names, a file its content.
    void (*read_path)(const kel_value* file, const kel_value* part, const kel_value* seek, bool binary, bool lines,
                      kel_value* result);
    void (*write)(const kel_value* file, const kel_value* value, const kel_value* part, const kel_value* seek,
                  bool binary, bool append, bool lines);
    bool (*remove_path)(const kel_value* file);
    bool (*move_path)(const kel_value* from, const kel_value* to);
    // The last-write time as a date!.
    void (*file_date)(const kel_value* file, kel_value* result);
};
extern file_hooks hooks;

registry::registration row();

}  // namespace kel::file
