// routines_image: see routines_image.h.
#include "library/routines_image.h"

#include <string>
#include <utility>

#include "evaluator/routines.h"
#include "services/image_codecs.h"

namespace kel::image_routines {

namespace {

using routines::machine_value;
using routines::nothing;

// The answer is made in the result slot, which is rooted.
template <int32_t Code>
machine_value encode_fn(const machine_value* a, int32_t) {
    image_codecs::encode(a[0].cell, Code, routines::result_slot());
    return nothing();
}

machine_value decode_fn(const machine_value* a, int32_t) {
    image_codecs::decode(a[0].cell, routines::result_slot());
    return nothing();
}

const routines::routine_fn encoders[image_codecs::format_count] = {
    encode_fn<image_codecs::bmp>, encode_fn<image_codecs::png>, encode_fn<image_codecs::gif>,
    encode_fn<image_codecs::jpeg>, encode_fn<image_codecs::tiff>};

std::string names[codec_count];

}  // namespace

void install() {
    for (int32_t code = 0; code < image_codecs::format_count; ++code) {
        const std::string format = image_codecs::format_name(code);
        names[code * 2] = format + "/encode";
        names[code * 2 + 1] = format + "/decode";
        routines::entry e;
        e.name = names[code * 2].c_str();
        e.spec = R"k("Encodes an image into a binary of this format" img [image!] where [any-type!])k";
        e.fn = encoders[code];
        routines::define(routine_numbers::image_codecs + code * 2, e);
        e.name = names[code * 2 + 1].c_str();
        e.spec = R"k("Decodes an image from a binary or a file; none for bytes of no known format" data [any-type!])k";
        e.fn = decode_fn;
        routines::define(routine_numbers::image_codecs + code * 2 + 1, e);
    }
}

}  // namespace kel::image_routines
