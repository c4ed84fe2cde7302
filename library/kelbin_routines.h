// kelbin_routines: the routines of the codec object `system/codecs/kelbin`
// (library/boot-05-system.kel binds them by name): `encode*` (data,
// compact?) and `decode` (payload), over the Kelbin codec of
// services/kelbin.h.
#pragma once
#include <cstdint>

namespace kel::kelbin_routines {

// Table numbers: routine_numbers::kelbin (encode) and the next (decode).

// Fills the two routine-table entries and tells the decoder which native
// slots are filled; run by the library's routine installation.
void install();

}  // namespace kel::kelbin_routines
