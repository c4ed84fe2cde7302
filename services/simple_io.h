// simple_io: whole-file reading and writing, directory listing, file dates,
// deletion, renaming, directory creation and existence tests, over POSIX.
//
// The file! actions reach this module through `file::hooks`, which the
// start-up step "simple io" fills (install_hooks); `size?`, the boot
// routines and the HTTP service call it directly. Every call opens and
// closes its own descriptor: no file stays open between calls.
//
// The low-level calls (make_dir, file_exists_q, remove_path, move_path,
// file_date, file_size) answer false, -1 or none and never raise; the
// whole-file reader and writer raise access `cannot-open` with the file.
// Sizes are 64-bit throughout: a file too large for one series raises
// internal `no-memory` rather than being read cut short.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/value.h"

namespace kel::simple_io {

// Fills file::hooks with this module's services.
void install_hooks();

// A path naming a directory by its text: it ends with "/", or is "." or
// "..", or ends with "/." or "/..".
bool dir_path_q(const kel_value* file);

// --- low level: false, -1 or none on failure, never raising ----------------------
bool make_dir(const std::string& os_path);
bool file_exists_q(const std::string& os_path);
// rmdir for a directory path, unlink otherwise.
bool remove_path(const kel_value* file);
// Never replaces an existing target.
bool move_path(const kel_value* from, const kel_value* to);
// The last-write time as a UTC date! (milliseconds kept), or none.
void file_date(const kel_value* file, kel_value* result);
// Bytes of a file that opens and is not a directory, else -1.
int64_t file_size(const std::string& os_path);

// --- whole files ---------------------------------------------------------------------
// A directory path is listed, any other path read whole into `result` (a
// cell the caller keeps rooted). part and seek are null when not given.
void read_path(const kel_value* file, const kel_value* part, const kel_value* seek, bool binary, bool lines,
               kel_value* result);
// Every entry but "." and ".." as a file!, "/" after a directory, sorted by
// the bytes of the names.
void read_dir(const kel_value* dir, kel_value* result);
// A null file is the standard output. Bytes written, or -1 when a negative
// part wrote nothing.
int64_t write(const kel_value* file, const kel_value* value, const kel_value* part, const kel_value* seek,
              bool binary, bool append, bool lines);

// --- text conversions, shared with the HTTP service ------------------------------------
// A new string! in `result` from UTF-8 (CR LF and a lone CR read as LF, a
// leading byte-order mark skipped); text that is not UTF-8, a sequence cut
// short at the end included, raises access `invalid-utf8`.
void utf8_to_string(const uint8_t* bytes, size_t length, kel_value* result);
// A new block! in `result` of one string! per line: split at LF, a CR just
// before it dropped, the text after the last LF a line when not empty.
void lines_to_block(const uint8_t* bytes, size_t length, kel_value* result);

}  // namespace kel::simple_io
