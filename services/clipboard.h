// clipboard: the values the clipboard routines exchange and the formats
// they travel in, over a backend (clipboard_backend.h).
//
//   string!          <-> UTF8_STRING and text/plain;charset=utf-8 (UTF-8,
//                        read up to a NUL, bytes that are not UTF-8 kept as
//                        the file names' escaped bytes)
//   block! of file!  <-> text/uri-list (uri_list.h); a relative name is
//                        written with the current directory in front, since
//                        a URI names a file wherever it is read
//   image!           <-> image/png and image/bmp (the BMP codec's V5 file);
//                        image/jpeg and image/gif are read too
//
// Reading takes the first format found in the order text, file list, PNG,
// JPEG, GIF, BMP; nothing usable gives none; a backend that fails, or bytes
// that do not decode, give false. A file list that names no local file at
// all is passed over for the images after it.
//
// Writing prepares every format first and only then offers them, so a value
// the clipboard cannot hold raises the same error with or without a
// clipboard: script `invalid-arg` for a value of another type, or a block
// member that is neither file! nor string!, and the text errors of a name
// no system can hold. none, and an image of no pixels, offer nothing and
// so empty the clipboard. The answer is whether the offer was taken.
#pragma once
#include "kernel/value.h"
#include "services/clipboard_backend.h"

namespace kel::clipboard {

// The value for clipboard/read into `out` (true), or false.
bool read(backend& from, kel_value* out);
// clipboard/write over a given backend (null: there is no clipboard).
bool write(backend* to, const kel_value* data);

// The same over the current backend: the clipboard service the library's
// routines call.
bool read_current(kel_value* out);
bool write_current(const kel_value* data);

}  // namespace kel::clipboard
