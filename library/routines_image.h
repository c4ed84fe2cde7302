// routines_image: the routine-table entries behind the five image codec
// objects of system/codecs (png, jpeg, bmp, gif, tiff): one `encode`
// (img [image!] where [any-type!]) per format, answering the image encoded
// into a new binary! (`where` is not used), and one `decode` (data
// [any-type!]) per codec, answering the image decoded from a binary! or a
// file!. The phase source binds them by name, "png/encode", "png/decode"
// and so on; the work is done by the imaging services (image_codecs).
//
// Table numbers: routine_numbers::image_codecs onwards, encode and decode in turn for
// the formats in their code order (bmp 0, png 1, gif 2, jpeg 3, tiff 4).
#pragma once
#include <cstdint>

#include "evaluator/routine_numbers.h"

namespace kel::image_routines {

constexpr int32_t codec_count = 10;
static_assert(routine_numbers::image_codecs + 2 * codec_count <= routine_numbers::line_editor);

// Start-up step: fills the table entries.
void install();

}  // namespace kel::image_routines
